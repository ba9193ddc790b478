// What the benchmarks that drive entries as a host does share: a scratch
// directory for the run, a file object opened on a "cont" URL with a
// response that keeps nothing, test bytes, and the page-cache steps taken
// between passes.
#ifndef CONTFS_BENCH_HOST_IO_H
#define CONTFS_BENCH_HOST_IO_H

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "../tests/support/host_doubles.h"
#include "vfile/virtual_file_object.h"

namespace {

// One scratch directory for the run, removed with its files at exit.
class Scratch {
public:
    Scratch() {
        std::string pattern = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/contfs-host-io-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data())) m_dir = name.data();
    }
    ~Scratch() {
        std::error_code error;
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir, error);
    }
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

private:
    std::string m_dir;
};

inline const Scratch& TheScratch() {
    static Scratch scratch;
    return scratch;
}

// A host's response that keeps nothing: the module releases each read
// buffer right after ReadFinished, as a host that has copied it out would.
class QuietResponse : public host::ReadResponse {
public:
    int32_t ReadFinished(int32_t, IQLXBuffer* data) override {
        if (data) benchmark::DoNotOptimize(data->GetBuffer());
        return S_OK;
    }
};

// One file object on "cont:///<path>?file=<entry>", opened as a host opens
// it, released at the end of the scope.
class HostFile {
public:
    HostFile(const std::string& path, const std::string& entry, uint32_t access, const std::string& options = {})
        : m_request("cont:///" + path + "?file=" + entry + options) {
        CVirtualFileObject::Create(&m_object);
        IQLXRequestHandler* handler = nullptr;
        m_object->QueryInterface(IID_IQLXRequestHandler, reinterpret_cast<void**>(&handler));
        handler->AssignRequest(&m_request);
        handler->Release();
        m_object->QueryInterface(IID_IQLXFileObject, reinterpret_cast<void**>(&m_file));
        m_object->QueryInterface(IID_IQLXFileObject64, reinterpret_cast<void**>(&m_file64));
        m_opened = m_file->Open(access, &m_response);
    }
    ~HostFile() {
        m_file->Close();
        m_file64->Release();
        m_file->Release();
        m_object->Release();
    }
    HostFile(const HostFile&) = delete;
    HostFile& operator=(const HostFile&) = delete;

    bool Opened() const { return m_opened == S_OK; }
    int32_t Read(uint32_t count) { return m_file->Read(count); }
    int32_t Write(IQLXBuffer* data) { return m_file->Write(data); }
    // IQLXFileSync: what this file object's container wrote is on the disk.
    int32_t Sync() {
        IQLXFileSync* sync = nullptr;
        if (QLX_FAILED(m_object->QueryInterface(IID_IQLXFileSync, reinterpret_cast<void**>(&sync))))
            return E_NOINTERFACE;
        const int32_t result = sync->Sync();
        sync->Release();
        return result;
    }
    int32_t Seek(uint64_t position) {
        return m_file64->Seek64(static_cast<uint32_t>(position), static_cast<uint32_t>(position >> 32), 0);
    }
    // Reads from the start to the end of the entry; the bytes read.
    uint64_t ReadThrough(uint32_t piece) {
        if (Seek(0) != S_OK) return 0;
        uint64_t done = 0;
        while (Read(piece) == S_OK) done += piece;
        return done;
    }

private:
    host::Request m_request;
    QuietResponse m_response;
    IUnknown* m_object = nullptr;
    IQLXFileObject* m_file = nullptr;
    IQLXFileObject64* m_file64 = nullptr;
    int32_t m_opened = E_FAIL;
};

inline std::vector<uint8_t> Bytes(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    std::mt19937 random(seed);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

// Writes the file back, drops it from the page cache and reads it through.
inline void AsIfReadFromDisk(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    std::vector<uint8_t> into(1 << 20);
    while (read(fd, into.data(), into.size()) > 0) {
    }
    close(fd);
}

// Before a timed write: the file it writes removed, and every dirty page of
// the system written back, so that a pass is not throttled by the writeback
// of what the passes and benchmarks before it wrote (which, in a random
// order of benchmarks, made one write row four times slower than alone).
inline void StartWritingAfresh(const std::string& path) {
    unlink(path.c_str());
    sync();
}

}  // namespace

#endif
