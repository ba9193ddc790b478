// DirectoryWriter: writes a new container's header and directory records
// (layout: record_format.h) and, at close, writes the directory back.
//
// Nothing reaches the file until the first data write (or a Sync) begins
// writing: the header, then every entry's directory records in number order. Entries
// added after that get theirs at once, between data records. At close the
// growing data record's length is fixed, removed entries (and the records
// of names read twice, EntryTable's shadows) are marked, every
// entry record's tail is rewritten in place, and only when all of that
// reached the disk is the clean flag set.
#ifndef CONTFS_CONTAINER_DIRECTORY_WRITER_H
#define CONTFS_CONTAINER_DIRECTORY_WRITER_H

#include <cstdint>

#include "container/entry_table.h"
#include "container/record_file.h"
#include "util/compact_string.h"

class DirectoryWriter {
public:
    DirectoryWriter(RecordFile& file, EntryTable& entries) : m_file(file), m_entries(entries) {}

    // Writes the header at offset 0, then the directory records of every
    // entry so far, or with none the first index record alone (a container
    // of no entries). A failure is kept: the file then lacks its directory,
    // and nothing more may be written to it.
    int32_t Begin(const CompactString& title);
    // Takes up a container read from disk whose header and directory are
    // there already: new entries go on from slot `slotsUsed` of the index
    // record whose payload is at lastIndexPayload, the last of the chain.
    void Resume(uint64_t lastIndexPayload, uint32_t slotsUsed);
    bool Begun() const { return m_begun; }
    // The failure that left the file without its directory, else S_OK.
    int32_t Failure() const { return m_failure; }

    // Appends the directory records of entry `index` (nothing when it has
    // them already). A failure takes back what it wrote.
    int32_t WriteEntryRecords(uint32_t index);

    // Writes the growing data record's length into its length field (from
    // then on there is none) and tells its entry's map it grows no more.
    int32_t FixGrowingRecord();

    // Marks the entry record of a removed entry as removed on disk, and
    // every record its name shadowed.
    int32_t MarkRemoved(const StoredEntry& entry);

    // The write-back at close. cleanFlagOffset is where the header keeps the
    // clean flag; it is set only when everything else is durable on disk
    // and, for a container this writer began, its header and directory
    // are. Removed entries and every shadow are marked removed; an entry
    // removed and replaced by one that never received a byte stays.
    void WriteBack(uint64_t cleanFlagOffset);
    // Whether the last write-back set the clean flag.
    bool CleanFlagWritten() const { return m_cleanFlagWritten; }

private:
    // An index record of empty slots at `offset`.
    int32_t WriteIndexRecord(uint64_t offset);
    StoredEntry* Successor(const StoredEntry& removed) const;
    int32_t WriteEntryTail(StoredEntry& entry);
    int32_t MarkRecordRemoved(uint64_t recordOffset);

    RecordFile& m_file;
    EntryTable& m_entries;
    bool m_begun = false;
    bool m_headerWritten = false;
    int32_t m_failure = S_OK;
    uint64_t m_indexPayloadOffset = 0;  // payload of the index record the next slots go into; 0: none yet
    uint32_t m_slotBase = 0;            // the entry number of that record's slot 0
    bool m_cleanFlagWritten = false;
    // Adding to a container that was on disk before: its old entries are
    // read by whoever opens it after a power cut, so a slot (or link) is
    // written only once the record it leads to is durable. A new container
    // has nothing to lose before its first durable point, and its readers
    // take a slot that leads nowhere as damage of that entry alone.
    bool m_linkDurableOnly = false;
};

#endif
