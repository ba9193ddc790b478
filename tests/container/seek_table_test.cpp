// The big-endian codec and the seek-table rules, without any file.
#include <gtest/gtest.h>

#include <vector>

#include "container/big_endian.h"
#include "container/record_format.h"
#include "container/seek_table.h"

namespace {

TEST(BigEndian, StoresMostSignificantByteFirst) {
    uint8_t bytes[8];
    big_endian::Put16(bytes, 0x0102);
    EXPECT_EQ(bytes[0], 0x01);
    EXPECT_EQ(bytes[1], 0x02);
    big_endian::Put32(bytes, 0x00000808u);
    EXPECT_EQ(0, memcmp(bytes, "\x00\x00\x08\x08", 4));
    big_endian::Put64(bytes, 0x0102030405060708ull);
    EXPECT_EQ(0, memcmp(bytes, "\x01\x02\x03\x04\x05\x06\x07\x08", 8));
}

TEST(BigEndian, RoundTripsEveryWidthAtTheExtremes) {
    uint8_t bytes[8];
    for (uint64_t value : {uint64_t{0}, uint64_t{1}, uint64_t{0x80}, uint64_t{0xFFFFFFFF}, uint64_t{0x100000000},
                           ~uint64_t{0}, uint64_t{0x8000000000000000}}) {
        big_endian::Put64(bytes, value);
        EXPECT_EQ(big_endian::Get64(bytes), value);
        big_endian::Put32(bytes, static_cast<uint32_t>(value));
        EXPECT_EQ(big_endian::Get32(bytes), static_cast<uint32_t>(value));
        big_endian::Put16(bytes, static_cast<uint16_t>(value));
        EXPECT_EQ(big_endian::Get16(bytes), static_cast<uint16_t>(value));
    }
}

TEST(ChunkSize, OnlyTwentyFiveThousandTimesAPowerOfTwoIsValid) {
    EXPECT_TRUE(IsValidChunkSize(25000));
    EXPECT_TRUE(IsValidChunkSize(50000));
    EXPECT_TRUE(IsValidChunkSize(25000ull << 40));
    EXPECT_FALSE(IsValidChunkSize(0));
    EXPECT_FALSE(IsValidChunkSize(75000));
    EXPECT_FALSE(IsValidChunkSize(12500));
    EXPECT_FALSE(IsValidChunkSize(25001));
    EXPECT_FALSE(IsValidChunkSize(~uint64_t{0}));
}

class SeekTableTest : public ::testing::Test {
protected:
    SeekTable table;
};

TEST_F(SeekTableTest, FirstRecordTakesSlotZero) {
    table.Update(0, 1000);
    EXPECT_EQ(table[0], 1000u);
    table.Update(10, 0);
    EXPECT_EQ(table[0], 1000u);
    EXPECT_EQ(table[1], 0u);
}

TEST_F(SeekTableTest, AppendAcrossSlotsCopiesTheRecordThatCoversThem) {
    table.Update(0, 1000);
    table.Update(3 * 25000 + 7, 0);  // one record grew over slots 1..3
    for (int i = 0; i <= 3; ++i) EXPECT_EQ(table[i], 1000u) << i;
    EXPECT_EQ(table[4], 0u);
}

TEST_F(SeekTableTest, NewRecordFillsTheGapAndTakesItsOwnSlot) {
    table.Update(0, 1000);
    table.Update(10, 0);
    // The next record starts at 2 x 25000: slot 1 still points at the first
    // record (a scan from it reaches 25000), slot 2 at the new one.
    table.Update(50000, 9000);
    EXPECT_EQ(table[1], 1000u);
    EXPECT_EQ(table[2], 9000u);
    // A record started inside an already set slot does not take it.
    table.Update(50010, 12000);
    EXPECT_EQ(table[2], 9000u);
}

// An entry written in 64 KiB records interleaved with another entry's: each
// slot must name a record that starts at or before the slot's position and
// no more than one record plus one chunk before it, so that a seek scans
// only a few records.
TEST_F(SeekTableTest, InterleavedRecordsKeepEverySlotNearItsPosition) {
    constexpr uint64_t kRecord = 65536;
    constexpr int kRecords = 2048;  // 128 MiB: the chunk doubles three times
    std::vector<uint64_t> starts;   // logical start of record i; its "offset" is 1000 + i
    for (int i = 0; i < kRecords; ++i) {
        uint64_t p = i * kRecord;
        starts.push_back(p);
        table.Update(p, 1000 + i);
        table.Update(p + kRecord, 0, 1000 + i);
    }
    EXPECT_EQ(table.chunkSize, 200000u);
    const uint64_t end = kRecords * kRecord;
    for (uint64_t k = 0; k * table.chunkSize <= end; ++k) {
        ASSERT_NE(table[k], 0u) << k;
        uint64_t record = table[k] - 1000;
        ASSERT_LT(record, starts.size());
        const uint64_t target = k * table.chunkSize;
        ASSERT_LE(starts[record], target) << k;
        ASSERT_LE(target - starts[record], table.chunkSize + kRecord) << k;
    }
}

TEST_F(SeekTableTest, ReachingSlotThousandHalvesTheTableAndDoublesTheChunk) {
    for (uint64_t i = 0; i < record_format::kSeekTableSlots; ++i) table.Update(i * 25000, 100 + i);
    uint64_t before[record_format::kSeekTableSlots];
    for (uint32_t i = 0; i < record_format::kSeekTableSlots; ++i) before[i] = table[i];
    table.Update(1000ull * 25000, 0);
    EXPECT_EQ(table.chunkSize, 50000u);
    for (uint32_t i = 0; i < 500; ++i) EXPECT_EQ(table[i], before[2 * i]) << i;
    // Slot 500 is the new end's slot; it takes the value of the slot below.
    EXPECT_EQ(table[500], before[998]);
    for (uint32_t i = 501; i < record_format::kSeekTableSlots; ++i) EXPECT_EQ(table[i], 0u) << i;
}

TEST_F(SeekTableTest, AFarPositionHalvesAsOftenAsNeeded) {
    table.Update(0, 77);
    table.Update(1000ull * 25000 * 8, 0);
    EXPECT_EQ(table.chunkSize, 25000u * 16);
    EXPECT_EQ(table[0], 77u);
    EXPECT_EQ(table[500], 77u);
    // Even the largest position terminates, without overflowing the chunk.
    table.Update(~uint64_t{0}, 0);
    EXPECT_TRUE(IsValidChunkSize(table.chunkSize));
    EXPECT_LT(~uint64_t{0} / table.chunkSize, record_format::kSeekTableSlots);
}

}  // namespace

// A write-back writes only the slots changed since the record held the
// table: every slot that differs from what was stored must lie in the range
// the table gives, through record starts, appends and halvings alike.
TEST(SeekTableChanges, EverySlotChangedSinceStoredIsInTheChangedRange) {
    SeekTable table;
    std::vector<uint64_t> stored(record_format::kSeekTableSlots, 0);
    uint64_t chunk = table.chunkSize;
    uint64_t end = 0, offset = 100;
    uint32_t seed = 7;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    for (int step = 0; step < 400; ++step) {
        if (step % 37 == 0) {
            for (uint32_t i = 0; i < record_format::kSeekTableSlots; ++i) stored[i] = table[i];
            chunk = table.chunkSize;
            table.Stored();
        }
        // The first record starts at 0, as a writer's does.
        const bool startsRecord = step == 0 || next() % 3 == 0;
        if (step != 0) end += 1 + next() % 200000;
        ASSERT_EQ(table.Update(end, startsRecord ? offset : 0, startsRecord ? 0 : offset), S_OK);
        offset += 1000;
        if (table.Whole() || chunk != table.chunkSize) continue;
        for (uint32_t i = 0; i < record_format::kSeekTableSlots; ++i) {
            if (table[i] == stored[i]) continue;
            ASSERT_TRUE(i >= table.ChangedFrom() && i < table.ChangedTo())
                << "slot " << i << " changed outside [" << table.ChangedFrom() << ", " << table.ChangedTo() << ")";
        }
    }
}
