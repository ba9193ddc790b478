#include "container/directory_writer.h"

#include <cstring>

#include "container/big_endian.h"

using namespace record_format;

int32_t DirectoryWriter::Begin(const CompactString& title) {
    m_begun = true;
    uint32_t titleLength = title.GetLength();
    uint8_t* at = m_file.Scratch();
    std::memcpy(at, kMagicW7K, kMagicSize);
    big_endian::Put16(at + kW7KVersionOffset, kVersionWritten);
    at[kW7KCleanFlagOffset] = kCleanFlagUnclean;
    big_endian::Put32(at + kW7KTitleLengthOffset, titleLength);
    std::memcpy(at + kW7KTitleOffset, title.GetChars(), titleLength);
    static_assert(kW7KTitleOffset + kMaxTitleWritten <= kScratchSize, "the header fits the scratch");
    const bool titleFits = titleLength != 0 && titleLength <= kMaxTitleWritten;
    int32_t result = titleFits ? m_file.WriteAt(0, at, kW7KTitleOffset + titleLength) : E_FAIL;
    if (QLX_SUCCEEDED(result)) m_headerWritten = true;
    for (uint32_t i = 0; QLX_SUCCEEDED(result) && i < m_entries.Count(); ++i) result = WriteEntryRecords(i);
    // A container begun before it holds an entry (a Sync of a new one, an
    // add to an empty file) still gets the index record every reader
    // expects after the header: it is then a container of no entries.
    if (QLX_SUCCEEDED(result) && m_indexPayloadOffset == 0) {
        const uint64_t indexOffset = m_file.WriteEnd();
        result = WriteIndexRecord(indexOffset);
        if (QLX_SUCCEEDED(result)) {
            m_indexPayloadOffset = indexOffset + kRecordHeadSize;
            m_slotBase = m_entries.Count();
        }
    }
    if (QLX_FAILED(result)) m_failure = result;
    return result;
}

int32_t DirectoryWriter::WriteIndexRecord(uint64_t offset) {
    static_assert(kIndexRecordSize <= kScratchSize, "an index record fits the scratch");
    std::memset(m_file.Scratch(), 0, kIndexRecordSize);
    m_file.Scratch()[kRecordTypeOffset] = kIndexRecord;
    big_endian::Put32(m_file.Scratch() + kRecordLengthOffset, kIndexPayloadSize);
    return m_file.WriteAt(offset, m_file.Scratch(), kIndexRecordSize);
}

void DirectoryWriter::Resume(uint64_t lastIndexPayload, uint32_t slotsUsed) {
    m_begun = true;
    m_linkDurableOnly = true;
    m_headerWritten = true;
    m_indexPayloadOffset = lastIndexPayload;
    m_slotBase = m_entries.Count() - slotsUsed;
}

// Appends the directory records of entry `index`: a new index record first
// when the current one has no slot left (linked from slot 256 of the one
// before), then the entry record, whose offset goes into its index slot. A
// failure takes the links it wrote back out, so that a later attempt for the
// same number starts from the same index record.
//
// Each record is appended whole before the slot that leads to it is written:
// a writer that dies in between leaves a slot of 0, where the reader's walk
// simply ends, instead of one leading to a record cut short, which would
// fail the whole directory and with it every entry written before.
int32_t DirectoryWriter::WriteEntryRecords(uint32_t index) {
    StoredEntry* entry = m_entries.At(index);
    if (!entry) return E_FAIL;
    if (entry->recordOffset != 0) return S_OK;
    int32_t result = FixGrowingRecord();
    if (QLX_FAILED(result)) return result;

    const uint8_t zeroSlot[kSlotSize] = {};
    uint8_t slot[kSlotSize];
    const uint64_t previousIndexPayload = m_indexPayloadOffset;
    const uint32_t previousSlotBase = m_slotBase;
    const uint64_t appendStart = m_file.WriteEnd();
    bool linkTried = false;
    bool slotTried = false;
    auto undo = [&](int32_t failure) {
        bool unlinked = true;
        if (slotTried) {
            const uint64_t slotAt = m_indexPayloadOffset + kSlotSize * (index - m_slotBase);
            unlinked &= QLX_SUCCEEDED(m_file.WriteAt(slotAt, zeroSlot, kSlotSize));
        }
        if (linkTried) {
            const uint64_t linkAt = previousIndexPayload + kSlotSize * kIndexLinkSlot;
            unlinked &= QLX_SUCCEEDED(m_file.WriteAt(linkAt, zeroSlot, kSlotSize));
        }
        m_indexPayloadOffset = previousIndexPayload;
        m_slotBase = previousSlotBase;
        // A partial record must not stay in the chain of records that scans
        // walk: the next append goes over it. But while a slot may still
        // lead to it, whatever went there would end the directory's walk.
        if (unlinked) {
            m_file.TakeBackTo(appendStart);
        } else {
            m_file.Seal(failure);
        }
        // The first index record must follow the header: it cannot be tried again.
        if (previousIndexPayload == 0) m_failure = failure;
        return failure;
    };

    if (m_indexPayloadOffset == 0 || index - m_slotBase >= kEntriesPerIndex) {
        uint64_t indexOffset = m_file.WriteEnd();
        result = WriteIndexRecord(indexOffset);
        if (QLX_SUCCEEDED(result) && m_linkDurableOnly && previousIndexPayload != 0) result = m_file.Sync();
        if (QLX_FAILED(result)) return undo(result);
        if (previousIndexPayload != 0) {
            big_endian::Put64(slot, indexOffset);
            linkTried = true;
            result = m_file.WriteAt(previousIndexPayload + kSlotSize * kIndexLinkSlot, slot, kSlotSize);
            if (QLX_FAILED(result)) return undo(result);
        }
        m_indexPayloadOffset = indexOffset + kRecordHeadSize;
        m_slotBase = index;
    }

    // A removed entry is written as removed: one zero byte for a name.
    const bool removed = entry->name.IsEmpty();
    const uint32_t nameLength = removed ? 1 : entry->name.GetLength();
    const uint64_t recordOffset = m_file.WriteEnd();
    m_file.Scratch()[kRecordTypeOffset] = kEntryRecord;
    big_endian::Put32(m_file.Scratch() + kRecordLengthOffset, nameLength + kEntryPayloadFixed);
    big_endian::Put32(m_file.Scratch() + kEntryNameLengthOffset, nameLength);
    result = m_file.WriteAt(recordOffset, m_file.Scratch(), kEntryNameOffset);
    if (QLX_SUCCEEDED(result)) result = m_file.WriteExact(removed ? "" : entry->name.GetChars(), nameLength);
    if (QLX_SUCCEEDED(result)) result = WriteEntryTail(*entry);
    if (QLX_SUCCEEDED(result) && m_linkDurableOnly) result = m_file.Sync();
    if (QLX_FAILED(result)) return undo(result);

    big_endian::Put64(slot, recordOffset);
    slotTried = true;
    result = m_file.WriteAt(m_indexPayloadOffset + kSlotSize * (index - m_slotBase), slot, kSlotSize);
    if (QLX_FAILED(result)) return undo(result);
    entry->recordOffset = recordOffset;
    entry->recordNameLength = nameLength;
    return S_OK;
}

// Writes size, chunk size and seek table at the current position, as the
// tail of an entry record. Of a table the record already holds, only the
// slots changed since are written; one still on disk alone is not written.
int32_t DirectoryWriter::WriteEntryTail(StoredEntry& entry) {
    SeekTable& table = entry.seekTable;
    big_endian::Put64(m_file.Scratch() + kTailSizeOffset, entry.size);
    big_endian::Put64(m_file.Scratch() + kTailChunkSizeOffset, table.chunkSize);
    int32_t result = m_file.WriteExact(m_file.Scratch(), kTailSeekTableOffset);
    if (QLX_FAILED(result) || table.OnDisk()) return result;
    table.Store(m_file.Scratch());
    if (table.Whole()) {
        result = m_file.WriteExact(m_file.Scratch(), kSeekTableBytes);
    } else if (table.ChangedFrom() < table.ChangedTo()) {
        const uint64_t from = uint64_t{kSlotSize} * table.ChangedFrom();
        result = m_file.WriteAt(m_file.Position() + from, m_file.Scratch() + from,
                                uint64_t{kSlotSize} * table.ChangedTo() - from);
    }
    if (QLX_SUCCEEDED(result)) table.Stored();
    return result;
}

int32_t DirectoryWriter::FixGrowingRecord() {
    const RecordFile::Growing growing = m_file.growing();
    const uint64_t offset = growing.Offset(m_file.WriteEnd());
    const int32_t result = m_file.FixGrowingRecord();
    StoredEntry* entry = growing.length != 0 ? m_entries.At(growing.entry) : nullptr;
    if (entry && QLX_SUCCEEDED(result)) entry->records.Settle(offset);
    return result;
}

int32_t DirectoryWriter::MarkRecordRemoved(uint64_t recordOffset) {
    const uint8_t zero = 0;
    return m_file.WriteAt(recordOffset + kEntryNameOffset, &zero, 1);
}

// The shadows first: until the entry's own record is marked, the name stays
// where it was whatever failed.
int32_t DirectoryWriter::MarkRemoved(const StoredEntry& entry) {
    int32_t result = S_OK;
    for (uint32_t shadow = entry.shadows; shadow != 0 && QLX_SUCCEEDED(result);
         shadow = m_entries.ShadowAt(shadow).before)
        result = MarkRecordRemoved(m_entries.ShadowAt(shadow).recordOffset);
    return QLX_SUCCEEDED(result) ? MarkRecordRemoved(entry.recordOffset) : result;
}

// The entry added here that took the name of a removed entry, if any: the
// removed one is replaced on disk only once that entry is durable.
StoredEntry* DirectoryWriter::Successor(const StoredEntry& removed) const {
    if (removed.removedName.IsEmpty()) return nullptr;
    StoredEntry* successor = m_entries.Find(removed.removedName);
    return successor && successor->addedHere ? successor : nullptr;
}

// Nothing that says "this is there" may reach the disk before what it
// speaks of, and the page cache writes back in any order; so the
// write-back goes in steps, each made durable before the next begins:
//   1. the growing record's length, every entry record's tail, and the
//      removal marks that depend on nothing written here;
//   2. the marks of entries replaced by one added here: the old record
//      stays named until its successor's bytes are on disk, and a successor
//      whose every write failed before it held a byte gives the name back
//      (its own record is marked instead: a replacement that failed, on a
//      full disk say, keeps the old entry);
//   3. the clean flag, which vouches for all of it.
// A crash in between leaves the flag at 0 and the next reader recovers.
void DirectoryWriter::WriteBack(uint64_t cleanFlagOffset) {
    bool failed = QLX_FAILED(FixGrowingRecord());
    // Shadows are removed entries too, whichever entry their name went to.
    for (uint32_t shadow = 1; shadow <= m_entries.ShadowCount(); ++shadow)
        failed |= QLX_FAILED(MarkRecordRemoved(m_entries.ShadowAt(shadow).recordOffset));
    bool replaced = false;
    for (uint32_t i = 0; i < m_entries.Count(); ++i) {
        StoredEntry* entry = m_entries.At(i);
        if (!entry || entry->recordOffset == 0 || entry->recordNameLength == 0) continue;
        int32_t result = m_file.SeekTo(entry->recordOffset + kEntryNameOffset + entry->recordNameLength);
        if (QLX_SUCCEEDED(result)) result = WriteEntryTail(*entry);
        failed |= QLX_FAILED(result);
        if (!entry->name.IsEmpty()) continue;
        if (Successor(*entry)) {
            replaced = true;
        } else {
            failed |= QLX_FAILED(MarkRecordRemoved(entry->recordOffset));
        }
    }
    failed |= QLX_FAILED(m_file.Sync());

    if (replaced && !failed) {
        for (uint32_t i = 0; i < m_entries.Count(); ++i) {
            StoredEntry* entry = m_entries.At(i);
            if (!entry || entry->recordOffset == 0 || entry->recordNameLength == 0 || !entry->name.IsEmpty()) continue;
            StoredEntry* successor = Successor(*entry);
            if (!successor) continue;
            if (!successor->FailedEveryWrite()) {
                failed |= QLX_FAILED(MarkRecordRemoved(entry->recordOffset));
            } else if (successor->recordOffset != 0) {
                failed |= QLX_FAILED(MarkRecordRemoved(successor->recordOffset));
            }
        }
        failed |= QLX_FAILED(m_file.Sync());
    }

    // A writer whose header or directory never fully reached the file
    // leaves the flag at 0, so the next reader recovers what it can.
    const bool headerPresent = m_begun ? m_headerWritten && QLX_SUCCEEDED(m_failure) : true;
    m_cleanFlagWritten = false;
    if (!failed && headerPresent) {
        const uint8_t clean = kCleanFlagClean;
        m_cleanFlagWritten = QLX_SUCCEEDED(m_file.WriteAt(cleanFlagOffset, &clean, kCleanFlagSize)) &&
                             QLX_SUCCEEDED(m_file.Sync());
    }
}
