// The cost of durability: writing as cont pack and a recorder do, through
// file objects, with the module's syncs (the ordered close, Sync, the disk
// handed appended bytes as they come) against the same writing on data files
// whose Sync and StartWriteBack do nothing, so that the bytes reach the disk
// whenever the page cache gets to them, as they did before the module synced.
//
//  - Pack/10000x1KiB: 10,000 entries of 1 KiB, one after another, then a
//    Sync and the close (cont pack of 10,000 small files);
//  - Pack/256MiB: one entry of 256 MiB in 1 MiB pieces, Sync, close;
//  - EightStreams: 8 entries written round-robin in 4 KiB pieces, 80 MiB in
//    all (10 seconds of 8 streams of 1 MiB/s), with a Sync every 8 MiB
//    (once a second of such streams), then the close;
//  - EightStreamsFor10Seconds: a recorder's pace, 8 streams of 1 MiB/s
//    each written in 4 KiB pieces on their schedule for 10 seconds, a Sync
//    once a second: the wall time (10 s unless the writer falls behind),
//    the CPU time of the process, and how late the worst piece was.
//
// Argument 1: durable; 0: without. Every pass starts with the system's dirty
// pages written back (outside the timing) and measures wall time: the time
// a host waits, syncs included. Compare the /1 row of each scenario with its
// /0 row.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "datafile/data_file.h"
#include "host_io.h"

namespace {

// A data file that passes everything on but the two calls that wait for
// the disk.
class UnsyncedFile : public DataFile {
public:
    explicit UnsyncedFile(DataFile* inner) : m_inner(inner) {}
    int32_t Create(const char* path, uint32_t mode, uint32_t ignored) override {
        return m_inner->Create(path, mode, ignored);
    }
    int32_t Open(const char* path, uint32_t flags, int32_t textMode) override {
        return m_inner->Open(path, flags, textMode);
    }
    int32_t OpenShared(const char* path, uint32_t flags, uint32_t share, int32_t textMode) override {
        return m_inner->OpenShared(path, flags, share, textMode);
    }
    int32_t SetShare(uint32_t share) override { return m_inner->SetShare(share); }
    int32_t Close() override { return m_inner->Close(); }
    int32_t GetFileLength() override { return m_inner->GetFileLength(); }
    int64_t GetFileLength64() override { return m_inner->GetFileLength64(); }
    int32_t SetFileLength(uint32_t size) override { return m_inner->SetFileLength(size); }
    int32_t SetFileLength64(uint64_t size) override { return m_inner->SetFileLength64(size); }
    int32_t Seek(int32_t offset, uint32_t origin) override { return m_inner->Seek(offset, origin); }
    int32_t Seek64(uint32_t low, uint32_t high, uint32_t origin) override { return m_inner->Seek64(low, high, origin); }
    int32_t Tell() override { return m_inner->Tell(); }
    uint64_t Tell64() override { return m_inner->Tell64(); }
    int32_t Read(void* dst, uint32_t count) override { return m_inner->Read(dst, count); }
    int32_t ReadAt(uint64_t offset, void* dst, uint32_t count) override { return m_inner->ReadAt(offset, dst, count); }
    int32_t Write(const void* src, uint32_t count) override { return m_inner->Write(src, count); }
    int32_t WriteAt(uint64_t offset, const void* src, uint32_t count) override {
        return m_inner->WriteAt(offset, src, count);
    }
    int32_t Rewind() override { return m_inner->Rewind(); }
    int16_t GetDescriptor() override { return m_inner->GetDescriptor(); }
    int32_t Delete(const char* path) override { return m_inner->Delete(path); }
    int32_t Sync() override { return S_OK; }
    int32_t StartWriteBack(uint64_t, uint64_t) override { return S_OK; }

private:
    std::unique_ptr<DataFile> m_inner;
};

DataFile* Unsynced(DataFile* made) { return new UnsyncedFile(made); }

// A writer as cont pack and a recorder open one.
class Writer : public HostFile {
public:
    Writer(const std::string& path, const std::string& entry) : HostFile(path, entry, WriteAccess) {}
};

host::HostBuffer Piece(size_t count, uint32_t seed) {
    std::string bytes(count, '\0');
    std::mt19937 random(seed);
    for (char& b : bytes) b = static_cast<char>(random());
    return host::HostBuffer(bytes);
}

// Runs `write` once per pass on a new container, timed from the first open
// to the close, every pass starting with nothing dirty in the page cache.
template <typename Write>
void Passes(benchmark::State& state, const char* name, Write write) {
    const bool durable = state.range(0) != 0;
    SetDataFileWrapperForTests(durable ? nullptr : Unsynced);
    const std::string path = TheScratch().Path(name);
    uint64_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(path.c_str());
        sync();
        state.ResumeTiming();
        const int32_t result = write(path, &bytes);
        if (QLX_FAILED(result)) state.SkipWithError("a write or sync failed");
    }
    SetDataFileWrapperForTests(nullptr);
    std::remove(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_Pack10000x1KiB(benchmark::State& state) {
    host::HostBuffer piece = Piece(1 << 10, 1);
    Passes(state, "small.cnt", [&](const std::string& path, uint64_t* bytes) {
        Writer first(path, "e0");
        int32_t result = first.Write(&piece);
        for (int i = 1; i < 10000 && QLX_SUCCEEDED(result); ++i) result = Writer(path, "e" + std::to_string(i)).Write(&piece);
        if (QLX_SUCCEEDED(result)) result = first.Sync();
        *bytes += 10000u << 10;
        return result;
    });
}
BENCHMARK(BM_Pack10000x1KiB)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_Pack256MiB(benchmark::State& state) {
    host::HostBuffer piece = Piece(1 << 20, 2);
    Passes(state, "large.cnt", [&](const std::string& path, uint64_t* bytes) {
        Writer writer(path, "big");
        int32_t result = S_OK;
        for (int i = 0; i < 256 && QLX_SUCCEEDED(result); ++i) result = writer.Write(&piece);
        if (QLX_SUCCEEDED(result)) result = writer.Sync();
        *bytes += 256u << 20;
        return result;
    });
}
BENCHMARK(BM_Pack256MiB)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_EightStreams(benchmark::State& state) {
    host::HostBuffer piece = Piece(4 << 10, 3);
    const bool durable = state.range(0) != 0;
    Passes(state, "streams.cnt", [&](const std::string& path, uint64_t* bytes) {
        std::vector<std::unique_ptr<Writer>> writers;
        for (int i = 0; i < 8; ++i) writers.push_back(std::make_unique<Writer>(path, "cam" + std::to_string(i)));
        int32_t result = S_OK;
        constexpr uint64_t kTotal = 80u << 20;
        constexpr uint64_t kSyncEvery = 8u << 20;
        for (uint64_t done = 0; done < kTotal && QLX_SUCCEEDED(result);) {
            for (auto& writer : writers) result = QLX_FAILED(result) ? result : writer->Write(&piece);
            done += 8u * (4u << 10);
            if (durable && done % kSyncEvery == 0 && QLX_SUCCEEDED(result)) result = writers[0]->Sync();
        }
        *bytes += kTotal;
        return result;
    });
}
BENCHMARK(BM_EightStreams)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

double CpuSeconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_EightStreamsFor10Seconds(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    host::HostBuffer piece = Piece(4 << 10, 4);
    const bool durable = state.range(0) != 0;
    constexpr int kRoundsPerSecond = 256;  // 4 KiB pieces of a 1 MiB/s stream
    constexpr int kRounds = 10 * kRoundsPerSecond;
    double cpu = 0, worstLateMs = 0;
    Passes(state, "paced.cnt", [&](const std::string& path, uint64_t* bytes) {
        const double cpuAtStart = CpuSeconds();
        std::vector<std::unique_ptr<Writer>> writers;
        for (int i = 0; i < 8; ++i) writers.push_back(std::make_unique<Writer>(path, "cam" + std::to_string(i)));
        int32_t result = S_OK;
        const Clock::time_point start = Clock::now();
        for (int round = 0; round < kRounds && QLX_SUCCEEDED(result); ++round) {
            const Clock::time_point due = start + std::chrono::microseconds(1000000LL * round / kRoundsPerSecond);
            std::this_thread::sleep_until(due);
            const double late = std::chrono::duration<double, std::milli>(Clock::now() - due).count();
            if (late > worstLateMs) worstLateMs = late;
            for (auto& writer : writers) result = QLX_FAILED(result) ? result : writer->Write(&piece);
            if (durable && (round + 1) % kRoundsPerSecond == 0 && QLX_SUCCEEDED(result)) result = writers[0]->Sync();
        }
        writers.clear();
        cpu += CpuSeconds() - cpuAtStart;
        *bytes += 8ull * kRounds * (4u << 10);
        return result;
    });
    state.counters["cpu_ms_per_pass"] = 1000 * cpu / static_cast<double>(state.iterations());
    state.counters["worst_late_ms"] = worstLateMs;
}
BENCHMARK(BM_EightStreamsFor10Seconds)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
