// MappedFile: a read-only data file seen through a memory mapping. Its one
// real service is ReadBuffer, which hands out the asked bytes without
// copying them:
//
//   ReadBuffer(count) at position p, granularity g:
//
//   file    |.......|.......|..[p ......... p+count)..|
//                   ^ view start = p rounded down to g
//   view            [ offset in view | count bytes    ]
//
//   returned IQLXBuffer = fragmented buffer -> one fragment = the view buffer
//
// The view is unmapped when the last reference to its view buffer goes,
// whether or not the file object is still open or alive.
//
// Failures: E_FAIL when nothing is open or the position is at or past the
// end; a view that would run past the end of the file is refused with the
// platform's error (0x80070000 | errno) and the position stays. Read and
// Write are not supported (-1); the last-error field is never set.
//
// Seeks take the offset as the plain data file does: unsigned from the start,
// signed from the current position or the end; a target before the start is
// refused with E_INVALIDARG. One thread at a time, as every data file; view
// buffers may be released on any thread.
#ifndef CONTFS_DATAFILE_MAPPED_FILE_H
#define CONTFS_DATAFILE_MAPPED_FILE_H

#include "datafile/data_file.h"
#include "frame/unknown.h"
#include "platform/memory_map.h"

class MappedFile : public DataFile {
public:
    MappedFile() = default;
    ~MappedFile() override;

    // The mode is taken as open flags.
    int32_t Create(const char* path, uint32_t mode, uint32_t ignored) override;
    // Read-only or read/write access by flags & 3; create, exclusive and
    // truncate choose how a missing or existing file is treated; append is
    // refused with E_INVALIDARG (and an open file stays open). An empty file
    // cannot be mapped, so it cannot be opened.
    int32_t Open(const char* path, uint32_t flags, int32_t textMode) override;
    int32_t Close() override;
    int32_t Seek(int32_t offset, uint32_t origin) override;
    // -1 when nothing is open or the position is 4 GiB or more.
    int32_t Tell() override;
    int32_t Seek64(uint32_t offsetLow, uint32_t offsetHigh, uint32_t origin) override;
    uint64_t Tell64() override;
    int32_t Read(void* dst, uint32_t count) override;
    int32_t ReadBuffer(uint32_t count, IQLXBuffer** out) override;
    int32_t Write(const void* src, uint32_t count) override;
    int32_t Rewind() override;
    int16_t GetDescriptor() override;
    int32_t Delete(const char* path) override;
    // The size taken when the file was opened; -1 when nothing is open.
    int64_t GetFileLength64() override;

private:
    int32_t SeekTo(int64_t base, int64_t offset);

    platform::FileMapping* m_mapping = nullptr;
    int m_file = -1;
    uint64_t m_position = 0;
    uint64_t m_size = 0;
};

// A buffer presenting bytes of one mapped view. Read-only: Set and SetSize
// are E_NOTIMPL. Made only by MappedFile::ReadBuffer.
class MappedViewBuffer : public IQLXBuffer, public CUnknownIMP {
public:
    MappedViewBuffer() = default;
    ~MappedViewBuffer() override;

    QLX_FORWARD_UNKNOWN()
    int32_t InnerQueryInterface(const QLXGUID& iid, void** out) override;

    int32_t Get(uint8_t** data, uint32_t* length) override;
    int32_t Set(const uint8_t* data, uint32_t length) override;
    int32_t SetSize(uint32_t length) override;
    uint32_t GetSize() override;
    uint8_t* GetBuffer() override;

    // Maps a view of count bytes at the 64-bit position high:low, widened at
    // the front to the granularity; an earlier view of this buffer is
    // unmapped first. E_INVALIDARG for count 0 or no mapping.
    int32_t MapWindow(platform::FileMapping* mapping, uint32_t positionHigh, uint32_t positionLow, uint32_t count);

    const uint8_t* ViewBase() const { return m_viewBase; }
    uint32_t OffsetInView() const { return m_offsetInView; }

private:
    void Unmap();

    const uint8_t* m_viewBase = nullptr;
    uint32_t m_length = 0;
    uint32_t m_offsetInView = 0;
};

#endif
