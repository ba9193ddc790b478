#include "container/container_file.h"

#include <cinttypes>
#include <cstring>
#include <new>

#include "container/big_endian.h"
#include "container/container_registry.h"
#include "container/recovery.h"
#include "frame/module_count.h"
#include "platform/posix_file.h"
#include "util/text.h"

using namespace record_format;

namespace {

constexpr uint32_t kOpenForReading = kOpenReadOnly | kOpenBinary;                               // 0x8000
constexpr uint32_t kOpenForCreating = kOpenReadWrite | kOpenCreate | kOpenTruncate | kOpenBinary;  // 0x8302
constexpr uint32_t kOpenForPatching = kOpenWriteOnly | kOpenBinary;                             // 0x8001
constexpr uint32_t kOpenForAdding = kOpenReadWrite | kOpenCreate | kOpenBinary;                  // 0x8102
// A repair reads the header again once it has the file to itself.
constexpr uint32_t kOpenForRepairing = kOpenReadWrite | kOpenBinary;                            // 0x8002
static_assert(kContainerReadAccess == ReadAccess && kContainerWriteAccess == WriteAccess &&
                  kContainerAppendAccess == AppendAccess,
              "the container takes the access flags of Open as they are");
static_assert(kOpenForReading == 0x8000 && kOpenForCreating == 0x8302 && kOpenForPatching == 0x8001,
              "open flags of the container");

// The title a new container stores: the last component of its path. A
// title is never empty (the reader refuses length 0): with no separator it is
// the whole path, and a long component is cut to 255 bytes on a character
// boundary.
CompactString TitleFromPath(const char* path) {
    const char* start = path;
    for (const char* p = path; *p; p = NextChar(p)) {
        if (*p == '\\' || *p == '/') start = p + 1;
    }
    if (!*start) start = path;
    const char* end = start;
    while (*end) {
        const char* next = NextChar(end);
        if (next - start > static_cast<ptrdiff_t>(kMaxTitleWritten)) break;
        end = next;
    }
    return CompactString(start, static_cast<uint32_t>(end - start));
}

}  // namespace

CContainerFile::CContainerFile(const char* path, uint32_t access, DataFile* dataFile)
    : m_path(path ? path : ""),
      m_file(dataFile ? dataFile : CreateDataFile(0)),
      m_writable((access & kContainerWriteAccess) != 0) {
    // A host may hold a container through its enumerator alone, after every
    // file object is gone; unloading the module then would leave the
    // directory unwritten.
    platform::AtomicIncrement(ModuleObjectCount);
    NewMutex(&m_mutex);
    if (m_writable && (access & kContainerAppendAccess)) m_appending = Appending::kUnread;
    if (m_file.HasFile()) {
        // Opened alone for adding: no other writer, and no reader that
        // could write back a recovery, may be at the file while its
        // directory is read and its end found.
        const int32_t opened =
            m_appending != Appending::kNo
                ? m_file.OpenShared(m_path.GetChars(), kOpenForAdding, kShareDenyReadWrite)
                : m_file.Open(m_path.GetChars(), m_writable ? kOpenForCreating : kOpenForReading);
        if (QLX_FAILED(opened)) m_file.Discard();
    }
    m_title = TitleFromPath(m_path.GetChars());
}

IContainerFile* NewContainerFile(const char* path, uint32_t access) {
    return new (std::nothrow) CContainerFile(path, access);
}

CContainerFile::~CContainerFile() {
    // From here on the flusher thread stays out; the last gathering
    // container to go stops it.
    if (m_flusherKnows) gather_flusher::Unregister(this);
    FlushAndClose();
    // Only now, with the file written back and closed, may another container
    // be opened on this path: until the key goes, an Open that finds this
    // container dying waits for it.
    // A retired container left the registry when it retired; another
    // container may be registered under its path by now.
    {
        RegistryHold hold;
        void* registered = nullptr;
        if (ContainerRegistry().Lookup(m_path.GetChars(), &registered) &&
            registered == static_cast<IContainerFile*>(this))
            ContainerRegistry().RemoveKey(m_path.GetChars());
    }
    delete m_mutex;
    // Last, so that CanUnload answers S_OK only once the directory is on disk.
    platform::AtomicDecrement(ModuleObjectCount);
}

int32_t CContainerFile::InnerQueryInterface(const QLXGUID& iid, void** out) {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown) return AnswerUnknown(out);
    if (iid == IID_ITWContainerFile) return AnswerInterface(static_cast<IContainerFile*>(this), out);
    if (iid == IID_IQLXEnumeratorIUnknown) return AnswerInterface(static_cast<IQLXEnumeratorIUnknown*>(this), out);
    if (iid == IID_IQLXContainerInspector) return AnswerInterface(static_cast<IQLXContainerInspector*>(this), out);
    return NoInterface(out);
}

int32_t CContainerFile::IsOpen() { return m_file.HasFile(); }

const char* CContainerFile::GetTitle() { return m_title.GetChars(); }

const char* CContainerFile::GetPath() { return m_path.GetChars(); }

int32_t CContainerFile::TryHold() { return TryAddRef() ? 1 : 0; }

int32_t CContainerFile::IsWritable() { return m_writable ? 1 : 0; }

uint64_t CContainerFile::EntrySize(const ContainerEntry* entry) {
    MutexHold hold(m_mutex);
    return entry ? entry->size : 0;
}

void CContainerFile::Retire() {
    FlushAndClose();
    MutexHold hold(m_mutex);
    m_file.Discard();
}

int32_t CContainerFile::Sync() {
    MutexHold hold(m_mutex);
    if (!m_file.HasFile()) return RES_IO_ERROR;
    if (!m_writable) return S_OK;
    int32_t result = S_OK;
    // A new container nothing was written to yet has an empty file, which
    // no reader takes for a container: its header and directory (of no
    // entries, or of entries without bytes) are written now, so that what
    // the Sync makes durable is a container. One taken up for adding is a
    // container on disk already.
    if (!m_writer.Begun() && (m_appending == Appending::kNo || m_appending == Appending::kNewFile))
        result = BeginWriting();
    // Bytes gathered and lost earlier were acknowledged to their writer:
    // a Sync that follows cannot say they are on the disk.
    if (QLX_SUCCEEDED(result)) result = WriteOutAll();
    if (QLX_SUCCEEDED(result)) result = m_writer.FixGrowingRecord();
    if (QLX_SUCCEEDED(result)) result = m_file.Sync();
    return result;
}

// ---- inspection -------------------------------------------------------------------

DamageReport CContainerFile::Report() {
    MutexHold hold(m_mutex);
    return m_report;
}

int32_t CContainerFile::GetFirstDamage(int32_t* found, uint64_t* offset, uint32_t* part, const char** reason) {
    if (!found || !offset || !part || !reason) return E_POINTER;
    MutexHold hold(m_mutex);
    *found = m_report.HasDamage() ? 1 : 0;
    *offset = m_report.Offset();
    *part = m_report.Part();
    *reason = m_report.Reason();
    return S_OK;
}

int32_t CContainerFile::GetRecovery(int32_t* ran, uint32_t* dataRecords, uint32_t* entries, int32_t* writtenBack,
                                    const char** summary) {
    if (!ran || !dataRecords || !entries || !writtenBack || !summary) return E_POINTER;
    MutexHold hold(m_mutex);
    const DamageReport::Recovery& recovery = m_report.recovery();
    *ran = recovery.ran ? 1 : 0;
    *dataRecords = recovery.dataRecords;
    *entries = recovery.entries;
    *writtenBack = recovery.writtenBack ? 1 : 0;
    *summary = m_report.RecoverySummary();
    return S_OK;
}

void CContainerFile::ForgetRecords() {
    MutexHold hold(m_mutex);
    for (uint32_t i = 0; i < m_entries.Count(); ++i) {
        if (StoredEntry* entry = m_entries.At(i)) entry->records.Clear();
    }
    m_entries.recordBudget = RecordBudget();
}

CContainerFile::RecordMapUse CContainerFile::RecordMapOf(const ContainerEntry* entry) {
    MutexHold hold(m_mutex);
    RecordMapUse use;
    const StoredEntry* stored = entry ? m_entries.At(entry->index) : nullptr;
    if (stored != entry || !stored) return use;
    use.memoryBytes = stored->records.MemoryBytes();
    use.mappedBytes = stored->records.MappedBytes();
    use.records = stored->records.Count();
    return use;
}

int32_t CContainerFile::GetHeader(uint32_t* magic, uint32_t* version, int32_t* clean, const char** title) {
    if (!magic || !version || !clean || !title) return E_POINTER;
    MutexHold hold(m_mutex);
    if (m_writable && m_appending != Appending::kExisting) {
        // The header this container writes; its file stays unclean until
        // the container closes. One taken up for adding answers the header
        // it found.
        *magic = big_endian::Get32(kMagicW7K);
        *version = kVersionWritten;
        *clean = kCleanFlagUnclean;
        *title = m_title.GetChars();
        return S_OK;
    }
    *magic = m_header.magic;
    *version = m_header.version;
    *clean = m_header.cleanFlagRead ? m_header.cleanFlag : -1;
    *title = m_header.title.GetChars();
    return S_OK;
}

int32_t CContainerFile::GetEntrySize(const char* name, uint64_t* size) {
    if (!name || !size) return E_POINTER;
    *size = 0;
    const size_t length = std::strlen(name);
    // No entry has a longer name, nor an empty one (that is a removed
    // entry's slot).
    if (length == 0 || length > CompactString::kMaxLength) return E_FAIL;
    MutexHold hold(m_mutex);
    const StoredEntry* entry = m_entries.FindNamed(name);
    if (!entry) return E_FAIL;
    *size = entry->size;
    return S_OK;
}

int32_t CContainerFile::GetLastFailure(int32_t* systemError, const char** reason) {
    if (!systemError || !reason) return E_POINTER;
    MutexHold hold(m_mutex);
    const RecordFile::Failure& failure = m_file.LastFailure();
    *systemError = failure.systemError;
    m_failureText.Empty();
    if (failure.systemError != 0) {
        const char* name = "";
        const char* words = platform::DescribeErrorCode(failure.systemError, &name);
        CompactString code;
        if (*name) code.Format(" (%s)", name);
        if (failure.count != 0) {
            m_failureText.Format("%s%s, %s %" PRIu64 " bytes at offset %" PRIu64, words, code.GetChars(),
                                 failure.doing, failure.count, failure.offset);
        } else {
            m_failureText.Format("%s%s, %s", words, code.GetChars(), failure.doing);
        }
    }
    *reason = m_failureText.GetChars();
    return S_OK;
}

int32_t CContainerFile::StatContainer(platform::FileStat32* out) {
    if (!out) return E_POINTER;
    return platform::StatPath(m_path.GetChars(), out) ? S_OK : E_FAIL;
}

// ---- reading the directory ----------------------------------------------------

int32_t CContainerFile::ReadDirectory() {
    MutexHold hold(m_mutex);
    if (!m_file.HasFile()) return E_FAIL;
    if (m_directoryRead || m_writer.Begun() || m_entries.Count() != 0) return RES_UNEXPECTED;
    m_directoryRead = true;
    if (m_appending != Appending::kNo) return ReadDirectoryToAppend();

    ContainerHeader header;
    const int32_t result = ReadHeaderAndIndex(&header);
    if (QLX_SUCCEEDED(result) && header.cleanFlag == kCleanFlagUnclean) Recover(header.firstRecordOffset);
    return result;
}

int32_t CContainerFile::ReadHeaderAndIndex(ContainerHeader* header) {
    m_file.ForgetWindow();
    DirectoryReader reader(m_file, m_entries, m_report);
    int32_t result = reader.ReadHeader(header);
    m_header = *header;
    if (QLX_FAILED(result)) return result;
    m_title = header->title;
    return reader.ReadIndex(header->firstRecordOffset, header->cleanFlag == kCleanFlagUnclean);
}

void CContainerFile::Recover(uint64_t firstRecordOffset) {
    const int64_t scanned = m_file.FileLength();
    DamageReport::Recovery rebuilt = RebuildFromDataRecords(m_file, m_entries, firstRecordOffset);
    m_file.Close();
    m_dirty = true;
    // Only a file no one else holds is written back. One still open
    // elsewhere may be a container being written (its clean flag is 0 for
    // that reason); marking it clean with this moment's sizes would hide
    // the writer's later bytes from the recovery after a crash. Sizes that
    // a failed read or seek left short are not written back either: the
    // file stays unclean for the next reader. The directory rebuilt here
    // then serves this reader alone. So does one the file outgrew before it
    // could be had alone: its writer went on meanwhile, and may have closed
    // it with the sizes that hold.
    // Nor is a directory with a slot that leads nowhere (an entry record
    // that never reached the disk): marked clean, it would be read as a
    // whole again, and the slot would refuse every entry.
    if (rebuilt.complete && !m_report.HasDamage() &&
        QLX_SUCCEEDED(m_file.OpenShared(m_path.GetChars(), kOpenForRepairing, kShareDenyReadWrite))) {
        if (UnchangedSinceScan(scanned)) {
            FlushAndClose();
            rebuilt.writtenBack = m_writer.CleanFlagWritten();
        } else {
            m_file.Close();
        }
        // The file holds the rebuilt seek tables now; each comes back into
        // memory when a seek needs it.
        for (uint32_t i = 0; rebuilt.writtenBack && i < m_entries.Count(); ++i) {
            if (StoredEntry* entry = m_entries.At(i)) entry->seekTable.Unload();
        }
    }
    m_dirty = false;
    m_report.Recovered(rebuilt);
    if (QLX_FAILED(m_file.Open(m_path.GetChars(), kOpenForReading))) m_file.Discard();
}

bool CContainerFile::UnchangedSinceScan(int64_t scanned) {
    const uint64_t flagAt = CleanFlagOffset();
    uint8_t flag = kCleanFlagClean;
    return scanned >= 0 && m_file.FileLength() == scanned && m_file.ReadAt(flagAt, &flag, 1) == 1 &&
           flag == kCleanFlagUnclean;
}

// ---- the directory ------------------------------------------------------------

ContainerEntry* CContainerFile::FindEntry(const CompactString& name) {
    MutexHold hold(m_mutex);
    return m_entries.Find(name);
}

ContainerEntry* CContainerFile::AddEntry(const CompactString& name) {
    MutexHold hold(m_mutex);
    if (ContainerEntry* existing = m_entries.Find(name)) return existing;
    if (name.IsEmpty()) return nullptr;
    // A name removed here and added again replaces the old entry; when the
    // new one cannot be added, the old one keeps the name (its removal has
    // not reached the disk, which it does only at the close), as a
    // replacement that fails should leave things.
    auto failed = [&]() -> ContainerEntry* {
        m_entries.Restore(name);
        return nullptr;
    };
    // A new name always takes a new number, so it never inherits the bytes
    // of a removed entry; numbers are 16 bits and never wrap.
    if (QLX_FAILED(m_writer.Failure()) || QLX_FAILED(m_file.Sealed())) return failed();
    // An entry added to a container taken up for adding reaches the disk at
    // once, even one that never receives data; a name that cannot be added
    // must not begin writing.
    if (m_appending != Appending::kNo && !m_writer.Begun() && QLX_FAILED(BeginWriting())) return failed();
    StoredEntry* entry = m_entries.AddNew(name);
    if (!entry) return failed();
    if (m_writer.Begun() && QLX_FAILED(m_writer.WriteEntryRecords(entry->index))) {
        m_entries.TakeBackLast();
        return failed();
    }
    return entry;
}

int32_t CContainerFile::RemoveEntry(const CompactString& name) {
    MutexHold hold(m_mutex);
    StoredEntry* entry = m_entries.Find(name);
    if (!entry) return E_FAIL;
    // A container being written marks the record at flush; one opened for
    // reading marks it now, so the removal outlives this object.
    if (!m_writable && entry->recordOffset != 0) {
        int32_t result = MarkRemovedOnDisk(*entry);
        if (QLX_FAILED(result)) return result;
    }
    // One taken up for adding may write nothing else before its flush.
    if (m_writable && entry->recordOffset != 0) m_dirty = true;
    // Its gathered bytes go where its other bytes are.
    if (m_writable) WriteOut(entry);
    m_entries.Forget(entry);
    return S_OK;
}

int32_t CContainerFile::MarkRemovedOnDisk(const StoredEntry& entry) {
    if (!m_file.HasFile()) return RES_IO_ERROR;
    m_file.Close();
    int32_t result = m_file.Open(m_path.GetChars(), kOpenForPatching);
    if (QLX_SUCCEEDED(result)) {
        result = m_writer.MarkRemoved(entry);
        // The removal is done once it is durable.
        if (QLX_SUCCEEDED(result)) result = m_file.Sync();
        int32_t closed = m_file.Close();
        if (QLX_SUCCEEDED(result)) result = closed;
    }
    if (QLX_FAILED(m_file.Open(m_path.GetChars(), kOpenForReading))) m_file.Discard();
    return result;
}

// ---- adding to an existing container ------------------------------------------
//
// The directory read and the end of the records found while the file is held
// alone, then, at the first entry added, the clean flag cleared and the last
// record made whole before anything is appended. From the flag's clearing to
// the close's write-back, a crash leaves a container that recovery repairs:
// the entries that were there before whole, the ones added holding a prefix
// of their bytes.

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
    // Numbers that data records in the file name but the directory lacks
    // are kept from new entries: each gets an entry record written as
    // removed, so its records stay no entry's.
    while (m_entries.Count() < m_appendPoint.numbersInData) {
        StoredEntry* kept = m_entries.AddRemoved();
        if (!kept) return E_OUTOFMEMORY;
        result = m_writer.WriteEntryRecords(kept->index);
        if (QLX_FAILED(result)) {
            m_entries.TakeBackLast();
            return result;
        }
    }
    return S_OK;
}

// ---- writing and closing --------------------------------------------------------

int32_t CContainerFile::BeginWriting() {
    // Without its directory read, the file may hold a container that a new
    // header would write over.
    if (m_appending == Appending::kUnread) return RES_UNEXPECTED;
    m_dirty = true;
    if (m_appending == Appending::kExisting) return BeginAppending();
    m_header.variant = ContainerHeader::Variant::kW7K;
    return m_writer.Begin(m_title);
}

uint64_t CContainerFile::CleanFlagOffset() const {
    return m_header.variant == ContainerHeader::Variant::kCFS ? kCFSCleanFlagOffset : kW7KCleanFlagOffset;
}

void CContainerFile::FlushAndClose() {
    MutexHold hold(m_mutex);
    if (!m_file.HasFile()) return;
    if (m_dirty) {
        WriteOutAll();
        m_writer.WriteBack(CleanFlagOffset());
        m_dirty = false;
    }
    m_file.Close();
}
