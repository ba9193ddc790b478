// The file object's path from a URL, through the module's exports
// in-process, as a host takes it: Open with ReadAccess, then Read, Seek64,
// Stat and CheckExistence.
//
// The input is text, one line each:
//   +NAME   an entry of both containers made for the input, {dir}/c.cnt and
//           {dir}/sub/c.cnt (the same names, other bytes); {dir}/link leads
//           to {dir}/sub
//   URL     a text a host hands to Open; {dir} stands for the scratch
//           directory, {rel} for the same relative to the working directory
// (with no +NAME line the containers hold one entry, "clip.dat").
//
// What must hold:
//   - a URL that opens leads to a file the URL's path names (also when the
//     open joined a container another file object holds under another
//     spelling or title), to an entry of that name, and every read, seek
//     and stat of it gives that entry's bytes and size;
//   - every entry whose name the host library can write into a URL
//     (contfs::UrlCanName) opens through the URL it writes (MakeContUrl),
//     and every URL a container lists opens its own entry, unless its name
//     is one no URL can carry or holds a '%' (the listing writes names as
//     they are, and Open decodes escapes);
//   - once every file object is gone, nothing of the module is left.
//
// Fuzzing (from the clang build in build/fuzz; fuzz/corpus-work/ is ignored):
//   mkdir -p fuzz/corpus-work/file_object
//   TMPDIR=/dev/shm build/fuzz/fuzz/fuzz_file_object -max_total_time=600 -max_len=1024 -timeout=10 \
//       -dict=fuzz/file_object.dict fuzz/corpus-work/file_object fuzz/corpus/file_object
#include <contfs/container_url.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "buffer/byte_buffer.h"
#include "container/container_file.h"
#include "fuzz_support.h"
#include "support/host_doubles.h"
#include "support/linked_module.h"
#include "support/pattern.h"
#include "util/container_url.h"

namespace {

using namespace fuzz;

constexpr size_t kMaxNames = 8;
constexpr size_t kMaxUrls = 12;

struct Container {
    std::string path;
    std::vector<std::string> names;  // in entry-number order
    std::vector<std::string> bytes;
    ino_t inode = 0;
    dev_t device = 0;
};

class Response : public host::ReadResponse {
public:
    int32_t ReadFinished(int32_t status, IQLXBuffer* data) override {
        read = status == S_OK ? host::BytesOf(data) : std::string();
        return S_OK;
    }
    std::string read;
};

struct Handle {
    explicit Handle(const std::string& url) : request(url) {}
    ~Handle() {
        if (file) file->Release();
        Check(request.refs == 0 && response.refs == 0, "a released file object holds the host's objects");
    }
    host::Request request;
    Response response;
    IQLXFileObject* file = nullptr;
    int32_t opened = E_FAIL;
};

std::unique_ptr<Handle> Open(const std::string& url) {
    auto handle = std::make_unique<Handle>(url);
    handle->file = host::NewLinkedFileObject(&handle->request);
    Check(handle->file != nullptr, "a file object");
    handle->opened = handle->file->Open(ReadAccess, &handle->response);
    return handle;
}

template <class Face>
Face* As(Handle& handle, const QLXGUID& iid) {
    Face* face = nullptr;
    Check(handle.file->QueryInterface(iid, reinterpret_cast<void**>(&face)) == S_OK && face, "an interface");
    return face;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The scratch directory as seen from the working directory.
const std::string& RelativeDir() {
    static const std::string rel = std::filesystem::relative(ScratchDir()).string();
    return rel;
}

// The directories, made once: {dir}/sub and {dir}/link, which leads to it.
void MakeDirectories() {
    static const bool made = [] {
        const std::string sub = ScratchDir() + "/sub";
        Check(mkdir(sub.c_str(), 0700) == 0, "the sub directory");
        Check(symlink("sub", (ScratchDir() + "/link").c_str()) == 0, "the link");
        std::atexit([] {
            unlink((ScratchDir() + "/link").c_str());
            rmdir((ScratchDir() + "/sub").c_str());
        });
        return true;
    }();
    (void)made;
}

Container Make(const std::string& path, const std::vector<std::string>& names, uint32_t seed, Choices& choices) {
    static const uint32_t kSizes[] = {0, 1, 100, 3000, 30000};
    Container made;
    made.path = path;
    CContainerFile* writer = new CContainerFile(path.c_str(), kContainerWriteAccess);
    writer->AddRef();
    if (!writer->IsOpen()) {
        int32_t systemError = 0;
        const char* reason = nullptr;
        writer->GetLastFailure(&systemError, &reason);
        Broken("the container " + Shown(path) + " cannot be made: errno " + std::to_string(systemError) + ", " +
               Shown(reason ? reason : "") + "; module objects alive: " + (CanUnload() == S_OK ? "none" : "some"));
    }
    for (const std::string& name : names) {
        ContainerEntry* entry = writer->AddEntry(CompactString(name.c_str()));
        Check(entry != nullptr, "AddEntry");
        const std::string bytes = host::Pattern(kSizes[choices.Below(5)], seed * 131 + entry->index);
        if (!bytes.empty()) {
            EntryCursor cursor;
            cursor.index = entry->index;
            ByteBuffer* buffer = ByteBuffer::CreateWith(bytes.data(), static_cast<uint32_t>(bytes.size()));
            Check(writer->WriteEntry(&cursor, buffer) == S_OK, "WriteEntry");
            buffer->Release();
        }
        made.names.push_back(name);
        made.bytes.push_back(bytes);
    }
    writer->Release();
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        Broken("the container " + Shown(path) + " made is not there: errno " + std::to_string(errno));
    made.inode = info.st_ino;
    made.device = info.st_dev;
    return made;
}

// The path of the container a file object holds, from the first URL its
// enumerator lists; empty when it lists none.
std::string HeldPath(Handle& handle) {
    IQLXEnumeratorIUnknown* list = nullptr;
    if (handle.file->QueryInterface(IID_IQLXEnumeratorIUnknown, reinterpret_cast<void**>(&list)) != S_OK) return {};
    std::string path;
    IUnknown* item = nullptr;
    for (int32_t r = list->First(&item); r == S_OK; r = list->Next(&item)) {
        if (!item) continue;
        IQLXBuffer* url = nullptr;
        item->QueryInterface(IID_IQLXBuffer, reinterpret_cast<void**>(&url));
        item->Release();
        const std::string text(reinterpret_cast<const char*>(url->GetBuffer()));
        url->Release();
        const size_t file = text.find("?file=");
        Check(text.compare(0, 8, "cont:///") == 0 && file != std::string::npos, "a listed URL");
        path = text.substr(8, file - 8);
        break;
    }
    list->Release();
    return path;
}

// The bytes the handle reads from its position to the end, in pieces.
std::string ReadToEnd(Handle& handle, Choices& choices, int32_t* last) {
    std::string bytes;
    for (uint32_t calls = 0; calls < 200; ++calls) {
        handle.response.read.clear();
        *last = handle.file->Read(choices.PieceSize());
        if (*last != S_OK) break;
        Check(!handle.response.read.empty(), "a read that succeeds gives bytes");
        bytes += handle.response.read;
    }
    return bytes;
}

// A handle that opened: it holds the file its URL names, the entry of its
// name, and reads, seeks and stats that entry's bytes.
void CheckOpened(Handle& handle, const std::string& url, const std::vector<Container>& containers, Choices& choices) {
    const std::string held = HeldPath(handle);
    struct stat info;
    const Container* container = nullptr;
    if (!held.empty() && stat(held.c_str(), &info) == 0) {
        for (const Container& c : containers)
            if (c.inode == info.st_ino && c.device == info.st_dev) container = &c;
    }
    if (!container) return;  // a file of no one's making: only its URL names it
    const ContainerUrl parsed = ParseHostUrl(url.c_str());
    struct stat named;
    if (stat(parsed.path.GetChars(), &named) != 0 || named.st_ino != info.st_ino || named.st_dev != info.st_dev)
        Broken("the URL " + Shown(url) + " opened " + Shown(held) + ", another file than its path names");

    const char* name = nullptr;
    std::string want;
    bool found = false;
    if (handle.file->GetName(&name) == S_OK) {
        for (size_t i = 0; i < container->names.size(); ++i) {
            if (container->names[i] == name) {
                want = container->bytes[i];
                found = true;
            }
        }
        if (!found) Broken("the URL " + Shown(url) + " opened entry " + Shown(name) + ", which the container lacks");
    } else {
        // No name: the first entry that holds data.
        for (size_t i = 0; i < container->names.size() && !found; ++i) {
            found = !container->bytes[i].empty();
            want = container->bytes[i];
        }
        if (!found) Broken("the URL " + Shown(url) + " opened no entry with data, though there is none");
    }

    int32_t last = S_OK;
    const std::string whole = ReadToEnd(handle, choices, &last);
    const bool ended = last == RES_END_OF_DATA || (want.empty() && last == E_FAIL);
    if (whole != want || !ended)
        Broken("the URL " + Shown(url) + " reads " + std::to_string(whole.size()) + " bytes (" + Hex(last) +
               ") of an entry of " + std::to_string(want.size()));

    IQLXFileObject64* seek = As<IQLXFileObject64>(handle, IID_IQLXFileObject64);
    const uint64_t size = want.size();
    const uint64_t targets[] = {0, size, size + 1, choices.Below(size + 1),
                                (uint64_t{1} << 32) + choices.Below(size + 1)};
    for (uint64_t target : targets) {
        const int32_t result = seek->Seek64(static_cast<uint32_t>(target), static_cast<uint32_t>(target >> 32), 0);
        if ((result == S_OK) != (target <= size))
            Broken("the URL " + Shown(url) + ": a seek to " + std::to_string(target) + " of " + std::to_string(size) +
                   " bytes gave " + Hex(result));
        if (result != S_OK) continue;
        const std::string rest = ReadToEnd(handle, choices, &last);
        if (rest != want.substr(target))
            Broken("the URL " + Shown(url) + ": after a seek to " + std::to_string(target) +
                   " a read gives other bytes");
    }
    seek->Release();

    IQLXFileStat* stat = As<IQLXFileStat>(handle, IID_IQLXFileStat);
    host::StatResponse statResponse;
    stat->Stat(&statResponse);
    stat->Release();
    if (statResponse.calls != 1 || statResponse.status != S_OK || statResponse.size != static_cast<uint32_t>(size))
        Broken("the URL " + Shown(url) + ": Stat gave size " + std::to_string(statResponse.size));
}

// Every entry opens through the URL the host library writes for it, and
// through the URL its container lists, unless no URL can carry its name.
void CheckEveryEntryOpens(const Container& container, Choices& choices, std::vector<std::unique_ptr<Handle>>& handles,
                          const std::vector<Container>& all) {
    // Entries that never received a byte do not reach the file: it stays
    // empty, and nothing opens.
    bool holdsData = false;
    for (const std::string& bytes : container.bytes) holdsData |= !bytes.empty();
    std::string path, reason;
    if (!holdsData || !contfs::UrlContainerPath(container.path, &path, &reason)) return;
    for (const std::string& name : container.names) {
        if (!contfs::UrlCanName(path, name, &reason)) continue;
        const std::string url = contfs::MakeContUrl(path, name);
        std::unique_ptr<Handle> handle = Open(url);
        if (handle->opened != S_OK)
            Broken("the host library's URL " + Shown(url) + " for entry " + Shown(name) + " does not open (" +
                   Hex(handle->opened) + ")");
        const char* opened = nullptr;
        if (handle->file->GetName(&opened) != S_OK || name != opened)
            Broken("the host library's URL " + Shown(url) + " opened another entry than " + Shown(name));
        CheckOpened(*handle, url, all, choices);
        handles.push_back(std::move(handle));
    }
    // The listing of a file object that holds the container.
    if (handles.empty()) return;
    IQLXEnumeratorIUnknown* list = nullptr;
    if (handles.back()->file->QueryInterface(IID_IQLXEnumeratorIUnknown, reinterpret_cast<void**>(&list)) != S_OK)
        return;
    IUnknown* item = nullptr;
    size_t number = 0;
    for (int32_t r = list->First(&item); r == S_OK; r = list->Next(&item), ++number) {
        if (!item) continue;
        IQLXBuffer* buffer = nullptr;
        item->QueryInterface(IID_IQLXBuffer, reinterpret_cast<void**>(&buffer));
        item->Release();
        const std::string url(reinterpret_cast<const char*>(buffer->GetBuffer()));
        buffer->Release();
        if (number >= container.names.size()) Broken("a listing of more entries than there are");
        const std::string& name = container.names[number];
        // The listing writes names as they are, and Open decodes escapes:
        // a name holding '%' is opened through the host library's URL only.
        if (!contfs::AddressableEntryName(name, &reason) || name.find('%') != std::string::npos) continue;
        std::unique_ptr<Handle> handle = Open(url);
        const char* opened = nullptr;
        if (handle->opened != S_OK || handle->file->GetName(&opened) != S_OK || name != opened)
            Broken("the listed URL " + Shown(url) + " does not open entry " + Shown(name) + " (" + Hex(handle->opened) +
                   ", " + Shown(opened ? opened : "") + ")");
    }
    list->Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    MakeDirectories();
    Choices choices(bytes, size);
    std::vector<std::string> names, urls;
    const std::string text(reinterpret_cast<const char*>(bytes), size);
    for (size_t at = 0; at <= text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        line.resize(std::strlen(line.c_str()));  // a text ends at its first zero byte
        at = end + 1;
        if (!line.empty() && line[0] == '+') {
            line.erase(0, 1);
            bool known = line.empty();
            for (const std::string& name : names) known |= name == line;
            if (!known && names.size() < kMaxNames) names.push_back(line);
        } else if (!line.empty() && urls.size() < kMaxUrls) {
            urls.push_back(Replace(Replace(line, "{dir}", ScratchDir()), "{rel}", RelativeDir()));
        }
    }
    if (names.empty()) names.push_back("clip.dat");

    std::vector<Container> containers = {Make(ScratchDir() + "/c.cnt", names, 1, choices),
                                         Make(ScratchDir() + "/sub/c.cnt", names, 2, choices)};
    {
        std::vector<std::unique_ptr<Handle>> handles;
        for (const std::string& url : urls) {
            std::unique_ptr<Handle> handle = Open(url);
            IQLXFileExists* exists = As<IQLXFileExists>(*handle, IID_IQLXFileExists);
            host::ExistsResponse existsResponse;
            exists->CheckExistence(url.c_str(), &existsResponse);
            exists->Release();
            Check(existsResponse.calls == 1, "ExistsFinished once");
            if (handle->opened == S_OK) CheckOpened(*handle, url, containers, choices);
            // Kept open, so that later URLs may join its container.
            handles.push_back(std::move(handle));
        }
        for (const Container& container : containers) CheckEveryEntryOpens(container, choices, handles, containers);
    }
    Check(CanUnload() == S_OK, "module objects left after every file object went");
    for (const Container& container : containers) unlink(container.path.c_str());
    return 0;
}
