// IContainerFile: the module-internal interface of an open container, with
// the entry record kept in memory and the caller-owned cursor into one entry.
#ifndef CONTFS_CONTAINER_CONTAINER_INTERFACE_H
#define CONTFS_CONTAINER_CONTAINER_INTERFACE_H

#include <qlx/interfaces.h>

#include <cstdint>

#include "container/record_format.h"
#include "platform/file_stat.h"
#include "util/compact_string.h"

// One entry of an open container, owned by the container (which keeps its
// seek table and the map of its data records beside it).
struct ContainerEntry {
    CompactString name;     // empty once the entry has been removed
    uint16_t index = 0;     // the entry's number: its slot in the container
    uint64_t size = 0;      // logical length in bytes
    uint64_t recordOffset = 0;  // file offset of the entry record; 0 until written
};

// A caller-owned position in one entry. The caller zeroes it and sets the
// index; the container moves the rest.
struct EntryCursor {
    uint32_t index = 0;
    uint64_t logicalPosition = 0;
    // While bytesLeft is not 0: file offset of the byte at logicalPosition.
    // Otherwise: where the search for the entry's next data record starts.
    // 0 = not located yet.
    uint64_t filePosition = 0;
    uint32_t bytesLeft = 0;
    uint64_t growingRecordOffset = 0;  // record still growing when located, else 0
    // Set by the caller: the cursor's appends are gathered in memory and
    // written out in large records (gathered_bytes.h); its Seek, Read and
    // any write not at the entry's end write the gathered bytes out first.
    bool gather = false;
    // Reading ahead (entry_reading.cpp): the logical position where the
    // cursor's last read ended, and the file offset up to which its
    // record's bytes were asked for ahead of it.
    uint64_t readEnd = 0;
    uint64_t readAheadEnd = 0;
};

class IContainerFile : public IUnknown {
public:
    virtual int32_t IsOpen() = 0;                                                   // 3
    virtual int32_t ReadDirectory() = 0;                                            // 4
    virtual ContainerEntry* FindEntry(const CompactString& name) = 0;               // 5
    virtual ContainerEntry* AddEntry(const CompactString& name) = 0;                // 6
    virtual int32_t StatContainer(platform::FileStat32* out) = 0;                   // 7
    virtual int32_t WriteEntry(EntryCursor* cursor, IQLXBuffer* data) = 0;          // 8
    virtual int32_t ReadEntry(EntryCursor* cursor, IQLXBuffer** out, uint32_t count) = 0;  // 9
    virtual int32_t SeekEntry(EntryCursor* cursor, uint64_t position) = 0;          // 10
    virtual const char* GetTitle() = 0;                                             // 11
    virtual int32_t RemoveEntry(const CompactString& name) = 0;                     // 12
    // The path the container was opened on, as given.
    virtual const char* GetPath() = 0;                                              // 13
    // An entry's logical size, read under the container's lock: a cursor on
    // another thread may be appending to it meanwhile.
    virtual uint64_t EntrySize(const ContainerEntry* entry) = 0;                    // 14
    // AddRef only while some holder keeps the container alive: nonzero when
    // a reference was taken, 0 once its last Release has begun. For the
    // registry, which holds containers without a reference and must never
    // revive one that another thread is destroying.
    virtual int32_t TryHold() = 0;                                                  // 15
    // Closes the data file for good: the container keeps its directory and
    // what it found damaged, for inspection, but reads and writes nothing
    // more (IsOpen is 0). For a container whose directory could not be read.
    virtual void Retire() = 0;                                                      // 16
    // ReadEntry, which may fill `reuse` (a buffer an earlier call handed
    // out) instead of making a new buffer: when nobody but the caller holds
    // it any longer, *out is `reuse` with a reference added. So a reader
    // going through an entry is not given a new allocation per read.
    virtual int32_t ReadEntryReusing(EntryCursor* cursor, IQLXBuffer* reuse, IQLXBuffer** out,
                                     uint32_t count) = 0;                           // 17
    // Makes everything the container has written durable: its data records
    // and directory records reach the disk before this returns S_OK (the
    // growing data record gets its length first, so what follows it never
    // reads as its bytes). A new container that nothing was written to yet
    // gets its header and directory first, so that its file is a container
    // (of no entries, or of entries without bytes). S_OK at once for a
    // container opened for reading.
    virtual int32_t Sync() = 0;                                                     // 18
    // Nonzero when the container was opened with WriteAccess: one opened
    // for reading only takes no writes and no new entries.
    virtual int32_t IsWritable() = 0;                                               // 19
    // Writes out the gathered bytes of the cursor's entry (its writer
    // closes): S_OK, or the failure that lost them, now or earlier.
    virtual int32_t WriteOutGathered(EntryCursor* cursor) = 0;                      // 20
};

// A new container on path, opened read only or, with WriteAccess, created
// (emptied when it exists), with no reference taken; null when memory runs
// out. IsOpen tells whether its file could be opened.
IContainerFile* NewContainerFile(const char* path, uint32_t access);

#endif
