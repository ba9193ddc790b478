// Gathered writes (GatherAccess) through the host interfaces, beside plain
// files in the same run. Eight streams of 32 MiB written round-robin in
// pieces of 1,316 bytes (an MPEG-TS packet) and of 4 KiB (argument
// `piece`):
//
//  - Write: the container written afresh by 8 file objects, gathering
//    (gather 1) or not (gather 0), closed (its close makes it durable);
//    against eight plain files written round-robin in the same pieces, each
//    closed with (synced 1) or without (synced 0) an fdatasync;
//  - ReadOne: a container just opened, one stream read through in 64 KiB
//    pieces, against read() of that stream's plain file. cold 0: the file
//    read from the page cache; cold 1: written back and dropped from it
//    before every pass (posix_fadvise), and the counter
//    storage_per_stream_byte is what the pass read from storage
//    (/proc/self/io read_bytes) per byte of the stream;
//  - SeekRead4KiB: a seek to a random position plus a 4 KiB read in one
//    stream, once the map has learned it, against pread() of 4 KiB from the
//    plain file; also in a container written without gathering in 1,316-byte
//    pieces (records of 1,316 bytes, gather 0);
//  - ManyEntries: 1,000 entries of 512 KiB written at once in 1,316-byte
//    pieces, round-robin, in a child process; the counter peak_rss_mib is
//    its peak resident memory, gathering (1) and not (0).
//
// Ratios: each Container row against the Plain row of its arguments.
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "host_io.h"

namespace {

constexpr uint32_t kStreams = 8;
constexpr uint64_t kStreamBytes = 32ull << 20;
constexpr uint32_t kReadPiece = 64u << 10;
constexpr uint32_t kSmallRead = 4u << 10;
constexpr uint32_t kReadStream = 3;
const char* const kGatherOption = "&gather=1";

std::string StreamName(uint32_t i) { return "cam" + std::to_string(i); }

// Bytes this process has had read from storage so far (/proc/self/io).
int64_t StorageReadBytes() {
    FILE* io = std::fopen("/proc/self/io", "r");
    if (!io) return -1;
    char line[128];
    long long bytes = -1;
    while (std::fgets(line, sizeof line, io))
        if (std::sscanf(line, "read_bytes: %lld", &bytes) == 1) break;
    std::fclose(io);
    return bytes;
}

// Written back and dropped from the page cache: the next read comes from
// storage.
void DropFromCache(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
}

// The eight streams written round-robin through file objects, each piece a
// slice of one pattern.
void WriteStreams(const std::string& path, uint32_t piece, bool gather) {
    const std::vector<uint8_t> bytes = Bytes(piece, 2);
    host::HostBuffer buffer(std::string(bytes.begin(), bytes.end()));
    // The last piece is cut to make each stream exactly kStreamBytes.
    host::HostBuffer last(std::string(bytes.begin(), bytes.begin() + (kStreamBytes % piece ? kStreamBytes % piece : piece)));
    std::vector<HostFile*> writers;
    for (uint32_t i = 0; i < kStreams; ++i)
        writers.push_back(new HostFile(path, StreamName(i), WriteAccess, gather ? kGatherOption : ""));
    for (uint64_t done = 0; done < kStreamBytes; done += piece)
        for (HostFile* writer : writers) writer->Write(done + piece >= kStreamBytes ? &last : &buffer);
    for (HostFile* writer : writers) delete writer;
}

void WritePlainStreams(const std::string& prefix, uint32_t piece, bool synced) {
    const std::vector<uint8_t> bytes = Bytes(piece, 2);
    int fds[kStreams];
    for (uint32_t i = 0; i < kStreams; ++i)
        fds[i] = open((prefix + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    for (uint64_t done = 0; done < kStreamBytes; done += piece) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(piece, kStreamBytes - done));
        for (int fd : fds) benchmark::DoNotOptimize(write(fd, bytes.data(), n));
    }
    for (int fd : fds) {
        if (synced) fdatasync(fd);
        close(fd);
    }
}

// The container of each kind, made once: piece size and gathering.
const std::string& Streams(uint32_t piece, bool gather) {
    static std::map<std::pair<uint32_t, bool>, std::string> made;
    std::string& path = made[{piece, gather}];
    if (path.empty()) {
        path = TheScratch().Path("streams-" + std::to_string(piece) + (gather ? "-gathered.cnt" : ".cnt"));
        WriteStreams(path, piece, gather);
        AsIfReadFromDisk(path);
    }
    return path;
}

// Stream 3's bytes as a plain file.
const std::string& PlainStream() {
    static const std::string path = [] {
        std::string p = TheScratch().Path("plain-stream");
        WritePlainStreams(p, kReadPiece, false);
        AsIfReadFromDisk(p + std::to_string(kReadStream));
        return p + std::to_string(kReadStream);
    }();
    return path;
}

// ---- writing ----------------------------------------------------------------------

void BM_ContainerWrite(benchmark::State& state) {
    const uint32_t piece = static_cast<uint32_t>(state.range(0));
    const bool gather = state.range(1) != 0;
    const std::string path = TheScratch().Path("written.cnt");
    for (auto _ : state) {
        state.PauseTiming();
        StartWritingAfresh(path);
        state.ResumeTiming();
        WriteStreams(path, piece, gather);
    }
    unlink(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreams * kStreamBytes));
}
BENCHMARK(BM_ContainerWrite)
    ->ArgNames({"piece", "gather"})
    ->ArgsProduct({{1316, 4096}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

void BM_PlainWrite(benchmark::State& state) {
    const uint32_t piece = static_cast<uint32_t>(state.range(0));
    const bool synced = state.range(1) != 0;
    const std::string prefix = TheScratch().Path("written-plain");
    for (auto _ : state) {
        state.PauseTiming();
        for (uint32_t i = 0; i < kStreams; ++i) unlink((prefix + std::to_string(i)).c_str());
        sync();
        state.ResumeTiming();
        WritePlainStreams(prefix, piece, synced);
    }
    for (uint32_t i = 0; i < kStreams; ++i) unlink((prefix + std::to_string(i)).c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreams * kStreamBytes));
}
BENCHMARK(BM_PlainWrite)
    ->ArgNames({"piece", "synced"})
    ->ArgsProduct({{1316, 4096}, {1, 0}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// ---- reading one stream of a container just opened ------------------------------------

void BM_ContainerReadOne(benchmark::State& state) {
    const std::string& path = Streams(static_cast<uint32_t>(state.range(0)), state.range(1) != 0);
    const bool cold = state.range(2) != 0;
    int64_t fromStorage = 0;
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            DropFromCache(path);
            state.ResumeTiming();
        }
        const int64_t before = StorageReadBytes();
        HostFile file(path, StreamName(kReadStream), ReadAccess);
        if (file.ReadThrough(kReadPiece) != kStreamBytes) state.SkipWithError("short read");
        fromStorage += StorageReadBytes() - before;
    }
    if (cold) {
        state.counters["storage_per_stream_byte"] =
            static_cast<double>(fromStorage) / static_cast<double>(state.iterations() * kStreamBytes);
        AsIfReadFromDisk(path);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
}
BENCHMARK(BM_ContainerReadOne)
    ->ArgNames({"piece", "gather", "cold"})
    ->ArgsProduct({{1316, 4096}, {1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

void BM_PlainReadOne(benchmark::State& state) {
    const std::string& path = PlainStream();
    const bool cold = state.range(0) != 0;
    std::vector<uint8_t> into(kReadPiece);
    int64_t fromStorage = 0;
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            DropFromCache(path);
            state.ResumeTiming();
        }
        const int64_t before = StorageReadBytes();
        int fd = open(path.c_str(), O_RDONLY);
        for (uint64_t done = 0; done < kStreamBytes; done += kReadPiece)
            if (read(fd, into.data(), kReadPiece) != kReadPiece) state.SkipWithError("short read");
        close(fd);
        fromStorage += StorageReadBytes() - before;
    }
    if (cold) {
        state.counters["storage_per_stream_byte"] =
            static_cast<double>(fromStorage) / static_cast<double>(state.iterations() * kStreamBytes);
        AsIfReadFromDisk(path);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
}
BENCHMARK(BM_PlainReadOne)->ArgName("cold")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// ---- random seek plus 4 KiB read --------------------------------------------------------

void BM_ContainerSeekRead4KiB(benchmark::State& state) {
    const std::string& path = Streams(static_cast<uint32_t>(state.range(0)), state.range(1) != 0);
    HostFile file(path, StreamName(kReadStream), ReadAccess);
    // The map learns the stream as a reader going through it teaches it.
    if (file.ReadThrough(kReadPiece) != kStreamBytes) state.SkipWithError("short read");
    std::mt19937_64 random(7);
    for (auto _ : state) {
        const uint64_t position = random() % (kStreamBytes - kSmallRead);
        if (file.Seek(position) != S_OK || file.Read(kSmallRead) != S_OK) state.SkipWithError("seek or read failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSmallRead));
}
BENCHMARK(BM_ContainerSeekRead4KiB)->ArgNames({"piece", "gather"})->Args({1316, 1})->Args({4096, 1})->Args({1316, 0});

void BM_PlainPread4KiB(benchmark::State& state) {
    int fd = open(PlainStream().c_str(), O_RDONLY);
    std::vector<uint8_t> into(kSmallRead);
    std::mt19937_64 random(7);
    for (auto _ : state) {
        const uint64_t position = random() % (kStreamBytes - kSmallRead);
        if (pread(fd, into.data(), kSmallRead, static_cast<off_t>(position)) != kSmallRead)
            state.SkipWithError("pread failed");
        benchmark::DoNotOptimize(into.data());
    }
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSmallRead));
}
BENCHMARK(BM_PlainPread4KiB);

// ---- memory of many writers at once --------------------------------------------------------

void BM_ManyEntries(benchmark::State& state) {
    constexpr uint32_t kEntries = 1000;
    constexpr uint32_t kPiece = 1316;
    constexpr uint64_t kEntryBytes = 512ull << 10;
    const bool gather = state.range(0) != 0;
    const std::string path = TheScratch().Path("many-writers.cnt");
    long peakKiB = 0;
    for (auto _ : state) {
        unlink(path.c_str());
        const pid_t child = fork();
        if (child == 0) {
            const std::vector<uint8_t> bytes = Bytes(kPiece, 3);
            host::HostBuffer buffer(std::string(bytes.begin(), bytes.end()));
            std::vector<HostFile*> writers;
            for (uint32_t i = 0; i < kEntries; ++i)
                writers.push_back(new HostFile(path, "e" + std::to_string(i), WriteAccess, gather ? kGatherOption : ""));
            for (uint64_t done = 0; done < kEntryBytes; done += kPiece)
                for (HostFile* writer : writers) writer->Write(&buffer);
            for (HostFile* writer : writers) delete writer;
            _exit(0);
        }
        int status = 0;
        struct rusage usage {};
        wait4(child, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("the writer failed");
        peakKiB = std::max(peakKiB, usage.ru_maxrss);
    }
    unlink(path.c_str());
    state.counters["peak_rss_mib"] = static_cast<double>(peakKiB) / 1024.0;
}
BENCHMARK(BM_ManyEntries)->ArgName("gather")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
