// Data-file doubles for the container's failure paths: a plain file that can
// be told to refuse opens with given flags or to stop writing after a byte
// budget.
#ifndef CONTFS_TESTS_CONTAINER_FAULTY_FILE_H
#define CONTFS_TESTS_CONTAINER_FAULTY_FILE_H

#include <cstdint>
#include <memory>
#include <set>

#include "datafile/data_file.h"

namespace ctest {

struct Faults {
    std::set<uint32_t> refusedOpenFlags;
    int64_t writeBudget = -1;  // bytes still allowed; -1 = no limit
    int writesBeforeFailure = -1;  // this many writes pass, then one fails; -1 = none
    int opens = 0;
};

// A data file that passes every operation to a real plain file; doubles
// derive from it and override only what they change.
class ForwardingFile : public DataFile {
public:
    ForwardingFile() : m_inner(CreateDataFile(0)) {}

    int32_t Create(const char* path, uint32_t mode, uint32_t ignored) override {
        return m_inner->Create(path, mode, ignored);
    }
    int32_t Open(const char* path, uint32_t flags, int32_t textMode) override {
        return m_inner->Open(path, flags, textMode);
    }
    int32_t Close() override { return m_inner->Close(); }
    int32_t GetFileLength() override { return m_inner->GetFileLength(); }
    int64_t GetFileLength64() override { return m_inner->GetFileLength64(); }
    int32_t SetFileLength(uint32_t size) override { return m_inner->SetFileLength(size); }
    int32_t SetFileLength64(uint64_t size) override { return m_inner->SetFileLength64(size); }
    uint64_t Tell64() override { return m_inner->Tell64(); }
    int32_t Seek(int32_t offset, uint32_t origin) override { return m_inner->Seek(offset, origin); }
    int32_t Seek64(uint32_t low, uint32_t high, uint32_t origin) override { return m_inner->Seek64(low, high, origin); }
    int32_t Tell() override { return m_inner->Tell(); }
    int32_t Read(void* dst, uint32_t count) override { return m_inner->Read(dst, count); }
    int32_t ReadAt(uint64_t offset, void* dst, uint32_t count) override { return m_inner->ReadAt(offset, dst, count); }
    int32_t Write(const void* src, uint32_t count) override { return m_inner->Write(src, count); }
    int32_t Rewind() override { return m_inner->Rewind(); }
    int16_t GetDescriptor() override { return m_inner->GetDescriptor(); }
    int32_t Delete(const char* path) override { return m_inner->Delete(path); }
    int32_t Sync() override { return m_inner->Sync(); }

protected:
    std::unique_ptr<DataFile> m_inner;
};

class FaultyFile : public ForwardingFile {
public:
    explicit FaultyFile(Faults* faults) : m_faults(faults) {}

    int32_t Open(const char* path, uint32_t flags, int32_t textMode) override {
        ++m_faults->opens;
        if (m_faults->refusedOpenFlags.count(flags)) {
            m_inner->Close();
            return RES_OPEN_FAILED;
        }
        return m_inner->Open(path, flags, textMode);
    }
    int32_t Write(const void* src, uint32_t count) override {
        if (m_faults->writesBeforeFailure >= 0 && m_faults->writesBeforeFailure-- == 0) return -1;
        if (m_faults->writeBudget >= 0 && count > m_faults->writeBudget) {
            count = static_cast<uint32_t>(m_faults->writeBudget);
            if (count == 0) return -1;
        }
        int32_t put = m_inner->Write(src, count);
        if (put > 0 && m_faults->writeBudget >= 0) m_faults->writeBudget -= put;
        return put;
    }

private:
    Faults* m_faults;
};

}  // namespace ctest

#endif
