// CContainerFile: one open container file (layout: record_format.h). It owns
// the data file, the in-memory directory (entries by number and by name), the
// state of the data record being appended, and the mutex that serialises
// every operation that touches the data file or the directory.
//
// All file objects naming one container path share one CContainerFile (the
// registry of open containers finds it); each keeps its own EntryCursor.
//
// Locking: entry input and output, the directory operations and flush all
// run under the container's recursive mutex, so file objects on several
// threads may use one container at once. A cursor belongs to one thread at a
// time.
//
// A container made without WriteAccess is read only: WriteEntry refuses it
// and nothing but recovery and entry removal ever reopens its file for
// writing.
#ifndef CONTFS_CONTAINER_CONTAINER_FILE_H
#define CONTFS_CONTAINER_CONTAINER_FILE_H

#include <qlx/interfaces.h>

#include <cstdint>

#include "container/container_interface.h"
#include "container/ptr_array.h"
#include "container/record_format.h"
#include "datafile/data_file.h"
#include "datafile/mutex.h"
#include "frame/unknown.h"
#include "util/compact_string.h"
#include "util/string_map.h"

// Access flags of Open, as the container reads them.
constexpr uint32_t kContainerReadAccess = 1;
constexpr uint32_t kContainerWriteAccess = 2;

// Entry numbers are 16 bits wide.
constexpr uint32_t kMaxEntryNumbers = 65536;

class CContainerFile : public ITWContainerFile, public IQLXEnumeratorIUnknown, public CUnknownIMP {
public:
    // Opens path read only, or with WriteAccess creates (or empties) it. The
    // data file is made by CreateDataFile(0) unless one is handed in (the
    // container then owns it; tests use this to inject faults).
    CContainerFile(const char* path, uint32_t access, CLuDataFile* dataFile = nullptr);
    ~CContainerFile() override;

    QLX_FORWARD_UNKNOWN()
    int32_t InnerQueryInterface(const QLXGUID& iid, void** out) override;

    // ITWContainerFile
    int32_t IsOpen() override;
    int32_t ReadDirectory() override;
    ContainerEntry* FindEntry(const CompactString& name) override;
    ContainerEntry* AddEntry(const CompactString& name) override;
    int32_t StatContainer(platform::FileStat32* out) override;
    int32_t WriteEntry(EntryCursor* cursor, IQLXBuffer* data) override;
    int32_t ReadEntry(EntryCursor* cursor, IQLXBuffer** out, uint32_t count) override;
    int32_t SeekEntry(EntryCursor* cursor, uint64_t position) override;
    const char* GetTitle() override;
    int32_t RemoveEntry(const CompactString& name) override;
    const char* GetPath() override;
    uint64_t EntrySize(const ContainerEntry* entry) override;
    int32_t TryHold() override;

    // IQLXEnumeratorIUnknown: entry URLs "cont:///%s?file=%s"
    int32_t First(IUnknown** out) override;
    int32_t Next(IUnknown** out) override;
    int32_t GetCount(uint32_t* count) override;

    // What reading a directory may take in memory, in bytes per byte of the
    // file (plus a few kilobytes): see WalkIndex.
    static constexpr uint64_t kDirectoryBytesPerFileByte = 8;

private:
    enum class HeaderVariant { kW7K, kCFS };

    // What an entry needs beyond ContainerEntry: the name length its entry
    // record holds, which locates the record's tail after the name changed.
    struct _CStoredEntry : ContainerEntry {
        uint32_t recordNameLength = 0;
    };

    struct RecordHeader {
        uint64_t offset = 0;
        uint8_t type = 0;
        uint64_t length = 0;       // payload bytes; from the file's length when the field was 0
        bool lengthGiven = false;  // the length field was not 0
        uint64_t End() const { return offset + record_format::kRecordHeadSize + length; }
    };

    struct DataRecordHeader {
        RecordHeader record;
        uint32_t entryIndex = 0;
        uint64_t logicalOffset = 0;
        uint64_t DataStart() const { return record.offset + record_format::kDataRecordHeadSize; }
        uint64_t DataLength() const { return record.length - record_format::kDataHeadPayload; }
    };

    // ---- data-file primitives (keep the tracked position and write end) ----
    int64_t FileLength();
    int32_t SeekTo(uint64_t target);
    int32_t ReadExact(void* dst, uint64_t count);
    uint32_t ReadUpTo(void* dst, uint32_t count);
    int32_t WriteExact(const void* src, uint64_t count, uint64_t* written = nullptr);
    int32_t WriteAt(uint64_t target, const void* src, uint64_t count);
    int32_t ReadRecordHead(RecordHeader* out);
    int32_t DecodeRecordHead(RecordHeader* out);
    int32_t ReadRecordAndDataHead(RecordHeader* record, DataRecordHeader* data, bool* isData);
    int32_t FixOpenRecord();
    int32_t ReopenFile(uint32_t flags);

    // ---- directory ----
    _CStoredEntry* EntryAt(uint64_t index) const;
    uint32_t EntryCount() const { return static_cast<uint32_t>(m_entries.GetSize()); }
    int32_t WalkIndex(uint64_t firstRecordOffset, const RecordHeader& root);
    int32_t LoadEntryRecord(const RecordHeader& record);
    void Recover(uint64_t firstRecordOffset);
    int32_t BeginWriting();
    int32_t WriteDirectoryRecords(uint32_t index);
    int32_t MarkRemovedOnDisk(_CStoredEntry* entry);
    int32_t WriteEntryTail(const ContainerEntry& entry);
    void FlushAndClose();

    // ---- entry input and output (entry_io.cpp) ----
    int32_t SeekLocked(EntryCursor* cursor, uint64_t position);
    int32_t ScanForData(uint32_t entryIndex, DataRecordHeader* found);
    int32_t FindNextReadRecord(EntryCursor* cursor);
    int32_t Overwrite(EntryCursor* cursor, _CStoredEntry* entry, const uint8_t* bytes, uint32_t size,
                      uint32_t* done);
    int32_t Append(EntryCursor* cursor, _CStoredEntry* entry, const uint8_t* bytes, uint32_t size);
    int32_t StartDataRecord(EntryCursor* cursor, _CStoredEntry* entry, bool alignData);
    bool WorthRealigning(uint32_t remaining) const;
    int32_t WriteFillerRecord();

    static constexpr uint64_t kUnknownPosition = ~uint64_t{0};

    CompactString m_path;
    CLuDataFile* m_file = nullptr;
    uint64_t m_writeEnd = 0;
    uint64_t m_position = 0;
    QLXMutex* m_mutex = nullptr;
    PtrArray m_entries;
    StringMap m_names;
    bool m_writing = false;
    uint64_t m_indexPayloadOffset = 0;
    uint32_t m_openRecordEntry = 0;
    uint32_t m_openRecordLength = 0;
    bool m_openRecordAligned = false;  // started after a filler record: never realigned
    bool m_dirty = false;
    CompactString m_title;
    uint32_t m_enumPosition = 0;

    bool m_writable = false;         // made with WriteAccess
    HeaderVariant m_variant = HeaderVariant::kW7K;
    bool m_directoryRead = false;
    bool m_headerWritten = false;
    int32_t m_writeFailure = S_OK;   // a failed start of writing: the file lacks its directory
    uint8_t m_scratch[record_format::kScratchSize];
};

#endif
