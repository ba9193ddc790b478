#include "container/record_file.h"

#include <cstring>
#include <new>

#include "container/big_endian.h"

using namespace record_format;

namespace {

// Transfers go in pieces a 32-bit signed count can report.
constexpr uint32_t kTransferPiece = 0x40000000;

}  // namespace

int32_t DecodeRecordHead(const uint8_t* bytes, uint64_t offset, int64_t fileLength, RecordHeader* out) {
    out->offset = offset;
    out->type = bytes[kRecordTypeOffset];
    out->length = big_endian::Get32(bytes + kRecordLengthOffset);
    out->lengthGiven = out->length != kGrowingLength;
    if (!out->lengthGiven) {
        // A record still growing when the file was last written reaches the
        // end of the file, which is taken at its true 64-bit length.
        const uint64_t payloadStart = offset + kRecordHeadSize;
        if (fileLength < 0 || static_cast<uint64_t>(fileLength) < payloadStart) return E_FAIL;
        out->length = static_cast<uint64_t>(fileLength) - payloadStart;
    }
    return S_OK;
}

RecordFile::~RecordFile() {
    delete m_file;
    delete[] m_window;
}

void RecordFile::NoteFailure(const char* doing, uint64_t offset, uint64_t count) {
    const int32_t systemError = m_file ? m_file->GetLastSystemError() : 0;
    if (systemError == 0) return;
    m_failure = Failure{systemError, doing, offset, count};
}

int32_t RecordFile::Open(const char* path, uint32_t flags) {
    m_position = 0;
    m_readsAhead = false;
    ForgetWindow();
    const int32_t result = m_file ? m_file->Open(path, flags, 0) : RES_IO_ERROR;
    if (QLX_FAILED(result)) NoteFailure("opening", 0, 0);
    return result;
}

int32_t RecordFile::OpenShared(const char* path, uint32_t flags, uint32_t share) {
    m_position = 0;
    m_readsAhead = false;
    ForgetWindow();
    const int32_t result = m_file ? m_file->OpenShared(path, flags, share, 0) : RES_IO_ERROR;
    if (QLX_FAILED(result)) NoteFailure("opening", 0, 0);
    return result;
}

int32_t RecordFile::Close() {
    m_position = 0;
    ForgetWindow();
    return m_file ? m_file->Close() : RES_IO_ERROR;
}

void RecordFile::Discard() {
    delete m_file;
    m_file = nullptr;
}

int64_t RecordFile::FileLength() { return m_file ? m_file->GetFileLength64() : -1; }

int32_t RecordFile::SeekTo(uint64_t target) {
    if (!m_file) return RES_IO_ERROR;
    if (target == m_position) return S_OK;
    if (target > static_cast<uint64_t>(INT64_MAX)) return RES_IO_ERROR;
    int32_t result = m_file->Seek64(static_cast<uint32_t>(target), static_cast<uint32_t>(target >> 32), kSeekSet);
    if (QLX_SUCCEEDED(result)) m_position = target;
    else NoteFailure("seeking", target, 0);
    return result;
}

int32_t RecordFile::ReadExact(void* dst, uint64_t count) {
    if (!m_file) return RES_IO_ERROR;
    uint8_t* at = static_cast<uint8_t*>(dst);
    uint64_t done = 0;
    while (done < count) {
        uint32_t piece = static_cast<uint32_t>(count - done < kTransferPiece ? count - done : kTransferPiece);
        int32_t got = m_file->Read(at + done, piece);
        if (got < 0) {
            NoteFailure("reading", m_position, piece);
            m_position = kUnknownPosition;
            return RES_IO_ERROR;
        }
        if (got == 0) break;
        done += static_cast<uint32_t>(got);
        m_position += static_cast<uint32_t>(got);
    }
    return done == count ? S_OK : E_FAIL;
}

int32_t RecordFile::WriteExact(const void* src, uint64_t count, uint64_t* written) {
    if (written) *written = 0;
    if (!m_file) return RES_IO_ERROR;
    ForgetWindow();
    const uint8_t* at = static_cast<const uint8_t*>(src);
    uint64_t done = 0;
    int32_t result = S_OK;
    if (count != 0) m_unsynced = true;
    while (done < count) {
        uint32_t piece = static_cast<uint32_t>(count - done < kTransferPiece ? count - done : kTransferPiece);
        int32_t put = m_file->Write(at + done, piece);
        if (put <= 0) {
            if (put < 0) {
                NoteFailure("writing", m_position, piece);
                m_position = kUnknownPosition;
            }
            result = E_FAIL;
            break;
        }
        done += static_cast<uint32_t>(put);
        m_position += static_cast<uint32_t>(put);
        if (m_position > m_writeEnd) m_writeEnd = m_position;
    }
    if (m_writeEnd > m_writeBackFrom && m_writeEnd - m_writeBackFrom >= kWriteBackStep) {
        m_file->StartWriteBack(m_writeBackFrom, m_writeEnd - m_writeBackFrom);
        m_writeBackFrom = m_writeEnd;
    }
    if (written) *written = done;
    return result;
}

int32_t RecordFile::WriteAt(uint64_t target, const void* src, uint64_t count) {
    int32_t result = SeekTo(target);
    if (QLX_FAILED(result)) return result;
    return WriteExact(src, count);
}

int32_t RecordFile::OverwriteAt(uint64_t offset, const void* src, uint32_t count) {
    if (!m_file) return RES_IO_ERROR;
    ForgetWindow();
    if (count != 0) m_unsynced = true;
    if (m_file->WriteAt(offset, src, count) == static_cast<int32_t>(count)) return S_OK;
    NoteFailure("writing", offset, count);
    return E_FAIL;
}

int32_t RecordFile::Sync() {
    if (!m_file) return RES_IO_ERROR;
    if (!m_unsynced) return S_OK;
    const int32_t result = m_file->Sync();
    if (QLX_SUCCEEDED(result)) m_unsynced = false;
    else NoteFailure("flushing to the disk", 0, 0);
    return result;
}

void RecordFile::ReadAhead(uint64_t offset, uint64_t length) {
    if (m_file && QLX_SUCCEEDED(m_file->ReadAhead(offset, length))) m_readsAhead = true;
}

int64_t RecordFile::ReadAt(uint64_t offset, void* dst, uint64_t count) {
    if (!m_file) return -1;
    uint8_t* at = static_cast<uint8_t*>(dst);
    uint64_t done = 0;
    while (done < count) {
        uint32_t piece = static_cast<uint32_t>(count - done < kTransferPiece ? count - done : kTransferPiece);
        int32_t got = m_file->ReadAt(offset + done, at + done, piece);
        if (got < 0) {
            NoteFailure("reading", offset + done, piece);
            return -1;
        }
        if (got == 0) break;
        done += static_cast<uint32_t>(got);
    }
    return static_cast<int64_t>(done);
}

int32_t RecordFile::Peek(uint64_t offset, uint32_t count, const uint8_t** bytes, uint32_t* held,
                         uint32_t readAhead) {
    *bytes = nullptr;
    *held = 0;
    if (count > kWindowSize) return E_INVALIDARG;
    if (m_windowValid && offset >= m_windowStart && offset - m_windowStart <= m_windowLength) {
        const uint32_t into = static_cast<uint32_t>(offset - m_windowStart);
        // A window that reached the end of the file holds all there is.
        if (m_windowLength - into >= count || m_windowReachesEnd) {
            *bytes = m_window + into;
            *held = m_windowLength - into;
            return S_OK;
        }
    }
    if (!m_window) m_window = new (std::nothrow) uint8_t[kWindowSize];
    if (!m_window) return E_OUTOFMEMORY;
    if (readAhead < count) readAhead = count;
    if (readAhead > kWindowSize) readAhead = kWindowSize;
    m_windowValid = false;
    const int64_t got = ReadAt(offset, m_window, readAhead);
    if (got < 0) return RES_IO_ERROR;
    m_windowStart = offset;
    m_windowLength = static_cast<uint32_t>(got);
    m_windowReachesEnd = got < readAhead;
    m_windowValid = true;
    *bytes = m_window;
    *held = m_windowLength;
    return S_OK;
}

bool RecordFile::CopyFromWindow(uint64_t offset, void* dst, uint32_t count) const {
    if (!m_windowValid || offset < m_windowStart || offset - m_windowStart > m_windowLength ||
        m_windowLength - (offset - m_windowStart) < count)
        return false;
    std::memcpy(dst, m_window + (offset - m_windowStart), count);
    return true;
}

int32_t RecordFile::FixGrowingRecord() {
    if (m_growing.length == 0) return S_OK;
    uint8_t length[4];
    big_endian::Put32(length, m_growing.length);
    uint64_t lengthField = m_writeEnd - m_growing.length - sizeof length;
    int32_t result = OverwriteAt(lengthField, length, sizeof length);
    if (QLX_SUCCEEDED(result)) m_growing.length = 0;
    return result;
}

void RecordFile::TakeBackTo(uint64_t end) {
    if (m_writeEnd > end) {
        ForgetWindow();
        m_unsynced = true;
        const int32_t cut = m_file ? m_file->SetFileLength64(end) : RES_IO_ERROR;
        m_position = kUnknownPosition;  // cutting may move the file's position
        if (QLX_FAILED(cut)) {
            NoteFailure("cutting the file back", end, 0);
            Seal(cut);
        }
    }
    m_writeEnd = end;
    if (m_writeBackFrom > end) m_writeBackFrom = end;
}
