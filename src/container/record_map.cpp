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
    m_gapAt = 0;
}

void RecordMap::MoveGapTo(uint32_t index) {
    const uint32_t gap = m_capacity - m_count;
    if (gap != 0 && index < m_gapAt) {
        std::memmove(&m_records[index + gap], &m_records[index], (m_gapAt - index) * sizeof(Record));
    } else if (gap != 0 && index > m_gapAt) {
        std::memmove(&m_records[m_gapAt], &m_records[m_gapAt + gap], (index - m_gapAt) * sizeof(Record));
    }
    m_gapAt = index;
}

uint32_t RecordMap::UpperBound(uint64_t position) const {
    if (m_count == 0 || position < At(0).logical) return 0;
    const uint64_t lastStart = At(m_count - 1).logical;
    if (position >= lastStart) return m_count;
    // Now the answer lies in [1, m_count - 1]. An entry written at an even
    // pace has its records at even logical steps, so a guess in proportion
    // to the position lands on the record or beside it, where a binary
    // search over a large map costs a cache miss and a mispredicted branch
    // per step. A guess that misses still halves the range searched.
    const double share = static_cast<double>(position - At(0).logical) /
                         static_cast<double>(lastStart - At(0).logical);
    uint32_t guess = static_cast<uint32_t>(share * (m_count - 1));
    if (guess > m_count - 2) guess = m_count - 2;
    uint32_t low = 0;
    uint32_t high = m_count;
    if (At(guess).logical <= position) {
        if (At(guess + 1).logical > position) return guess + 1;
        low = guess + 1;
    } else {
        high = guess;
    }
    while (low < high) {
        const uint32_t middle = low + (high - low) / 2;
        if (At(middle).logical <= position) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

const RecordMap::Record* RecordMap::Before(uint64_t position) const {
    const uint32_t after = UpperBound(position);
    return after == 0 ? nullptr : &At(after - 1);
}

const RecordMap::Record* RecordMap::Reaching(uint64_t position) const {
    uint32_t at = m_count;
    for (uint32_t i = m_lastFound; i < m_count && i <= m_lastFound + 1; ++i) {
        if (At(i).logical <= position && (i + 1 == m_count || At(i + 1).logical > position)) {
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
    return position <= At(at).End() ? &At(at) : nullptr;
}

void RecordMap::Settle(uint64_t headOffset) {
    if (m_count != 0 && At(m_count - 1).HeadOffset() == headOffset) At(m_count - 1).growing = 0;
}

bool RecordMap::MakeRoom() {
    if (m_count < m_capacity) return true;
    const uint32_t step = m_capacity / 4 > 2 ? m_capacity / 4 : 2;
    if (m_capacity > UINT32_MAX - step) return false;
    Record* grown = new (std::nothrow) Record[m_capacity + step];
    if (!grown) return false;
    // Full, so there is no gap to leave out; the new room becomes the gap.
    if (m_gapAt) std::memcpy(grown, m_records, m_gapAt * sizeof(Record));
    if (m_count > m_gapAt)
        std::memcpy(grown + m_gapAt + step, m_records + m_gapAt, (m_count - m_gapAt) * sizeof(Record));
    delete[] m_records;
    m_records = grown;
    m_capacity += step;
    return true;
}

void RecordMap::Learn(uint64_t headOffset, uint64_t logical, uint64_t dataLength, bool growing, bool onChain,
                      RecordBudget* budget) {
    // A length cut to fit would put the record's end, where a scan may
    // start, amid its data.
    if (dataLength == 0 || dataLength > UINT32_MAX) return;
    if (logical > UINT64_MAX - dataLength || headOffset > UINT64_MAX - record_format::kDataRecordHeadSize) return;
    const Record learned{headOffset + record_format::kDataRecordHeadSize, logical, static_cast<uint32_t>(dataLength),
                         static_cast<uint16_t>(growing), static_cast<uint16_t>(onChain)};

    // Where it goes: after every record that starts at or before it.
    uint32_t at = UpperBound(logical);
    if (at > 0 && At(at - 1).logical == logical) {
        Record& known = At(at - 1);
        if (known.dataStart != learned.dataStart) return;  // another record claims the place
        const bool fitsBeforeNext = at == m_count || learned.End() <= At(at).logical;
        if (learned.length > known.length && fitsBeforeNext) known.length = learned.length;
        known.growing = known.growing && learned.growing;
        known.onChain = known.onChain || learned.onChain;
        return;
    }
    if (at > 0 && At(at - 1).End() > logical) return;
    if (at < m_count && learned.End() > At(at).logical) return;
    const bool spare = budget && budget->offGridLeft != 0;
    const bool offGrid = !HoldsGridPoint(learned.logical, learned.length);
    if (at < m_count && offGrid && !spare) return;

    MoveGapTo(at);
    // The new last record is always kept; the one before it now stays only
    // if it holds a grid point, or the budget keeps it. (With the gap at
    // the end it is the record just before the gap.)
    if (at == m_count && m_count > 0 && !HoldsGridPoint(At(m_count - 1).logical, At(m_count - 1).length)) {
        if (spare) {
            --budget->offGridLeft;
        } else {
            --m_count;
            --m_gapAt;
        }
    }
    if (!MakeRoom()) return;
    if (at < m_count && offGrid) --budget->offGridLeft;
    m_records[m_gapAt] = learned;
    ++m_gapAt;
    ++m_count;
}
