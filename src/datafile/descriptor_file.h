// DescriptorFile: the plain data file, on one file descriptor. Containers use this
// kind only.
//
// Sharing. An open that conflicts with another open's share mode is
// refused. Whole-file advisory locks carry the share modes, binding every
// data file (in this process or another) and nothing else:
//   - every open descriptor holds a shared lock, except one opened through
//     OpenShared with deny read and write (0x10), which holds an exclusive
//     lock; deny write (0x20), deny read (0x30) and deny none (0x40) cannot be
//     told apart by such locks and all hold a shared one;
//   - an open that cannot take its lock because of another holder fails:
//     Open with RES_OPEN_FAILED, OpenShared with E_ACCESSDENIED (a sharing
//     conflict counts as permission denied there);
//   - an open with truncate first takes an exclusive lock on its new
//     descriptor (opened without truncation) and only then empties the file,
//     so a file that any other data file holds open is refused with
//     RES_OPEN_FAILED and left untouched. The lock then becomes the one the
//     open asked for. This is the exclusive trial open, done on the same
//     descriptor so that nothing can slip in between trial and truncation;
//   - Delete of a file that another data file holds open is refused with
//     E_ACCESSDENIED: a container in use is not unlinked from under its
//     readers.
//
// Failure outputs: see each operation in data_file.h. Not thread-safe: the
// owner serialises every call (the position is shared by seek and transfer).
#ifndef CONTFS_DATAFILE_DESCRIPTOR_FILE_H
#define CONTFS_DATAFILE_DESCRIPTOR_FILE_H

#include "datafile/data_file.h"

class DescriptorFile : public DataFile {
public:
    static constexpr int32_t kNotOpen = -1000;

    DescriptorFile() = default;
    ~DescriptorFile() override;

    int32_t MakeTempFileName(const char* prefix, char* outName) override;
    int32_t Create(const char* path, uint32_t mode, uint32_t ignored) override;
    int32_t Open(const char* path, uint32_t flags, int32_t textMode) override;
    int32_t OpenShared(const char* path, uint32_t flags, uint32_t share, int32_t textMode) override;
    int32_t Close() override;
    int32_t GetFileLength() override;
    int32_t SetFileLength(uint32_t size) override;
    int32_t Seek(int32_t offset, uint32_t origin) override;
    int32_t Tell() override;
    int32_t Seek64(uint32_t offsetLow, uint32_t offsetHigh, uint32_t origin) override;
    uint64_t Tell64() override;
    int32_t Read(void* dst, uint32_t count) override;
    int32_t Write(const void* src, uint32_t count) override;
    int32_t Rewind() override;
    int16_t GetDescriptor() override;
    int32_t Delete(const char* path) override;
    int64_t GetFileLength64() override;
    int32_t SetFileLength64(uint64_t size) override;
    int32_t ReadAt(uint64_t offset, void* dst, uint32_t count) override;
    int32_t SetShare(uint32_t share) override;
    int32_t WriteAt(uint64_t offset, const void* src, uint32_t count) override;
    int32_t Sync() override;
    int32_t StartWriteBack(uint64_t offset, uint64_t length) override;
    int32_t ReadAhead(uint64_t offset, uint64_t length) override;

private:
    bool IsOpen() const { return m_descriptor >= 0; }
    // Closes an open descriptor without touching the last-error field.
    void Drop();
    // The open family's common road; shared is false for Open.
    int32_t OpenWith(const char* path, uint32_t flags, bool shared, uint32_t share, int32_t textMode);
    int32_t SeekTo(int64_t offset, uint32_t origin);
    // Keeps the failure and the system's reason for it (errno), which must
    // still be the failed call's.
    int32_t Failed(int32_t result);
    // A transfer refused before any system call: -1, RES_IO_ERROR.
    int32_t Refused();

    int32_t m_descriptor = kNotOpen;
    // ReadAhead took the reading ahead over from the system on this descriptor.
    bool m_readsAhead = false;
};

#endif
