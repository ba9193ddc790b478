// The record a power-cut simulation builds its crash images from: while a
// RecordedDataFiles is in force, every data file the module makes is a
// RecordingFile, which passes each operation through to the real file and
// appends every one that changes a file to the log: a write with its offset
// and bytes, a length change (a truncating open or Create is one to 0), a
// sync that succeeded. The workload puts notes between them saying what the
// host did and was told (a write began or returned, an entry was added or
// removed, a durable point was reached), so the truth at any cut is known.
#ifndef CONTFS_TESTS_MODULE_POWER_CUT_LOG_H
#define CONTFS_TESTS_MODULE_POWER_CUT_LOG_H

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "datafile/data_file.h"

namespace powercut {

struct Op {
    enum Kind : uint8_t {
        // What reached a file, `name` its path.
        kWrite,   // `bytes` at `at`
        kLength,  // the file's length set to `at`
        kSync,    // everything before is durable
        // Notes from the host, `name` an entry ("" for every entry).
        kAdded,       // about to be opened for writing: then it exists, empty
        kWriteBegan,  // `bytes` at `at`, not yet returned
        kWriteEnded,  // the write that began last returned S_OK
        kRemoved,     // about to be removed
        kDurable,     // a Sync returned S_OK, or the container's close finished
        kGuard,       // an add begins: the entries there now must stay as they are
    };
    Op(Kind k, std::string n = {}, uint64_t a = 0, std::string b = {})
        : kind(k), name(std::move(n)), at(a), bytes(std::move(b)) {}

    Kind kind;
    std::string name;
    uint64_t at;
    std::string bytes;

    bool ChangesFile() const { return kind <= kSync; }
};

using Log = std::vector<Op>;

// Where RecordingFiles append; null while nothing records.
inline Log* g_recording = nullptr;

class RecordingFile : public DataFile {
public:
    explicit RecordingFile(DataFile* inner) : m_inner(inner) {}

    int32_t GetLastErrorCode() override { return m_inner->GetLastErrorCode(); }
    int32_t MakeTempFileName(const char* prefix, char* out) override { return m_inner->MakeTempFileName(prefix, out); }
    int32_t Create(const char* path, uint32_t mode, uint32_t ignored) override {
        return Opened(path, true, m_inner->Create(path, mode, ignored));
    }
    int32_t Open(const char* path, uint32_t flags, int32_t textMode) override {
        return Opened(path, flags & kOpenTruncate, m_inner->Open(path, flags, textMode));
    }
    int32_t OpenShared(const char* path, uint32_t flags, uint32_t share, int32_t textMode) override {
        return Opened(path, flags & kOpenTruncate, m_inner->OpenShared(path, flags, share, textMode));
    }
    int32_t Close() override { return m_inner->Close(); }
    int32_t GetFileLength() override { return m_inner->GetFileLength(); }
    int64_t GetFileLength64() override { return m_inner->GetFileLength64(); }
    int32_t SetFileLength(uint32_t size) override { return SetFileLength64(size); }
    int32_t SetFileLength64(uint64_t size) override {
        const int32_t result = m_inner->SetFileLength64(size);
        if (QLX_SUCCEEDED(result)) Note(Op{Op::kLength, m_path, size, {}});
        return result;
    }
    int32_t Seek(int32_t offset, uint32_t origin) override { return m_inner->Seek(offset, origin); }
    int32_t Seek64(uint32_t low, uint32_t high, uint32_t origin) override { return m_inner->Seek64(low, high, origin); }
    int32_t Tell() override { return m_inner->Tell(); }
    uint64_t Tell64() override { return m_inner->Tell64(); }
    int32_t Rewind() override { return m_inner->Rewind(); }
    int32_t Read(void* dst, uint32_t count) override { return m_inner->Read(dst, count); }
    int32_t ReadBuffer(uint32_t count, IQLXBuffer** out) override { return m_inner->ReadBuffer(count, out); }
    int32_t ReadAt(uint64_t offset, void* dst, uint32_t count) override { return m_inner->ReadAt(offset, dst, count); }
    int32_t Write(const void* src, uint32_t count) override {
        const uint64_t at = m_inner->Tell64();
        const int32_t put = m_inner->Write(src, count);
        if (put > 0) Note(Op{Op::kWrite, m_path, at, std::string(static_cast<const char*>(src), put)});
        return put;
    }
    int32_t WriteAt(uint64_t offset, const void* src, uint32_t count) override {
        const int32_t put = m_inner->WriteAt(offset, src, count);
        if (put > 0) Note(Op{Op::kWrite, m_path, offset, std::string(static_cast<const char*>(src), put)});
        return put;
    }
    int16_t GetDescriptor() override { return m_inner->GetDescriptor(); }
    int32_t Delete(const char* path) override {
        // Not one the module makes on a container; were it, its image would
        // be an empty file.
        const int32_t result = m_inner->Delete(path);
        if (QLX_SUCCEEDED(result)) Note(Op{Op::kLength, path ? path : "", 0, {}});
        return result;
    }
    int32_t SetShare(uint32_t share) override { return m_inner->SetShare(share); }
    int32_t Sync() override {
        const int32_t result = m_inner->Sync();
        if (result == S_OK) Note(Op{Op::kSync, m_path, 0, {}});
        return result;
    }
    // Makes nothing durable (a crash may still lose those bytes): not noted.
    int32_t StartWriteBack(uint64_t offset, uint64_t length) override { return m_inner->StartWriteBack(offset, length); }

private:
    static void Note(Op op) {
        if (g_recording) g_recording->push_back(std::move(op));
    }
    int32_t Opened(const char* path, bool emptied, int32_t result) {
        if (QLX_FAILED(result)) return result;
        m_path = path ? path : "";
        if (emptied) Note(Op{Op::kLength, m_path, 0, {}});
        return result;
    }

    std::unique_ptr<DataFile> m_inner;
    std::string m_path;
};

// While one exists, every data file the module makes records into `log`.
class RecordedDataFiles {
public:
    explicit RecordedDataFiles(Log& log) {
        g_recording = &log;
        SetDataFileWrapperForTests(Wrap);
    }
    ~RecordedDataFiles() {
        SetDataFileWrapperForTests(nullptr);
        g_recording = nullptr;
    }
    RecordedDataFiles(const RecordedDataFiles&) = delete;
    RecordedDataFiles& operator=(const RecordedDataFiles&) = delete;

private:
    static DataFile* Wrap(DataFile* made) {
        RecordingFile* file = new (std::nothrow) RecordingFile(made);
        if (!file) delete made;
        return file;
    }
};

}  // namespace powercut

#endif
