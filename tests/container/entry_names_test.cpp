// The index of entry names, through the entry table that keeps it.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "container/entry_names.h"
#include "container/entry_table.h"

namespace {

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
