// StringMap: lookups in maps of registry and directory sizes, and the
// remove/re-insert churn that the node pool is there to make cheap.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "util/string_map.h"

namespace {

std::vector<std::string> Keys(int n, const char* stem) {
    std::vector<std::string> keys;
    for (int i = 0; i < n; ++i) keys.push_back(std::string(stem) + std::to_string(i));
    return keys;
}

void BM_LookupHit(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    auto keys = Keys(n, "/media/containers/entry-");
    StringMap map(10);
    for (int i = 0; i < n; ++i) map.SetAt(keys[i].c_str(), &keys[i]);
    size_t i = 0;
    for (auto _ : state) {
        void* value = nullptr;
        benchmark::DoNotOptimize(map.Lookup(keys[i].c_str(), &value));
        if (++i == keys.size()) i = 0;
    }
}
BENCHMARK(BM_LookupHit)->Arg(10)->Arg(100)->Arg(1000);

void BM_LookupMiss(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    auto keys = Keys(n, "/media/containers/entry-");
    auto absent = Keys(64, "/media/other/entry-");
    StringMap map(10);
    for (int i = 0; i < n; ++i) map.SetAt(keys[i].c_str(), &keys[i]);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(map.Lookup(absent[i].c_str(), nullptr));
        if (++i == absent.size()) i = 0;
    }
}
BENCHMARK(BM_LookupMiss)->Arg(10)->Arg(1000);

// Short keys stay inline, so after warm-up this allocates nothing.
void BM_RemoveReinsert(benchmark::State& state) {
    auto keys = Keys(25, "k");
    StringMap map(10);
    for (const auto& key : keys) map.SetAt(key.c_str(), nullptr);
    size_t i = 0;
    for (auto _ : state) {
        map.RemoveKey(keys[i].c_str());
        map.SetAt(keys[i].c_str(), nullptr);
        if (++i == keys.size()) i = 0;
    }
}
BENCHMARK(BM_RemoveReinsert);

void BM_Iterate(benchmark::State& state) {
    auto keys = Keys(static_cast<int>(state.range(0)), "entry-");
    StringMap map(10);
    for (const auto& key : keys) map.SetAt(key.c_str(), nullptr);
    CompactString key;
    for (auto _ : state) {
        StringMap::Position position = StringMap::StartPosition;
        void* value;
        while (map.GetNextAssoc(position, key, value)) {
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Iterate)->Arg(100);

}  // namespace
