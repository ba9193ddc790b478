// What a host keeps for one "cont" URL: the file object from the module,
// the request it assigned and the response it opened with; and the fixture
// every end-to-end test of tests/host/ that works on containers shares.
#ifndef CONTFS_TESTS_HOST_HOST_FILE_H
#define CONTFS_TESTS_HOST_HOST_FILE_H

#include <gtest/gtest.h>
#include <qlx/interfaces.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/host_doubles.h"
#include "support/module_loader.h"

namespace host {

// A fresh directory under the build's scratch directory.
inline std::string MakeScratchDir() {
    std::filesystem::create_directories(CONTFS_TEST_TMPDIR);
    std::string pattern = std::string(CONTFS_TEST_TMPDIR) + "/vfile-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) return {};
    return name.data();
}

// The URL a host writes for an entry: an absolute path keeps its own "/"
// after the three of "cont:///".
inline std::string ContUrl(const std::string& path, const std::string& entry) {
    return "cont:///" + path + "?file=" + entry;
}

class HostFile {
public:
    explicit HostFile(IUnknown* object, std::string url = {}) : request(std::move(url)), m_object(object) {
        if (m_object) {
            file = Query<IQLXFileObject>(m_object, IID_IQLXFileObject);
            file64 = Query<IQLXFileObject64>(m_object, IID_IQLXFileObject64);
        }
    }
    ~HostFile() { Release(); }
    HostFile(const HostFile&) = delete;
    HostFile& operator=(const HostFile&) = delete;

    // Assigns the request and opens; the result of Open.
    int32_t Open(uint32_t access) { return Open(access, &response); }
    // The same with a response of the host's own instead of `response`.
    int32_t Open(uint32_t access, IQLXFileResponse* with) {
        auto* handler = Query<IQLXRequestHandler>(m_object, IID_IQLXRequestHandler);
        handler->AssignRequest(&request);
        handler->Release();
        return file->Open(access, with);
    }

    int32_t Write(const std::string& bytes) {
        HostBuffer buffer(bytes);
        buffer.AddRef();
        int32_t result = file->Write(&buffer);
        buffer.Release();
        return result;
    }

    // Reads in pieces of the given size until the entry ends or a read
    // fails; the bytes that arrived.
    std::string ReadToEnd(uint32_t piece, int32_t* last = nullptr) {
        std::string bytes;
        int32_t result;
        do {
            size_t before = response.calls.size();
            result = file->Read(piece);
            if (response.calls.size() > before && response.Last().kind == FileResponse::kRead)
                bytes += response.Last().data;
        } while (result == S_OK);
        if (last) *last = result;
        return bytes;
    }

    template <class T>
    T* As(const QLXGUID& iid) {
        return Query<T>(m_object, iid);
    }

    IUnknown* Object() const { return m_object; }

    // Drops every reference this host holds on the file object.
    void Release() {
        if (file64) file64->Release();
        if (file) file->Release();
        if (m_object) m_object->Release();
        file64 = nullptr;
        file = nullptr;
        m_object = nullptr;
    }

    Request request;
    FileResponse response;
    IQLXFileObject* file = nullptr;
    IQLXFileObject64* file64 = nullptr;

private:
    IUnknown* m_object;
};

// A new file object from the module, not yet opened.
inline std::unique_ptr<HostFile> NewHostFile(LoadedModule& module, const std::string& url) {
    return std::make_unique<HostFile>(module.NewFileObject(), url);
}

// The URLs an enumerator lists, empty slots skipped; each buffer holds its
// text with the terminating zero byte.
inline std::vector<std::string> ListUrls(IQLXEnumeratorIUnknown* list) {
    std::vector<std::string> urls;
    IUnknown* item = nullptr;
    for (int32_t r = list->First(&item); r == S_OK; r = list->Next(&item)) {
        if (!item) continue;
        IQLXBuffer* buffer = Query<IQLXBuffer>(item, IID_IQLXBuffer);
        item->Release();
        if (!buffer) continue;
        std::string text = BytesOf(buffer);
        buffer->Release();
        if (!text.empty() && text.back() == '\0') text.pop_back();
        urls.push_back(text);
    }
    return urls;
}

// The module loaded as a player loads it, a scratch directory with a
// container path in it (removed with everything in it afterwards), and at
// the end the check that every file object the test made is gone again.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = MakeScratchDir();
        ASSERT_FALSE(dir.empty());
        path = dir + "/clips.cnt";
    }
    void TearDown() override {
        EXPECT_EQ(S_OK, module.canUnload());
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::unique_ptr<HostFile> NewFile(const std::string& url) { return NewHostFile(module, url); }

    // A file object on an entry of the container at `at` (the fixture's
    // path by default), opened with the given access.
    std::unique_ptr<HostFile> OpenEntry(const std::string& entry, uint32_t access, const std::string& at = {}) {
        auto file = NewFile(ContUrl(at.empty() ? path : at, entry));
        EXPECT_EQ(S_OK, file->Open(access)) << entry;
        return file;
    }

    LoadedModule module;
    std::string dir;
    std::string path;
};

}  // namespace host

#endif
