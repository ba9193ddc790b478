#include "container/record_walk.h"

#include "container/big_endian.h"

using namespace record_format;

namespace {

// After a record at least this long, the next head is read with the least
// read-ahead: the bytes between are another record's data.
constexpr uint32_t kLargeRecord = RecordFile::kWindowSize / 4;
constexpr uint32_t kLeastReadAhead = 4u << 10;

}  // namespace

int64_t RecordWalk::FileLength() {
    if (m_fileLength == -2) m_fileLength = m_file.FileLength();
    return m_fileLength;
}

uint64_t RecordWalk::PresentDataLength(const DataRecordHeader& data) {
    const uint64_t length = data.DataLength();
    // Within the bytes read already: no need to ask the file's length.
    if (data.DataStart() + length <= m_heldEnd) return length;
    const int64_t fileLength = FileLength();
    if (fileLength < 0 || static_cast<uint64_t>(fileLength) <= data.DataStart()) return 0;
    const uint64_t present = static_cast<uint64_t>(fileLength) - data.DataStart();
    return length < present ? length : present;
}

int32_t RecordWalk::Next(RecordHeader* record, DataRecordHeader* data, bool* isData) {
    *isData = false;
    record->offset = m_at;
    const uint8_t* head = nullptr;
    uint32_t held = 0;
    int32_t result = m_file.Peek(m_at, kDataRecordHeadSize, &head, &held, m_readAhead);
    if (QLX_FAILED(result)) return result;
    if (held < kRecordHeadSize) return E_FAIL;
    m_heldEnd = m_at + held;

    // The file's length is asked only for a length field of 0.
    const bool growing = big_endian::Get32(head + kRecordLengthOffset) == kGrowingLength;
    result = DecodeRecordHead(head, m_at, growing ? FileLength() : 0, record);
    if (QLX_FAILED(result)) return result;
    if (record->type == kDataRecord && record->length >= kDataHeadPayload && held >= kDataRecordHeadSize) {
        data->record = *record;
        data->entryIndex = big_endian::Get32(head + kDataEntryIndexOffset);
        data->logicalOffset = big_endian::Get64(head + kDataLogicalOffsetOffset);
        *isData = true;
    }
    m_at = record->End();
    m_readAhead = record->length >= kLargeRecord ? kLeastReadAhead : RecordFile::kWindowSize;
    return S_OK;
}
