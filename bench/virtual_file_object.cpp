// The file object's own costs: what Open spends on the URL and the registry
// when the container is already open, against opening the container too;
// and reading an entry through the file object against calling the
// container directly with a cursor.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "../tests/support/host_doubles.h"
#include "container/container_file.h"
#include "container/container_registry.h"
#include "vfile/virtual_file_object.h"

namespace {

constexpr uint32_t kEntryBytes = 16u << 20;

std::string g_path;

// A scratch container with one entry "clip" of kEntryBytes, made once.
const std::string& ContainerPath() {
    if (!g_path.empty()) return g_path;
    const char* tmp = getenv("TMPDIR");
    g_path = std::string(tmp && *tmp ? tmp : "/tmp") + "/contfs-bench-vfile-" + std::to_string(getpid()) + ".cnt";
    IUnknown* object = nullptr;
    CVirtualFileObject::Create(&object);
    host::Request request("cont:///" + g_path + "?file=clip");
    IQLXRequestHandler* handler = nullptr;
    object->QueryInterface(IID_IQLXRequestHandler, reinterpret_cast<void**>(&handler));
    handler->AssignRequest(&request);
    IQLXFileObject* file = nullptr;
    object->QueryInterface(IID_IQLXFileObject, reinterpret_cast<void**>(&file));
    file->Open(WriteAccess, nullptr);
    host::HostBuffer piece(std::string(1u << 20, 'c'));
    for (uint32_t done = 0; done < kEntryBytes; done += piece.GetSize()) file->Write(&piece);
    file->Release();
    handler->Release();
    object->Release();
    return g_path;
}

// The scratch container goes when the program ends.
struct RemoveScratch {
    ~RemoveScratch() {
        if (!g_path.empty()) unlink(g_path.c_str());
    }
} g_removeScratch;

// A file object opened for reading. Without a response the reads report
// only by their result, so a read loop measures the module and not the
// host's handling of the buffers.
struct OpenFile {
    explicit OpenFile(const std::string& url, bool respond = true) : request(url) {
        CVirtualFileObject::Create(&object);
        IQLXRequestHandler* handler = nullptr;
        object->QueryInterface(IID_IQLXRequestHandler, reinterpret_cast<void**>(&handler));
        handler->AssignRequest(&request);
        handler->Release();
        object->QueryInterface(IID_IQLXFileObject, reinterpret_cast<void**>(&file));
        result = file->Open(ReadAccess, respond ? &response : nullptr);
    }
    ~OpenFile() {
        file->Release();
        object->Release();
    }
    host::Request request;
    host::FileResponse response;
    IUnknown* object = nullptr;
    IQLXFileObject* file = nullptr;
    int32_t result;
};

void BM_OpenWhileTheContainerIsHeld(benchmark::State& state) {
    const std::string url = "cont:///" + ContainerPath() + "?file=clip";
    OpenFile keeper(url);
    for (auto _ : state) {
        OpenFile file(url);
        if (file.result != S_OK) state.SkipWithError("open failed");
    }
}
BENCHMARK(BM_OpenWhileTheContainerIsHeld);

void BM_OpenOpeningTheContainer(benchmark::State& state) {
    const std::string url = "cont:///" + ContainerPath() + "?file=clip";
    for (auto _ : state) {
        OpenFile file(url);
        if (file.result != S_OK) state.SkipWithError("open failed");
    }
}
BENCHMARK(BM_OpenOpeningTheContainer);

void BM_ReadThroughFileObject(benchmark::State& state) {
    const uint32_t piece = static_cast<uint32_t>(state.range(0));
    OpenFile file("cont:///" + ContainerPath() + "?file=clip", false);
    IQLXFileObject* f = file.file;
    for (auto _ : state) {
        f->Seek(0, 0);
        while (f->Read(piece) == S_OK) {
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kEntryBytes);
}
BENCHMARK(BM_ReadThroughFileObject)->Arg(4096)->Arg(65536);

void BM_ReadThroughContainer(benchmark::State& state) {
    const uint32_t piece = static_cast<uint32_t>(state.range(0));
    CContainerFile* container = new CContainerFile(ContainerPath().c_str(), ReadAccess);
    IContainerFile* c = container;
    c->AddRef();
    c->ReadDirectory();
    ContainerEntry* entry = c->FindEntry("clip");
    EntryCursor cursor;
    cursor.index = entry ? entry->index : 0;
    for (auto _ : state) {
        c->SeekEntry(&cursor, 0);
        IQLXBuffer* data = nullptr;
        while (c->ReadEntry(&cursor, &data, piece) == S_OK) {
            data->Release();
            data = nullptr;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kEntryBytes);
    c->Release();
}
BENCHMARK(BM_ReadThroughContainer)->Arg(4096)->Arg(65536);

}  // namespace
