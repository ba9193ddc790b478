// Adding to an existing container: the directory read and the end of the
// records found while the file is held alone, then, at the first entry
// added, the clean flag cleared and the last record made whole before
// anything is appended. From the flag's clearing to the close's write-back,
// a crash leaves a container that recovery repairs: the entries that were
// there before whole, the ones added holding a prefix of their bytes.
#include "container/container_file.h"
#include "container/recovery.h"

using namespace record_format;

int32_t CContainerFile::ReadDirectoryToAppend() {
    const int64_t length = m_file.FileLength();
    if (length < 0) return RES_IO_ERROR;
    if (length == 0) {
        // An empty file is a container whose entries never received data,
        // or a new one: it is written as one created.
        m_appending = Appending::kNewFile;
    } else {
        ContainerHeader header;
        int32_t result = ReadHeaderAndIndex(&header);
        if (QLX_FAILED(result)) return result;
        // A directory of an unclean file read with an entry's record lost
        // would be marked clean with the slot that leads nowhere in it.
        if (m_report.HasDamage()) return E_FAIL;
        const bool unclean = header.cleanFlag == kCleanFlagUnclean;
        if (unclean) {
            const DamageReport::Recovery rebuilt = RebuildFromDataRecords(m_file, m_entries, header.firstRecordOffset);
            m_report.Recovered(rebuilt);
            // Sizes cut short by a failed read would hide bytes of the
            // entries for good once written back.
            if (!rebuilt.complete) return RES_IO_ERROR;
        }
        result = FindAppendPoint(m_file, m_entries, header.firstRecordOffset, &m_appendPoint);
        if (QLX_FAILED(result)) return result;
        // The repair is written back at the close, with everything added;
        // until then the flag on disk stays 0. A container refused above
        // is left exactly as it was.
        m_dirty = unclean;
        m_appending = Appending::kExisting;
    }
    // Readers may come in now; anyone who wants the file alone (another
    // adder, a creator that would empty it, a reader's write-back of a
    // recovery) stays out until the close. Should the change fail, the file
    // stays held alone, which keeps out more than it must.
    m_file.SetShare(kShareDenyWrite);
    return S_OK;
}

// The flag's 0 and the last record's true length are made durable before
// anything is appended: until then the disk may still say "clean" (and the
// directory it vouches for would not lead to what is added), or hold a
// record whose length swallows what follows it.
int32_t CContainerFile::BeginAppending() {
    const uint8_t unclean = kCleanFlagUnclean;
    int32_t result = m_file.WriteAt(CleanFlagOffset(), &unclean, kCleanFlagSize);
    if (QLX_SUCCEEDED(result)) result = FinishLastRecord(m_file, m_appendPoint);
    if (QLX_SUCCEEDED(result)) result = m_file.Sync();
    if (QLX_FAILED(result)) return result;
    // A data record learned while it was still growing grows no more.
    if (m_appendPoint.tail == AppendPoint::Tail::kUnfinished) {
        for (uint32_t i = 0; i < m_entries.Count(); ++i) {
            if (StoredEntry* entry = m_entries.At(i)) entry->records.Settle(m_appendPoint.tailOffset);
        }
    }
    m_writer.Resume(m_appendPoint.lastIndexPayload, m_appendPoint.slotsUsed);
    return S_OK;
}
