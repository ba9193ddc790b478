#include "container/record_file.h"

#include "container/big_endian.h"

using namespace record_format;

namespace {

// Transfers go in pieces a 32-bit signed count can report.
constexpr uint32_t kTransferPiece = 0x40000000;

}  // namespace

int32_t RecordFile::Open(const char* path, uint32_t flags) {
    m_position = 0;
    return m_file ? m_file->Open(path, flags, 0) : RES_IO_ERROR;
}

int32_t RecordFile::OpenShared(const char* path, uint32_t flags, uint32_t share) {
    m_position = 0;
    return m_file ? m_file->OpenShared(path, flags, share, 0) : RES_IO_ERROR;
}

int32_t RecordFile::Close() {
    m_position = 0;
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
            m_position = kUnknownPosition;
            return RES_IO_ERROR;
        }
        if (got == 0) break;
        done += static_cast<uint32_t>(got);
        m_position += static_cast<uint32_t>(got);
    }
    return done == count ? S_OK : E_FAIL;
}

uint32_t RecordFile::ReadUpTo(void* dst, uint32_t count) {
    if (!m_file) return 0;
    uint8_t* at = static_cast<uint8_t*>(dst);
    uint32_t done = 0;
    while (done < count) {
        int32_t got = m_file->Read(at + done, count - done);
        if (got < 0) m_position = kUnknownPosition;
        if (got <= 0) break;
        done += static_cast<uint32_t>(got);
        m_position += static_cast<uint32_t>(got);
    }
    return done;
}

int32_t RecordFile::WriteExact(const void* src, uint64_t count, uint64_t* written) {
    if (written) *written = 0;
    if (!m_file) return RES_IO_ERROR;
    const uint8_t* at = static_cast<const uint8_t*>(src);
    uint64_t done = 0;
    int32_t result = S_OK;
    while (done < count) {
        uint32_t piece = static_cast<uint32_t>(count - done < kTransferPiece ? count - done : kTransferPiece);
        int32_t put = m_file->Write(at + done, piece);
        if (put <= 0) {
            if (put < 0) m_position = kUnknownPosition;
            result = E_FAIL;
            break;
        }
        done += static_cast<uint32_t>(put);
        m_position += static_cast<uint32_t>(put);
        if (m_position > m_writeEnd) m_writeEnd = m_position;
    }
    if (written) *written = done;
    return result;
}

int32_t RecordFile::WriteAt(uint64_t target, const void* src, uint64_t count) {
    int32_t result = SeekTo(target);
    if (QLX_FAILED(result)) return result;
    return WriteExact(src, count);
}

int32_t RecordFile::ReadRecordHead(RecordHeader* out) {
    out->offset = m_position;
    int32_t result = ReadExact(m_scratch, kRecordHeadSize);
    if (QLX_FAILED(result)) return result;
    return DecodeRecordHead(out);
}

int32_t RecordFile::DecodeRecordHead(RecordHeader* out) {
    out->type = m_scratch[kRecordTypeOffset];
    out->length = big_endian::Get32(m_scratch + kRecordLengthOffset);
    out->lengthGiven = out->length != kGrowingLength;
    if (!out->lengthGiven) {
        // A record still growing when the file was last written reaches the
        // end of the file, which is taken at its true 64-bit length.
        int64_t fileLength = FileLength();
        uint64_t payloadStart = out->offset + kRecordHeadSize;
        if (fileLength < 0 || static_cast<uint64_t>(fileLength) < payloadStart) return E_FAIL;
        out->length = static_cast<uint64_t>(fileLength) - payloadStart;
    }
    return S_OK;
}

int32_t RecordFile::ReadRecordAndDataHead(RecordHeader* record, DataRecordHeader* data, bool* isData) {
    *isData = false;
    record->offset = m_position;
    if (record->offset == kUnknownPosition) return E_FAIL;
    uint32_t got = ReadUpTo(m_scratch, kDataRecordHeadSize);
    if (got < kRecordHeadSize) return E_FAIL;
    int32_t result = DecodeRecordHead(record);
    if (QLX_FAILED(result)) return result;
    if (record->type == kDataRecord && record->length >= kDataHeadPayload && got == kDataRecordHeadSize) {
        data->record = *record;
        data->entryIndex = big_endian::Get32(m_scratch + kDataEntryIndexOffset);
        data->logicalOffset = big_endian::Get64(m_scratch + kDataLogicalOffsetOffset);
        *isData = true;
    }
    return S_OK;
}

int32_t RecordFile::FixGrowingRecord() {
    if (m_growing.length == 0) return S_OK;
    uint8_t length[4];
    big_endian::Put32(length, m_growing.length);
    uint64_t lengthField = m_writeEnd - m_growing.length - sizeof length;
    int32_t result = WriteAt(lengthField, length, sizeof length);
    if (QLX_SUCCEEDED(result)) m_growing.length = 0;
    return result;
}

void RecordFile::TakeBackTo(uint64_t end) {
    if (m_writeEnd > end) {
        const int32_t cut = m_file ? m_file->SetFileLength64(end) : RES_IO_ERROR;
        m_position = kUnknownPosition;  // cutting may move the file's position
        if (QLX_FAILED(cut)) Seal(cut);
    }
    m_writeEnd = end;
}
