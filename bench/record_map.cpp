// The record map of one entry on its own: learning the records of a long
// interleaved recording the way scans teach them after seeks here and
// there (runs of consecutive records, the runs in random order), then
// finding records at random positions. Arg: records in the entry (8,192
// records of 4 KiB: 32 MiB; 1,048,576: 4 GiB).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

#include "container/record_format.h"
#include "container/record_map.h"

namespace {

constexpr uint64_t kRecordBytes = 4096;
constexpr uint64_t kStride = 8 * (kRecordBytes + record_format::kDataRecordHeadSize);  // eight entries interleaved
constexpr size_t kRunLength = 96;  // the records a scan from a seek-table slot passes, about

// Run starts in the order a player seeking at random would have them learned.
std::vector<size_t> RunsInRandomOrder(size_t records) {
    std::vector<size_t> starts;
    for (size_t start = 0; start < records; start += kRunLength) starts.push_back(start);
    std::shuffle(starts.begin(), starts.end(), std::mt19937_64(5));
    return starts;
}

void Learn(RecordMap& map, size_t records, const std::vector<size_t>& starts) {
    for (size_t start : starts)
        for (size_t k = start; k < std::min(records, start + kRunLength); ++k)
            map.Learn(k * kStride, k * kRecordBytes, kRecordBytes, false, true);
}

void BM_RecordMapLearnRunsInRandomOrder(benchmark::State& state) {
    const size_t records = static_cast<size_t>(state.range(0));
    const std::vector<size_t> starts = RunsInRandomOrder(records);
    for (auto _ : state) {
        RecordMap map;
        Learn(map, records, starts);
        benchmark::DoNotOptimize(map.Count());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records));
}
BENCHMARK(BM_RecordMapLearnRunsInRandomOrder)->Arg(8192)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

void BM_RecordMapFindAtRandom(benchmark::State& state) {
    const size_t records = static_cast<size_t>(state.range(0));
    RecordMap map;
    Learn(map, records, RunsInRandomOrder(records));
    std::mt19937_64 random(7);
    for (auto _ : state) benchmark::DoNotOptimize(map.Reaching(random() % (records * kRecordBytes)));
}
BENCHMARK(BM_RecordMapFindAtRandom)->Arg(8192)->Arg(1 << 20);

}  // namespace
