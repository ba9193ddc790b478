// The module-wide registry of open containers and its lock.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "container/container_registry.h"

namespace {

TEST(ContainerRegistryTest, IsOneCaseSensitiveMapWithBlocksOfTen) {
    StringMap& registry = ContainerRegistry();
    EXPECT_EQ(&registry, &ContainerRegistry());
    EXPECT_EQ(10u, registry.BlockSize());
    EXPECT_EQ(17u, registry.BucketCount());
    EXPECT_TRUE(registry.IsCaseSensitive());
    EXPECT_EQ(0u, registry.Count());
}

// Containers are entered and taken out from whichever host thread holds or
// releases them; the lock keeps the map whole.
TEST(ContainerRegistryThreadsTest, EntriesFromSeveralThreadsUnderTheLock) {
    auto work = [](int thread) {
        for (int i = 0; i < 200; ++i) {
            std::string path = "/c/" + std::to_string(thread) + "/" + std::to_string(i % 13) + ".cfs";
            RegistryHold hold;
            {
                RegistryHold nested;  // a release inside a held section locks again
                ContainerRegistry().SetAt(path.c_str(), &path);
            }
            void* value = nullptr;
            EXPECT_EQ(1, ContainerRegistry().Lookup(path.c_str(), &value));
            EXPECT_EQ(&path, value);
            EXPECT_EQ(1, ContainerRegistry().RemoveKey(path.c_str()));
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(work, t);
    for (auto& thread : threads) thread.join();
    RegistryHold hold;
    EXPECT_EQ(0u, ContainerRegistry().Count());
}

}  // namespace
