// Faults in every data file the module makes: while SweptDataFiles is in
// force, CreateDataFile's files are wrapped in a SweptFile, which counts
// every operation on them (open, close, length query, seek, read, write,
// resize) and fails the one the plan names, or every one from it on, or
// runs out of disk space from a given write on.
#ifndef CONTFS_TESTS_MODULE_SWEPT_DATA_FILE_H
#define CONTFS_TESTS_MODULE_SWEPT_DATA_FILE_H

#include <algorithm>
#include <cstdint>
#include <memory>

#include "datafile/data_file.h"
#include "support/allocation_watch.h"

namespace sweep {

enum class Fault {
    kOnce,      // the chosen operation fails, every other one succeeds
    kOnward,    // every operation from the chosen one on fails, as when a disk goes away
    kDiskFull,  // counting writes: the chosen one stores half of what would lengthen its
                // file, later ones nothing beyond a file's end; writes inside a file succeed
};

struct IoPlan {
    Fault fault = Fault::kOnce;
    uint64_t failAt = 0;  // 0: none
    uint64_t operations = 0;
    uint64_t writes = 0;
    uint64_t failed = 0;
    bool full = false;  // kDiskFull: no more room beyond a file's end

    bool Fails() {
        ++operations;
        if (failAt == 0 || fault == Fault::kDiskFull) return false;
        const bool fails = fault == Fault::kOnce ? operations == failAt : operations >= failAt;
        failed += fails;
        return fails;
    }
};

inline IoPlan g_io;

class SweptFile : public DataFile {
public:
    explicit SweptFile(DataFile* inner) : m_inner(inner) {}

    int32_t Create(const char* path, uint32_t mode, uint32_t ignored) override {
        return g_io.Fails() ? RES_OPEN_FAILED : m_inner->Create(path, mode, ignored);
    }
    int32_t Open(const char* path, uint32_t flags, int32_t textMode) override {
        return g_io.Fails() ? RES_OPEN_FAILED : m_inner->Open(path, flags, textMode);
    }
    int32_t OpenShared(const char* path, uint32_t flags, uint32_t share, int32_t textMode) override {
        return g_io.Fails() ? RES_OPEN_FAILED : m_inner->OpenShared(path, flags, share, textMode);
    }
    int32_t Close() override {
        // A close that fails still lets go of the file, as close(2) does.
        const int32_t result = m_inner->Close();
        return g_io.Fails() ? RES_IO_ERROR : result;
    }
    int32_t GetFileLength() override { return g_io.Fails() ? 0 : m_inner->GetFileLength(); }
    int64_t GetFileLength64() override { return g_io.Fails() ? -1 : m_inner->GetFileLength64(); }
    int32_t SetFileLength(uint32_t size) override { return g_io.Fails() ? E_FAIL : m_inner->SetFileLength(size); }
    int32_t SetFileLength64(uint64_t size) override {
        return g_io.Fails() ? E_FAIL : m_inner->SetFileLength64(size);
    }
    int32_t SetShare(uint32_t share) override { return g_io.Fails() ? E_ACCESSDENIED : m_inner->SetShare(share); }
    int32_t Seek(int32_t offset, uint32_t origin) override {
        return g_io.Fails() ? RES_IO_ERROR : m_inner->Seek(offset, origin);
    }
    int32_t Seek64(uint32_t low, uint32_t high, uint32_t origin) override {
        return g_io.Fails() ? RES_IO_ERROR : m_inner->Seek64(low, high, origin);
    }
    int32_t Tell() override { return g_io.Fails() ? -1 : m_inner->Tell(); }
    uint64_t Tell64() override { return g_io.Fails() ? UINT64_MAX : m_inner->Tell64(); }
    int32_t Rewind() override { return g_io.Fails() ? RES_IO_ERROR : m_inner->Rewind(); }
    int32_t Read(void* dst, uint32_t count) override { return g_io.Fails() ? -1 : m_inner->Read(dst, count); }
    int32_t ReadAt(uint64_t offset, void* dst, uint32_t count) override {
        return g_io.Fails() ? -1 : m_inner->ReadAt(offset, dst, count);
    }
    int32_t Write(const void* src, uint32_t count) override {
        if (g_io.Fails()) return -1;
        const uint32_t room = Room(m_inner->Tell64(), count);
        if (room == 0 && count > 0) return -1;
        return m_inner->Write(src, room);
    }
    int32_t WriteAt(uint64_t offset, const void* src, uint32_t count) override {
        if (g_io.Fails()) return -1;
        const uint32_t room = Room(offset, count);
        if (room == count) return m_inner->WriteAt(offset, src, count);
        if (room != 0) m_inner->WriteAt(offset, src, room);
        return -1;
    }
    int16_t GetDescriptor() override { return m_inner->GetDescriptor(); }
    int32_t Delete(const char* path) override { return g_io.Fails() ? E_FAIL : m_inner->Delete(path); }
    int32_t Sync() override { return g_io.Fails() ? RES_IO_ERROR : m_inner->Sync(); }

private:
    // Counts a write of count bytes at offset `at`: how many of them the
    // disk takes.
    uint32_t Room(uint64_t at, uint32_t count) {
        ++g_io.writes;
        if (g_io.fault != Fault::kDiskFull || g_io.failAt == 0) return count;
        const uint64_t length = static_cast<uint64_t>(std::max<int64_t>(m_inner->GetFileLength64(), 0));
        uint64_t room = at < length ? length - at : 0;
        if (g_io.writes == g_io.failAt) {
            g_io.full = true;
            ++g_io.failed;
            if (count > room) room += (count - room) / 2;
        } else if (!g_io.full) {
            room = count;
        }
        return static_cast<uint32_t>(std::min<uint64_t>(count, room));
    }

    std::unique_ptr<DataFile> m_inner;
};

// While one exists, every data file the module makes is a SweptFile.
class SweptDataFiles {
public:
    SweptDataFiles() { SetDataFileWrapperForTests(Wrap); }
    ~SweptDataFiles() { SetDataFileWrapperForTests(nullptr); }
    SweptDataFiles(const SweptDataFiles&) = delete;
    SweptDataFiles& operator=(const SweptDataFiles&) = delete;

private:
    static DataFile* Wrap(DataFile* made) {
        ctest::AllocationWatch::Scope test(false);
        SweptFile* file = new (std::nothrow) SweptFile(made);
        if (!file) delete made;
        return file;
    }
};

}  // namespace sweep

#endif
