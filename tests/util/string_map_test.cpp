// The pooled hash map: allocation pattern, hashing, lookup and iteration order.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "util/text.h"
#include "util/string_map.h"

namespace {

void* V(intptr_t n) { return reinterpret_cast<void*>(n); }

// Counts node-block allocations and can refuse them.
struct BlockCounter {
    int blocks = 0;
    size_t lastBytes = 0;
    bool refuse = false;

    static bool Hook(size_t bytes, void* context) {
        auto* self = static_cast<BlockCounter*>(context);
        if (self->refuse) return false;
        ++self->blocks;
        self->lastBytes = bytes;
        return true;
    }
};

class StringMapTest : public ::testing::Test {
protected:
    void SetUp() override { StringMap::SetBlockAllocationHook(&BlockCounter::Hook, &counter); }
    void TearDown() override { StringMap::SetBlockAllocationHook(nullptr, nullptr); }

    static std::string Key(int i) { return "key-" + std::to_string(i); }

    // Every (key, value) in iteration order.
    static std::vector<std::pair<std::string, intptr_t>> Walk(const StringMap& map) {
        std::vector<std::pair<std::string, intptr_t>> seen;
        StringMap::Position position = StringMap::StartPosition;
        CompactString key;
        void* value = nullptr;
        while (position) {
            if (!map.GetNextAssoc(position, key, value)) break;
            seen.emplace_back(key.GetChars(), reinterpret_cast<intptr_t>(value));
        }
        return seen;
    }

    BlockCounter counter;
};

TEST_F(StringMapTest, NewMapIsEmptyCaseSensitiveWithSeventeenBuckets) {
    StringMap map(10);
    EXPECT_EQ(0u, map.Count());
    EXPECT_EQ(17u, map.BucketCount());
    EXPECT_EQ(10u, map.BlockSize());
    EXPECT_TRUE(map.IsCaseSensitive());
}

TEST_F(StringMapTest, EmptyMapAnswersWithoutAllocating) {
    StringMap map(10);
    void* value = V(5);
    EXPECT_EQ(0, map.Lookup("a", &value));
    EXPECT_EQ(V(5), value);
    EXPECT_EQ(0, map.RemoveKey("a"));
    EXPECT_TRUE(Walk(map).empty());
    EXPECT_EQ(0, counter.blocks);
}

TEST_F(StringMapTest, TwentyFiveKeysTakeThreeBlocksAndReinsertionTakesNone) {
    StringMap map(10);
    for (int i = 0; i < 25; ++i) ASSERT_EQ(S_OK, map.SetAt(Key(i).c_str(), V(i)));
    EXPECT_EQ(3, counter.blocks);
    EXPECT_EQ(25u, map.Count());

    for (int i = 0; i < 25; ++i) ASSERT_EQ(1, map.RemoveKey(Key(i).c_str())) << i;
    EXPECT_EQ(0u, map.Count());
    for (int i = 0; i < 25; ++i) ASSERT_EQ(S_OK, map.SetAt(Key(100 + i).c_str(), V(i)));
    EXPECT_EQ(3, counter.blocks);

    // After RemoveAll the map starts over with a fresh block.
    map.RemoveAll();
    EXPECT_EQ(0, map.Lookup(Key(100).c_str(), nullptr));
    ASSERT_EQ(S_OK, map.SetAt("again", V(1)));
    EXPECT_EQ(4, counter.blocks);
    EXPECT_EQ(17u, map.BucketCount());
}

TEST_F(StringMapTest, SetAtOverwritesAPresentKey) {
    StringMap map(10);
    ASSERT_EQ(S_OK, map.SetAt("path", V(1)));
    ASSERT_EQ(S_OK, map.SetAt("path", V(2)));
    EXPECT_EQ(1u, map.Count());
    void* value = nullptr;
    EXPECT_EQ(1, map.Lookup("path", &value));
    EXPECT_EQ(V(2), value);
}

TEST_F(StringMapTest, LongKeysAreStoredAndMatchedExactly) {
    StringMap map(4);
    const std::string longKey = "/media/library/containers/a-rather-long-name.cfs";
    ASSERT_EQ(S_OK, map.SetAt(longKey.c_str(), V(1)));
    ASSERT_EQ(S_OK, map.SetAt((longKey + "x").c_str(), V(2)));
    void* value = nullptr;
    EXPECT_EQ(1, map.Lookup(longKey.c_str(), &value));
    EXPECT_EQ(V(1), value);
    EXPECT_EQ(0, map.Lookup(longKey.substr(0, longKey.size() - 1).c_str(), &value));

    // The caller's key is its own copy, not a share of the entry's text.
    StringMap::Position position = StringMap::StartPosition;
    CompactString key;
    ASSERT_TRUE(map.GetNextAssoc(position, key, value));
    EXPECT_TRUE(key.IsHeap());
    EXPECT_EQ(1, key.ShareCount());
}

TEST_F(StringMapTest, CaseSensitivityDecidesWhetherAAndaAreOneKey) {
    StringMap sensitive(10);
    ASSERT_EQ(S_OK, sensitive.SetAt("a", V(1)));
    ASSERT_EQ(S_OK, sensitive.SetAt("A", V(2)));
    EXPECT_EQ(2u, sensitive.Count());

    StringMap folding(10);
    ASSERT_TRUE(folding.SetCaseSensitive(false));
    ASSERT_EQ(S_OK, folding.SetAt("Movie.CFS", V(1)));
    ASSERT_EQ(S_OK, folding.SetAt("movie.cfs", V(2)));
    EXPECT_EQ(1u, folding.Count());
    void* value = nullptr;
    EXPECT_EQ(1, folding.Lookup("MOVIE.cfs", &value));
    EXPECT_EQ(V(2), value);
    EXPECT_EQ(1, folding.RemoveKey("movie.CFS"));
    // Not while entries would be hashed the other way.
    ASSERT_EQ(S_OK, sensitive.SetAt("b", V(3)));
    EXPECT_FALSE(sensitive.SetCaseSensitive(false));
}

TEST_F(StringMapTest, HashIsTimesThirtyThreePlusTheSignedByte) {
    StringMap map(10);
    EXPECT_EQ(0u, map.HashKey(""));
    EXPECT_EQ(97u * 33 + 98, map.HashKey("ab"));
    EXPECT_EQ(static_cast<uint32_t>(-23), map.HashKey("\xE9"));  // 0xE9 counts as -23
    EXPECT_NE(map.HashKey("ab"), map.HashKey("AB"));
    ASSERT_TRUE(map.SetCaseSensitive(false));
    EXPECT_EQ(map.HashKey("ab"), map.HashKey("AB"));
}

TEST_F(StringMapTest, OnlyTheLeadByteOfADoubleByteCharacterIsHashed) {
    StringMap map(10);
    SetMultiByteMode(true);
    uint32_t first = map.HashKey("\x81\x41z");
    uint32_t second = map.HashKey("\x81\x42z");
    ASSERT_EQ(S_OK, map.SetAt("\x81\x41z", V(1)));
    ASSERT_EQ(S_OK, map.SetAt("\x81\x42z", V(2)));
    SetMultiByteMode(false);
    EXPECT_EQ(first, second);
    EXPECT_EQ(static_cast<uint32_t>(static_cast<int8_t>('\x81')) * 33 + 'z', first);
    EXPECT_EQ(2u, map.Count());
}

TEST_F(StringMapTest, IterationVisitsEveryEntryOnceInBucketOrder) {
    StringMap map(10);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(S_OK, map.SetAt(Key(i).c_str(), V(i)));
    ASSERT_EQ(1, map.RemoveKey(Key(7).c_str()));

    auto seen = Walk(map);
    ASSERT_EQ(39u, seen.size());
    std::set<std::string> keys;
    uint32_t previousBucket = 0;
    for (const auto& [key, value] : seen) {
        EXPECT_TRUE(keys.insert(key).second) << key << " seen twice";
        EXPECT_EQ(key, Key(static_cast<int>(value)));
        uint32_t bucket = map.HashKey(key.c_str()) % 17;
        EXPECT_GE(bucket, previousBucket) << key;
        previousBucket = bucket;
    }
    EXPECT_EQ(0u, keys.count(Key(7)));
}

TEST_F(StringMapTest, IterationGivesTheNewestEntryOfABucketFirst) {
    StringMap map(10);
    // Three keys that share one bucket, inserted in this order.
    std::map<uint32_t, std::vector<std::string>> byBucket;
    for (int i = 0; i < 200; ++i) byBucket[map.HashKey(Key(i).c_str()) % 17].push_back(Key(i));
    const std::vector<std::string>& same = byBucket.begin()->second;
    ASSERT_GE(same.size(), 3u);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(S_OK, map.SetAt(same[i].c_str(), V(i)));

    auto seen = Walk(map);
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(same[2], seen[0].first);
    EXPECT_EQ(same[1], seen[1].first);
    EXPECT_EQ(same[0], seen[2].first);

    // Removing from the middle of the chain keeps the rest linked.
    ASSERT_EQ(1, map.RemoveKey(same[1].c_str()));
    seen = Walk(map);
    ASSERT_EQ(2u, seen.size());
    EXPECT_EQ(same[2], seen[0].first);
    EXPECT_EQ(same[0], seen[1].first);
}

TEST_F(StringMapTest, RefusedBlockLeavesTheMapAsItWas) {
    StringMap map(2);
    ASSERT_EQ(S_OK, map.SetAt("a", V(1)));
    ASSERT_EQ(S_OK, map.SetAt("b", V(2)));
    counter.refuse = true;
    EXPECT_EQ(E_OUTOFMEMORY, map.SetAt("c", V(3)));
    EXPECT_EQ(2u, map.Count());
    EXPECT_EQ(0, map.Lookup("c", nullptr));
    counter.refuse = false;
    EXPECT_EQ(S_OK, map.SetAt("c", V(3)));
    EXPECT_EQ(3u, map.Count());
    EXPECT_EQ(2, counter.blocks);
}

TEST_F(StringMapTest, RefusedKeyCopyGivesTheNodeBack) {
    StringMap map(10);
    const std::string longKey(40, 'k');
    CompactString::FailNextAllocations(1);
    EXPECT_EQ(E_OUTOFMEMORY, map.SetAt(longKey.c_str(), V(1)));
    CompactString::FailNextAllocations(0);
    EXPECT_EQ(0u, map.Count());
    EXPECT_TRUE(Walk(map).empty());
    EXPECT_EQ(S_OK, map.SetAt(longKey.c_str(), V(1)));
    EXPECT_EQ(1, counter.blocks);
}

TEST_F(StringMapTest, NullKeysAreRefused) {
    StringMap map(10);
    EXPECT_EQ(E_POINTER, map.SetAt(nullptr, V(1)));
    EXPECT_EQ(0, map.Lookup(nullptr, nullptr));
    EXPECT_EQ(0, map.RemoveKey(nullptr));
    EXPECT_EQ(0u, map.Count());
}

}  // namespace
