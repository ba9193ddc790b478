// The host of the fault sweep: every call into the module goes through
// Call, which counts the allocations inside it (they may fail), catches any
// exception and insists on a result code. HostHeldFile is one file object
// as a careful host holds it.
#ifndef CONTFS_TESTS_MODULE_CAREFUL_HOST_H
#define CONTFS_TESTS_MODULE_CAREFUL_HOST_H

#include <gtest/gtest.h>
#include <qlx/interfaces.h>

#include <cstring>
#include <exception>
#include <functional>
#include <string>

#include "support/allocation_watch.h"
#include "support/host_doubles.h"

extern "C" int32_t QLXCreateInstance(IUnknown** out);

namespace sweep {

class Response : public host::Counted<IQLXFileResponse> {
public:
    const QLXGUID& FaceId() const override { return IID_IQLXFileResponse; }
    int32_t OpenFinished(int32_t) override { return S_OK; }
    int32_t CloseFinished(int32_t) override { return S_OK; }
    int32_t ReadFinished(int32_t status, IQLXBuffer* data) override {
        ctest::AllocationWatch::Scope test(false);
        read = status == S_OK ? host::BytesOf(data) : std::string();
        return S_OK;
    }
    int32_t WriteFinished(int32_t) override { return S_OK; }
    int32_t SeekFinished(int32_t) override { return S_OK; }
    std::string read;
};

// Runs one module call: allocations inside it are counted and may fail;
// whatever happens, the host gets a result code.
inline int32_t Call(const char* what, const std::function<int32_t()>& call) {
    int32_t result = E_FAIL;
    try {
        ctest::AllocationWatch::Scope module(true);
        result = call();
    } catch (const std::exception& e) {
        ADD_FAILURE() << what << ": exception " << e.what();
    } catch (...) {
        ADD_FAILURE() << what << ": exception";
    }
    EXPECT_TRUE(result == S_OK || result == RES_END_OF_DATA || QLX_FAILED(result))
        << what << ": " << std::hex << result;
    return result;
}

inline std::string Url(const std::string& path, const std::string& entry) {
    return "cont:///" + path + "?file=" + entry;
}

// One file object as a careful host holds it: it stops writing after the
// first failure, and checks every byte a read delivers against `truth`.
class HostHeldFile {
public:
    HostHeldFile(const std::string& url, uint32_t access, const std::string* truth) : m_request(url), m_truth(truth) {
        IUnknown* plugin = nullptr;
        if (Call("QLXCreateInstance", [&] { return QLXCreateInstance(&plugin); }) != S_OK) return;
        IQLXFileSystemObject* fs = nullptr;
        Call("QueryInterface",
             [&] { return plugin->QueryInterface(IID_IQLXFileSystemObject, reinterpret_cast<void**>(&fs)); });
        if (fs) {
            IUnknown* object = nullptr;
            Call("CreateFileObject", [&] { return fs->CreateFileObject(&object); });
            if (object) {
                Call("QueryInterface",
                     [&] { return object->QueryInterface(IID_IQLXFileObject, reinterpret_cast<void**>(&m_file)); });
            }
            Call("Release", [&] { return object ? (object->Release(), S_OK) : S_OK; });
            Call("Release", [&] { return fs->Release(), S_OK; });
        }
        Call("Release", [&] { return plugin->Release(), S_OK; });
        if (!m_file) return;
        IQLXRequestHandler* handler = nullptr;
        Call("QueryInterface",
             [&] { return m_file->QueryInterface(IID_IQLXRequestHandler, reinterpret_cast<void**>(&handler)); });
        if (handler) {
            Call("AssignRequest", [&] { return handler->AssignRequest(&m_request); });
            Call("Release", [&] { return handler->Release(), S_OK; });
        }
        m_ok = Call("Open", [&] { return m_file->Open(access, &m_response); }) == S_OK;
    }
    ~HostHeldFile() { Close(); }
    HostHeldFile(const HostHeldFile&) = delete;
    HostHeldFile& operator=(const HostHeldFile&) = delete;

    // Writes truth[from, to) at the cursor.
    void Write(size_t from, size_t to) {
        if (!m_ok) return;
        ctest::AllocationWatch::Scope test(false);
        host::HostBuffer buffer(m_truth->substr(from, to - from));
        buffer.AddRef();
        m_ok = Call("Write", [&] { return m_file->Write(&buffer); }) == S_OK;
        m_position = m_ok ? to : m_position;
    }
    void Seek(uint64_t to) {
        if (!m_file) return;
        if (Call("Seek", [&] { return m_file->Seek(static_cast<uint32_t>(to), 0); }) == S_OK) {
            m_position = to;
        } else {
            m_ok = false;
        }
    }
    // Reads pieces until the end, a failure or `most` bytes.
    void Read(uint32_t piece, uint64_t most = UINT64_MAX) {
        for (uint64_t got = 0; m_file && got < most;) {
            if (Call("Read", [&] { return m_file->Read(piece); }) != S_OK) return;
            ExpectTrue(m_response.read);
            got += m_response.read.size();
            m_position += m_response.read.size();
        }
    }
    void Stat() {
        host::StatResponse stat;
        IQLXFileStat* face = As<IQLXFileStat>(IID_IQLXFileStat);
        if (!face) return;
        Call("Stat", [&] { return face->Stat(&stat); });
        Call("Release", [&] { return face->Release(), S_OK; });
        EXPECT_EQ(stat.calls, 1);
    }
    void CheckExistence(const std::string& url) {
        host::ExistsResponse exists;
        IQLXFileExists* face = As<IQLXFileExists>(IID_IQLXFileExists);
        if (!face) return;
        Call("CheckExistence", [&] { return face->CheckExistence(url.c_str(), &exists); });
        Call("Release", [&] { return face->Release(), S_OK; });
        EXPECT_EQ(exists.calls, 1);
    }
    void List() {
        IQLXEnumeratorIUnknown* list = As<IQLXEnumeratorIUnknown>(IID_IQLXEnumeratorIUnknown);
        if (!list) return;
        IUnknown* item = nullptr;
        int listed = 0;
        for (int32_t r = Call("First", [&] { return list->First(&item); }); r == S_OK && listed < 10;
             r = Call("Next", [&] { return list->Next(&item); }), ++listed) {
            if (item) Call("Release", [&] { return item->Release(), S_OK; });
        }
        Call("Release", [&] { return list->Release(), S_OK; });
    }
    void Remove() {
        IQLXFileRemove* face = As<IQLXFileRemove>(IID_IQLXFileRemove);
        if (!face) return;
        Call("Remove", [&] { return face->Remove(); });
        Call("Release", [&] { return face->Release(), S_OK; });
    }
    void Close() {
        if (m_file) Call("Release", [&] { return m_file->Release(), S_OK; });
        m_file = nullptr;
        EXPECT_EQ(m_request.refs, 0) << m_request.url;
        EXPECT_EQ(m_response.refs, 0) << m_request.url;
    }

private:
    template <class T>
    T* As(const QLXGUID& iid) {
        void* out = nullptr;
        if (m_file) Call("QueryInterface", [&] { return m_file->QueryInterface(iid, &out); });
        return static_cast<T*>(out);
    }
    void ExpectTrue(const std::string& read) const {
        ctest::AllocationWatch::Scope test(false);
        const bool inside = m_position + read.size() <= m_truth->size();
        EXPECT_TRUE(inside && std::memcmp(read.data(), m_truth->data() + m_position, read.size()) == 0)
            << m_request.url << ": wrong bytes read at " << m_position;
    }

    host::Request m_request;
    Response m_response;
    const std::string* m_truth;
    IQLXFileObject* m_file = nullptr;
    bool m_ok = false;
    uint64_t m_position = 0;
};

}  // namespace sweep

#endif
