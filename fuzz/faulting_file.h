// A plain data file that fails one write, or runs out of room, where the
// fuzz input chose: how the fuzz targets reach the writer's failure paths
// (an entry record, a slot or a data record that could not be written and is
// taken back).
#ifndef CONTFS_FUZZ_FAULTING_FILE_H
#define CONTFS_FUZZ_FAULTING_FILE_H

#include <cerrno>
#include <cstdint>
#include <memory>

#include "datafile/data_file.h"

namespace fuzz {

struct WriteFault {
    int64_t failingWrite = -1;  // this many writes pass, then this one fails; -1: none
    int64_t room = -1;          // bytes the file may still grow by; -1: no end
    bool happened = false;
};

class FaultingFile : public DataFile {
public:
    explicit FaultingFile(WriteFault* fault) : m_inner(CreateDataFile(0)), m_fault(fault) {}

    int32_t Write(const void* src, uint32_t count) override {
        uint32_t allowed = 0;
        if (!Allowed(m_inner->Tell64(), count, &allowed)) return -1;
        return m_inner->Write(src, allowed);
    }
    int32_t WriteAt(uint64_t offset, const void* src, uint32_t count) override {
        uint32_t allowed = 0;
        if (!Allowed(offset, count, &allowed)) return -1;
        if (allowed < count) {
            m_inner->WriteAt(offset, src, allowed);
            return -1;
        }
        return m_inner->WriteAt(offset, src, count);
    }

    int32_t Create(const char* path, uint32_t mode, uint32_t ignored) override {
        return m_inner->Create(path, mode, ignored);
    }
    int32_t Open(const char* path, uint32_t flags, int32_t textMode) override {
        return m_inner->Open(path, flags, textMode);
    }
    int32_t OpenShared(const char* path, uint32_t flags, uint32_t share, int32_t textMode) override {
        return m_inner->OpenShared(path, flags, share, textMode);
    }
    int32_t SetShare(uint32_t share) override { return m_inner->SetShare(share); }
    int32_t Close() override { return m_inner->Close(); }
    int32_t GetFileLength() override { return m_inner->GetFileLength(); }
    int64_t GetFileLength64() override { return m_inner->GetFileLength64(); }
    int32_t SetFileLength(uint32_t size) override { return m_inner->SetFileLength(size); }
    int32_t SetFileLength64(uint64_t size) override { return m_inner->SetFileLength64(size); }
    int32_t Seek(int32_t offset, uint32_t origin) override { return m_inner->Seek(offset, origin); }
    int32_t Seek64(uint32_t low, uint32_t high, uint32_t origin) override { return m_inner->Seek64(low, high, origin); }
    int32_t Tell() override { return m_inner->Tell(); }
    uint64_t Tell64() override { return m_inner->Tell64(); }
    int32_t Read(void* dst, uint32_t count) override { return m_inner->Read(dst, count); }
    int32_t ReadAt(uint64_t offset, void* dst, uint32_t count) override { return m_inner->ReadAt(offset, dst, count); }
    int32_t Rewind() override { return m_inner->Rewind(); }
    int16_t GetDescriptor() override { return m_inner->GetDescriptor(); }
    int32_t Delete(const char* path) override { return m_inner->Delete(path); }
    int32_t Sync() override { return m_inner->Sync(); }
    int32_t StartWriteBack(uint64_t offset, uint64_t length) override {
        return m_inner->StartWriteBack(offset, length);
    }
    // The cause of the latest failure, the injected ones included.
    int32_t GetLastSystemError() override { return m_injected ? m_injected : m_inner->GetLastSystemError(); }

private:
    // Whether a write of count bytes at offset may start, and how many of
    // them fit: only the bytes that lengthen the file take room, as on a
    // disk that has run out, where bytes written over others still land.
    bool Allowed(uint64_t offset, uint32_t count, uint32_t* allowed) {
        m_injected = 0;
        if (m_fault->failingWrite >= 0 && m_fault->failingWrite-- == 0) {
            m_fault->happened = true;
            m_injected = EIO;
            return false;
        }
        *allowed = count;
        const int64_t length = m_inner->GetFileLength64();
        if (m_fault->room < 0 || length < 0) return true;
        const uint64_t end = static_cast<uint64_t>(length) + static_cast<uint64_t>(m_fault->room);
        if (offset + count <= end) {
            if (offset + count > static_cast<uint64_t>(length))
                m_fault->room -= static_cast<int64_t>(offset + count - static_cast<uint64_t>(length));
            return true;
        }
        m_fault->happened = true;
        m_injected = ENOSPC;
        *allowed = offset < end ? static_cast<uint32_t>(end - offset) : 0;
        m_fault->room = 0;
        return *allowed != 0;
    }

    std::unique_ptr<DataFile> m_inner;
    WriteFault* m_fault;
    int32_t m_injected = 0;  // errno of an injected failure, until the next write
};

}  // namespace fuzz

#endif
