// Gathering (gathered_bytes.h): a gathering cursor's appends are held in
// memory, per entry, and written out through the one append path
// (entry_writing.cpp) as one data record. Every cursor reads them from
// memory meanwhile (entry_reading.cpp), so a byte is visible in this
// process as soon as its write returned; another process sees it once it
// is written out, at most kGatherDelayMs later (with the flusher thread).
//
// Anything else that would touch the entry's bytes behind the gathered
// ones writes them out first: a write that is not a gathering append, the
// gathering cursor's own Seek and Read, a removal, Sync and the close. So
// the file always holds a prefix of each entry, and gathered bytes only
// ever continue it.
//
// Bytes lost by a write-out that failed (a full disk) were acknowledged to
// their writer already, as a stdio buffer's are: the failure is kept, the
// entry ends where its bytes in the file end, and the gathering writer,
// which stands beyond that end, has every later append fail; Sync fails.
#include "container/container_file.h"

int32_t CContainerFile::Gather(EntryCursor* cursor, StoredEntry* entry, const uint8_t* bytes, uint32_t size) {
    GatheredBytes& gathered = entry->gathered;
    int32_t result = S_OK;
    if (size == 0) return S_OK;
    // A record holds at most kGatherRecordBytes of gathered bytes.
    if (gathered.Length() != 0 && uint64_t{gathered.Length()} + size > kGatherRecordBytes) {
        result = WriteOut(entry);
        if (QLX_FAILED(result)) return result;
    }
    const int64_t now = GatherClockMs();
    const bool first = gathered.Length() == 0;
    // A piece of a record's size or more is a record already; and without
    // memory to gather into, bytes are written as they come.
    if ((first && size >= kGatherRecordBytes) ||
        !m_gathers.Add(gathered, entry->index, entry->size, bytes, size, now)) {
        result = WriteOut(entry);
        return QLX_SUCCEEDED(result) ? Append(cursor, entry, bytes, size) : result;
    }
    entry->size += size;
    PlaceAmongGathered(cursor, entry->size);
    if (first) {
        if (!m_flusherKnows) m_flusherKnows = gather_flusher::Register(this);
        gather_flusher::WakeBy(now + kGatherDelayMs);
    }
    if (gathered.Length() >= kGatherRecordBytes) result = WriteOut(entry);
    // Over the container's bound, the oldest go first; only a failure of
    // this entry's own bytes is this write's.
    uint32_t oldest = 0;
    int64_t since = 0;
    while (m_gathers.MemoryBytes() > kGatherMemoryBytes && m_gathers.Oldest(&oldest, &since)) {
        StoredEntry* owner = m_entries.At(oldest);
        if (!owner) break;
        const int32_t written = WriteOut(owner);
        if (owner == entry && QLX_FAILED(written)) result = written;
    }
    return result;
}

void CContainerFile::PlaceAmongGathered(EntryCursor* cursor, uint64_t position) {
    // Located anew (SeekLocked) once the bytes there are in the file.
    cursor->logicalPosition = position;
    cursor->filePosition = 0;
    cursor->bytesLeft = 0;
    cursor->growingRecordOffset = 0;
}

int32_t CContainerFile::WriteOut(StoredEntry* entry) {
    GatheredBytes& gathered = entry->gathered;
    if (gathered.Length() == 0) return S_OK;
    EntryCursor at;
    at.index = entry->index;
    at.logicalPosition = gathered.Start();
    int32_t result = m_file.HasFile() ? Append(&at, entry, gathered.Bytes(), gathered.Length()) : RES_IO_ERROR;
    if (QLX_FAILED(result)) {
        entry->size = at.logicalPosition;
        entry->gatherLoss = result;
        if (entry->size == 0) entry->written = false;
        if (QLX_SUCCEEDED(m_gatherLoss)) m_gatherLoss = result;
    }
    m_gathers.Drop(gathered);
    return result;
}

void CContainerFile::WriteOutDue(int64_t now) {
    uint32_t oldest = 0;
    int64_t since = 0;
    while (m_gathers.Oldest(&oldest, &since) && now - since >= kGatherDelayMs) {
        StoredEntry* entry = m_entries.At(oldest);
        if (!entry) break;
        WriteOut(entry);
    }
}

int32_t CContainerFile::WriteOutAll() {
    uint32_t oldest = 0;
    int64_t since = 0;
    while (m_gathers.Oldest(&oldest, &since)) {
        StoredEntry* entry = m_entries.At(oldest);
        if (!entry) break;
        WriteOut(entry);
    }
    return m_gatherLoss;
}

int64_t CContainerFile::WriteOutAged(int64_t now) {
    MutexHold hold(m_mutex);
    WriteOutDue(now);
    uint32_t oldest = 0;
    int64_t since = 0;
    return m_gathers.Oldest(&oldest, &since) ? since + kGatherDelayMs : -1;
}

int32_t CContainerFile::WriteOutGathered(EntryCursor* cursor) {
    if (!cursor) return E_FAIL;
    MutexHold hold(m_mutex);
    StoredEntry* entry = m_entries.At(cursor->index);
    if (!entry) return E_FAIL;
    const int32_t result = WriteOut(entry);
    if (QLX_FAILED(result)) return result;
    return cursor->logicalPosition > entry->size && QLX_FAILED(entry->gatherLoss) ? entry->gatherLoss : S_OK;
}

uint64_t CContainerFile::GatheredMemory() {
    MutexHold hold(m_mutex);
    return m_gathers.MemoryBytes();
}
