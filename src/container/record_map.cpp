#include "container/record_map.h"

#include <cstring>
#include <new>

#include "container/record_format.h"

namespace {

// Whether [logical, logical + length) holds a multiple of the grid.
bool HoldsGridPoint(uint64_t logical, uint64_t length) {
    const uint64_t rest = logical % RecordMap::kGrid;
    return rest == 0 || length > RecordMap::kGrid - rest;
}

}  // namespace

uint64_t RecordMap::Record::HeadOffset() const { return dataStart - record_format::kDataRecordHeadSize; }

void RecordMap::Clear() {
    delete[] m_records;
    m_records = nullptr;
    m_count = 0;
    m_capacity = 0;
}

uint32_t RecordMap::UpperBound(uint64_t position) const {
    uint32_t low = 0;
    uint32_t high = m_count;
    while (low < high) {
        const uint32_t middle = low + (high - low) / 2;
        if (m_records[middle].logical <= position) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

const RecordMap::Record* RecordMap::Before(uint64_t position) const {
    const uint32_t after = UpperBound(position);
    return after == 0 ? nullptr : &m_records[after - 1];
}

const RecordMap::Record* RecordMap::Reaching(uint64_t position) const {
    uint32_t at = m_count;
    for (uint32_t i = m_lastFound; i < m_count && i <= m_lastFound + 1; ++i) {
        if (m_records[i].logical <= position && (i + 1 == m_count || m_records[i + 1].logical > position)) {
            at = i;
            break;
        }
    }
    if (at == m_count) {
        const uint32_t after = UpperBound(position);
        if (after == 0) return nullptr;
        at = after - 1;
    }
    m_lastFound = at;
    return position <= m_records[at].End() ? &m_records[at] : nullptr;
}

void RecordMap::Settle(uint64_t headOffset) {
    if (m_count != 0 && m_records[m_count - 1].HeadOffset() == headOffset) m_records[m_count - 1].growing = 0;
}

bool RecordMap::MakeRoom() {
    if (m_count < m_capacity) return true;
    const uint32_t step = m_capacity / 4 > 2 ? m_capacity / 4 : 2;
    if (m_capacity > UINT32_MAX - step) return false;
    Record* grown = new (std::nothrow) Record[m_capacity + step];
    if (!grown) return false;
    if (m_count) std::memcpy(grown, m_records, m_count * sizeof(Record));
    delete[] m_records;
    m_records = grown;
    m_capacity += step;
    return true;
}

void RecordMap::Learn(uint64_t headOffset, uint64_t logical, uint64_t dataLength, bool growing, bool onChain) {
    // A length cut to fit would put the record's end, where a scan may
    // start, amid its data.
    if (dataLength == 0 || dataLength > UINT32_MAX) return;
    if (logical > UINT64_MAX - dataLength || headOffset > UINT64_MAX - record_format::kDataRecordHeadSize) return;
    const Record learned{headOffset + record_format::kDataRecordHeadSize, logical, static_cast<uint32_t>(dataLength),
                         static_cast<uint16_t>(growing), static_cast<uint16_t>(onChain)};

    // Where it goes: after every record that starts at or before it.
    uint32_t at = UpperBound(logical);
    if (at > 0 && m_records[at - 1].logical == logical) {
        Record& known = m_records[at - 1];
        if (known.dataStart != learned.dataStart) return;  // another record claims the place
        const bool fitsBeforeNext = at == m_count || learned.End() <= m_records[at].logical;
        if (learned.length > known.length && fitsBeforeNext) known.length = learned.length;
        known.growing = known.growing && learned.growing;
        known.onChain = known.onChain || learned.onChain;
        return;
    }
    if (at > 0 && m_records[at - 1].End() > logical) return;
    if (at < m_count && learned.End() > m_records[at].logical) return;

    if (at == m_count) {
        // The new last record is always kept; the one before it now stays
        // only if it holds a grid point.
        if (m_count > 0 && !HoldsGridPoint(m_records[m_count - 1].logical, m_records[m_count - 1].length)) {
            --m_count;
            at = m_count;
        }
    } else if (!HoldsGridPoint(learned.logical, learned.length)) {
        return;
    }
    if (!MakeRoom()) return;
    std::memmove(&m_records[at + 1], &m_records[at], (m_count - at) * sizeof(Record));
    m_records[at] = learned;
    ++m_count;
}
