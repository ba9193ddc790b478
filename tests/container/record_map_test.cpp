// The record map of one entry on its own: what it keeps, what it refuses,
// and what it costs.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "container/record_format.h"
#include "container/record_map.h"

namespace {

constexpr uint64_t kHead = record_format::kDataRecordHeadSize;

TEST(RecordMapTest, FindsTheRecordThatReachesAPositionAndTakesTheLaterAtABoundary) {
    RecordMap map;
    map.Learn(1000, 0, 4096, false, true);
    map.Learn(9000, 4096, 4096, false, true);
    EXPECT_EQ(map.Reaching(0)->dataStart, 1000 + kHead);
    EXPECT_EQ(map.Reaching(4095)->dataStart, 1000 + kHead);
    EXPECT_EQ(map.Reaching(4096)->dataStart, 9000 + kHead);  // one ends where the next starts
    EXPECT_EQ(map.Reaching(8192)->logical, 4096u);           // the entry's end
    EXPECT_EQ(map.Reaching(8193), nullptr);
    EXPECT_EQ(map.Before(100000)->logical, 4096u);
}

TEST(RecordMapTest, ARecordLearnedAgainOnlyGrowsAndOverlapsAreRefused) {
    RecordMap map;
    map.Learn(1000, 0, 100, true, true);
    map.Learn(1000, 0, 5000, true, true);  // the writer appended to it
    map.Learn(1000, 0, 300, false, true);  // a scan that saw it before: no shorter
    ASSERT_EQ(map.Count(), 1u);
    EXPECT_EQ(map.Reaching(0)->length, 5000u);
    EXPECT_EQ(map.Reaching(0)->growing, 0u);  // its length field was seen set
    map.Learn(2000, 0, 100, false, true);           // another record claims offset 0
    map.Learn(3000, 4000, 5000, false, true);       // runs into the first one's bytes
    map.Learn(4000, 4999, 10, false, true);         // starts inside it
    map.Learn(5000, 5000, 0, false, true);          // holds nothing
    EXPECT_EQ(map.Count(), 1u);
    EXPECT_EQ(map.MappedBytes(), 5000u);
    map.Learn(6000, 5000, 4096, false, true);
    EXPECT_EQ(map.Count(), 2u);
}

TEST(RecordMapTest, RecordsLearnedOutOfOrderAreKeptInLogicalOrder) {
    RecordMap map;
    for (uint64_t k : {5u, 1u, 9u, 3u, 7u, 0u, 8u, 2u, 6u, 4u}) map.Learn(100000 + k * 10000, k * 4096, 4096, false, true);
    ASSERT_EQ(map.Count(), 10u);
    for (uint64_t k = 0; k < 10; ++k) EXPECT_EQ(map.Reaching(k * 4096 + 1)->dataStart, 100000 + k * 10000 + kHead);
}

// A lookup guesses where a position lies from the spread of the records,
// and the map keeps its free room where it learned last. Records of very
// uneven lengths, with stretches between them no record covers, learned in
// runs in random order (as scans from seek-table slots teach them), must be
// found exactly, at and around every edge.
TEST(RecordMapTest, UnevenRecordsLearnedInRunsAreFoundAsALinearSearchFindsThem) {
    std::vector<RecordMap::Record> kept;
    std::mt19937_64 random(11);
    uint64_t logical = 0;
    for (uint64_t k = 0; k < 3000; ++k) {
        const uint64_t length = k % 7 == 0 ? (1 + random() % 64) << 20 : 4096 + random() % 50000;
        if (k % 5 == 0) logical += 1 + random() % 100000;
        kept.push_back({k * 10000000 + kHead, logical, static_cast<uint32_t>(length), 0, 1});
        logical += length;
    }
    std::vector<std::pair<size_t, size_t>> runs;
    for (size_t start = 0; start < kept.size();) {
        const size_t length = std::min<size_t>(1 + random() % 40, kept.size() - start);
        runs.emplace_back(start, length);
        start += length;
    }
    std::shuffle(runs.begin(), runs.end(), random);
    RecordMap map;
    for (const auto& run : runs)
        for (size_t i = run.first; i < run.first + run.second; ++i)
            map.Learn(kept[i].HeadOffset(), kept[i].logical, kept[i].length, false, true);
    ASSERT_EQ(map.Count(), kept.size());
    auto reference = [&kept](uint64_t position) -> const RecordMap::Record* {
        auto after = std::upper_bound(kept.begin(), kept.end(), position,
                                      [](uint64_t p, const RecordMap::Record& r) { return p < r.logical; });
        if (after == kept.begin() || position > std::prev(after)->End()) return nullptr;
        return &*std::prev(after);
    };
    std::vector<uint64_t> positions{0, logical, logical + 1};
    for (const RecordMap::Record& record : kept)
        for (uint64_t p : {record.logical - 1, record.logical, record.logical + 1, record.End() - 1, record.End(),
                           record.End() + 1})
            positions.push_back(p);
    for (int i = 0; i < 20000; ++i) positions.push_back(random() % (logical + 2));
    for (uint64_t p : positions) {
        const RecordMap::Record* expected = reference(p);
        const RecordMap::Record* found = map.Reaching(p);
        ASSERT_EQ(found == nullptr, expected == nullptr) << p;
        if (found) {
            ASSERT_EQ(found->dataStart, expected->dataStart) << p;
        }
    }
}

// Records of a few bytes (a writer interleaving tiny pieces) would cost a
// map more than the bytes themselves; the map keeps about one per 4 KiB.
TEST(RecordMapTest, MemoryStaysNearOnePercentOfTheBytesMappedAndTheLastRecordStays) {
    RecordMap tiny;
    uint64_t logical = 0;
    for (uint64_t k = 0; k < 100000; ++k) {
        const uint64_t length = 1 + k % 97;
        tiny.Learn(k * 200, logical, length, false, true);
        logical += length;
        ASSERT_EQ(tiny.Reaching(logical)->End(), logical) << k;  // the last record is always kept
    }
    EXPECT_LE(tiny.MemoryBytes(), tiny.MappedBytes() / 100 + 256);
    EXPECT_GT(tiny.Count(), logical / RecordMap::kGrid / 2);  // thinned, not emptied

    // Records of 4 KiB and more are all kept, within the same bound.
    RecordMap whole;
    for (uint64_t k = 0; k < 10000; ++k) whole.Learn(k * 40000, k * 4096, 4096, false, true);
    EXPECT_EQ(whole.Count(), 10000u);
    EXPECT_LE(whole.MemoryBytes(), whole.MappedBytes() / 100 + 256);
}

// With a budget, records of any size are kept (learned in order or amid
// others), each taking one from it; once it is spent, the grid rule holds
// again.
TEST(RecordMapTest, ABudgetKeepsRecordsOfAnySizeUntilItIsSpent) {
    RecordBudget budget;
    budget.offGridLeft = 1000;
    RecordMap map;
    uint64_t logical = 0;
    for (uint64_t k = 0; k < 800; ++k, logical += 1316) {
        if (k % 2 == 0) map.Learn(k * 10000, logical, 1316, false, true, &budget);
    }
    logical = 1316;
    for (uint64_t k = 1; k < 800; k += 2, logical += 2 * 1316) map.Learn(k * 10000, logical, 1316, false, true, &budget);
    EXPECT_EQ(map.Count(), 800u);
    for (uint64_t k = 0; k < 800; ++k) {
        const RecordMap::Record* found = map.Reaching(k * 1316 + 1);
        ASSERT_NE(found, nullptr) << k;
        EXPECT_EQ(found->HeadOffset(), k * 10000) << k;
    }
    EXPECT_LE(budget.offGridLeft, 1000u - (800u - 800u * 1316 / RecordMap::kGrid - 1));
    // Spent: a record that holds no grid point is passed over again.
    budget.offGridLeft = 0;
    map.Learn(900 * 10000, 0, 10, false, true, &budget);  // overlaps: refused as ever
    RecordMap thin;
    for (uint64_t k = 0; k < 100; ++k) thin.Learn(k * 10000, k * 1316, 1316, false, true, &budget);
    EXPECT_LT(thin.Count(), 50u);
}

}  // namespace
