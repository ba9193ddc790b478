// CContainerFile: one open container file (layout: record_format.h). It owns
// the data file (as a RecordFile), the in-memory directory (an EntryTable),
// the directory's writer, and the mutex that serialises every operation
// that touches the data file or the directory. Its jobs live in files of
// their own:
//
//   container_file.cpp    opening, the directory operations, adding to an
//                         existing container, closing
//   directory_reader.*    header, index walk and entry records, read
//   directory_writer.*    header and directory records written, write-back
//   recovery.*            sizes and seek tables rebuilt from data records
//   append_point.*        where its new records go, its last record finished
//   entry_reading.cpp     seek and read of entry bytes
//   entry_writing.cpp     write of entry bytes: in place, appended
//   entry_gathering.cpp   a gathering writer's bytes, held and written out
//   gathered_bytes.*      those bytes, per entry, and the container's queue
//   gather_flusher.*      the module's thread that writes out waiting ones
//   entry_listing.cpp     the entries listed as URLs
//   entry_table.*         the entries by number; entry_names.*: by name
//   record_map.*          each entry's data records, as far as learned
//   record_walk.*         records one after another, through the window
//   seek_table.*          an entry's seek table, in memory when needed
//   record_file.*         positions, the write end, record heads, scratch,
//                         positioned reads and the read window
//   damage_report.*       the first damage met and what recovery rebuilt,
//                         which hosts read through IQLXContainerInspector
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
//
// One made with WriteAccess and AppendAccess takes up the container already
// in its file: the file is opened as it is, alone,
// and ReadDirectory reads the directory (rebuilding it when the container
// was not closed cleanly) and finds where new records go; then readers may
// open the file beside it. The first entry added sets the clean flag to 0
// on disk before anything else is written; new entries and their data are
// appended, and the close writes the directory back and sets the flag.
#ifndef CONTFS_CONTAINER_CONTAINER_FILE_H
#define CONTFS_CONTAINER_CONTAINER_FILE_H

#include <qlx/interfaces.h>

#include <cstdint>

#include "container/append_point.h"
#include "container/container_interface.h"
#include "container/damage_report.h"
#include "container/directory_reader.h"
#include "container/directory_writer.h"
#include "container/entry_table.h"
#include "container/gather_flusher.h"
#include "container/gathered_bytes.h"
#include "container/record_file.h"
#include "container/record_walk.h"
#include "datafile/data_file.h"
#include "datafile/mutex.h"
#include "frame/unknown.h"
#include "util/compact_string.h"

// Access flags of Open, as the container reads them.
constexpr uint32_t kContainerReadAccess = 1;
constexpr uint32_t kContainerWriteAccess = 2;
constexpr uint32_t kContainerAppendAccess = 4;  // with WriteAccess: keep and add to what the file holds

class CContainerFile : public IContainerFile,
                       public IQLXEnumeratorIUnknown,
                       public IQLXContainerInspector,
                       public GatherClient,
                       public CUnknownIMP {
public:
    // Opens path read only, or with WriteAccess creates (or empties) it, or
    // with WriteAccess and AppendAccess opens it as it is (creating it when
    // missing) and keeps every other open out until ReadDirectory. The
    // data file is made by CreateDataFile(0) unless one is handed in (the
    // container then owns it; tests use this to inject faults).
    CContainerFile(const char* path, uint32_t access, DataFile* dataFile = nullptr);
    ~CContainerFile() override;

    QLX_FORWARD_UNKNOWN()
    int32_t InnerQueryInterface(const QLXGUID& iid, void** out) override;

    // IContainerFile
    int32_t IsOpen() override;
    int32_t ReadDirectory() override;
    ContainerEntry* FindEntry(const CompactString& name) override;
    ContainerEntry* AddEntry(const CompactString& name) override;
    int32_t StatContainer(platform::FileStat32* out) override;
    int32_t WriteEntry(EntryCursor* cursor, IQLXBuffer* data) override;
    int32_t ReadEntry(EntryCursor* cursor, IQLXBuffer** out, uint32_t count) override;
    int32_t ReadEntryReusing(EntryCursor* cursor, IQLXBuffer* reuse, IQLXBuffer** out, uint32_t count) override;
    int32_t SeekEntry(EntryCursor* cursor, uint64_t position) override;
    const char* GetTitle() override;
    int32_t RemoveEntry(const CompactString& name) override;
    const char* GetPath() override;
    uint64_t EntrySize(const ContainerEntry* entry) override;
    int32_t TryHold() override;
    void Retire() override;
    int32_t Sync() override;
    int32_t IsWritable() override;
    int32_t WriteOutGathered(EntryCursor* cursor) override;

    // GatherClient: the flusher thread's call.
    int64_t WriteOutAged(int64_t now) override;

    // IQLXEnumeratorIUnknown: entry URLs "cont:///%s?file=%s"
    int32_t First(IUnknown** out) override;
    int32_t Next(IUnknown** out) override;
    int32_t GetCount(uint32_t* count) override;

    // IQLXContainerInspector: the damage report, the recovery, the header
    // and the entries' sizes.
    int32_t GetFirstDamage(int32_t* found, uint64_t* offset, uint32_t* part, const char** reason) override;
    int32_t GetRecovery(int32_t* ran, uint32_t* dataRecords, uint32_t* entries, int32_t* writtenBack,
                        const char** summary) override;
    int32_t GetHeader(uint32_t* magic, uint32_t* version, int32_t* clean, const char** title) override;
    int32_t GetEntrySize(const char* name, uint64_t* size) override;
    int32_t GetLastFailure(int32_t* systemError, const char** reason) override;

    // What this container found damaged, and what its recovery rebuilt.
    DamageReport Report();

    // Drops what every entry's record map holds: later reads and seeks find
    // their records by scanning, as in a container that has read nothing
    // yet (and learn them again).
    void ForgetRecords();

    // What an entry's record map takes in memory and the bytes it covers.
    struct RecordMapUse {
        uint64_t memoryBytes = 0;
        uint64_t mappedBytes = 0;
        uint32_t records = 0;
    };
    RecordMapUse RecordMapOf(const ContainerEntry* entry);

    // The memory the entries' gathered bytes take together.
    uint64_t GatheredMemory();

private:
    // The header and the index tree from the file; the title read
    // replaces the one the path gave.
    int32_t ReadHeaderAndIndex(ContainerHeader* header);
    // Rebuilds the directory of a container not closed cleanly and writes
    // it back when no one else holds the file.
    void Recover(uint64_t firstRecordOffset);
    // Whether the file, opened for the repair, is as the scan found it: of
    // the same length, its clean flag still 0.
    bool UnchangedSinceScan(int64_t scanned);
    int32_t MarkRemovedOnDisk(const StoredEntry& entry);
    int32_t BeginWriting();

    // ---- adding to an existing container ----
    int32_t ReadDirectoryToAppend();
    int32_t BeginAppending();
    void FlushAndClose();
    uint64_t CleanFlagOffset() const;

    // ---- entry reading (entry_reading.cpp) ----
    int32_t SeekLocked(EntryCursor* cursor, uint64_t position);
    int32_t PlaceOnNextRecord(EntryCursor* cursor, StoredEntry& entry);
    int32_t ScanToRecordOf(RecordWalk& walk, const StoredEntry& own, uint64_t position, bool* onChain,
                           DataRecordHeader* found);
    int32_t NoMoreRecords(const StoredEntry& entry, uint64_t offset, uint64_t logicalPosition);
    int32_t LoadSeekTable(StoredEntry& entry);
    // Asks for the bytes of the cursor's record ahead of a read of count
    // bytes at its place, when the system's read-ahead would stray.
    void ReadAheadOf(EntryCursor* cursor, uint32_t count);

    // ---- entry writing (entry_writing.cpp) ----
    int32_t Overwrite(EntryCursor* cursor, StoredEntry* entry, const uint8_t* bytes, uint32_t size, uint32_t* done);
    int32_t Append(EntryCursor* cursor, StoredEntry* entry, const uint8_t* bytes, uint32_t size);
    int32_t StartDataRecord(EntryCursor* cursor, StoredEntry* entry, bool alignData);
    bool WorthRealigning(uint32_t remaining);
    int32_t WriteFillerRecord();

    // ---- gathering (entry_gathering.cpp) ----
    int32_t Gather(EntryCursor* cursor, StoredEntry* entry, const uint8_t* bytes, uint32_t size);
    // Writes the entry's gathered bytes out as one data record (continuing
    // the growing one when that is the entry's). On failure they are lost.
    int32_t WriteOut(StoredEntry* entry);
    // Writes out every gathered byte that has waited its time at `now`.
    void WriteOutDue(int64_t now);
    // Writes out every gathered byte; the first failure, or an earlier loss.
    int32_t WriteOutAll();
    // A cursor placed at a position among its entry's gathered bytes.
    static void PlaceAmongGathered(EntryCursor* cursor, uint64_t position);

    CompactString m_path;
    RecordFile m_file;
    QLXMutex* m_mutex = nullptr;
    EntryTable m_entries;
    DirectoryWriter m_writer{m_file, m_entries};
    DamageReport m_report;
    bool m_dirty = false;  // the directory must be written back at close
    CompactString m_title;
    CompactString m_failureText;  // GetLastFailure's reason, made when asked
    uint32_t m_enumPosition = 0;

    bool m_writable = false;  // made with WriteAccess

    // Made with AppendAccess: kUnread until ReadDirectory found the file
    // empty (written as a new container) or where its records end.
    enum class Appending { kNo, kUnread, kNewFile, kExisting };
    Appending m_appending = Appending::kNo;
    AppendPoint m_appendPoint;
    // The header as ReadDirectory found it, as far as it got; a container
    // that never read one counts as ".W7K".
    ContainerHeader m_header;
    bool m_directoryRead = false;

    // The entries' gathered bytes, oldest first; whether the flusher knows
    // this container; the first failure that lost gathered bytes.
    GatherQueue m_gathers;
    bool m_flusherKnows = false;
    int32_t m_gatherLoss = S_OK;
};

#endif
