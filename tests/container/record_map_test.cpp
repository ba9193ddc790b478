// The record map of one entry on its own, and the index of entry names:
// what they keep, what they refuse, and what they cost.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

#include "container/entry_names.h"
#include "container/entry_table.h"
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

// Linear probing with removal that moves later slots back: every name must
// stay findable through any mix of additions and removals.
TEST(EntryNamesTest, AddsAndRemovalsAtRandomAgreeWithAPlainMap) {
    EntryTable table;
    std::map<std::string, uint32_t> expected;
    std::mt19937 random(11);
    std::vector<StoredEntry*> live;
    for (int step = 0; step < 20000; ++step) {
        if (live.empty() || random() % 3 != 0) {
            const std::string name = "n" + std::to_string(random() % 5000);
            if (expected.count(name)) continue;
            StoredEntry* entry = table.AddNew(name.c_str());
            ASSERT_NE(entry, nullptr);
            expected[name] = entry->index;
            live.push_back(entry);
        } else {
            const size_t which = random() % live.size();
            StoredEntry* entry = live[which];
            expected.erase(entry->name.GetChars());
            table.Forget(entry);
            live.erase(live.begin() + static_cast<ptrdiff_t>(which));
        }
        if (step % 997 == 0) {
            for (const auto& [name, number] : expected) {
                StoredEntry* found = table.Find(name.c_str());
                ASSERT_NE(found, nullptr) << name;
                ASSERT_EQ(found->index, number) << name;
            }
        }
    }
    for (const auto& [name, number] : expected) ASSERT_EQ(table.Find(name.c_str())->index, number) << name;
    EXPECT_EQ(table.Find("n-none"), nullptr);
}

}  // namespace
