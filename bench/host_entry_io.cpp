// Entry input and output as a host drives it: file objects opened on "cont"
// URLs, read, written and sought through IQLXFileObject and IQLXFileObject64,
// each scenario beside plain descriptor I/O on the same number of bytes, in
// the same run:
//
//  - Interleaved: 8 entries of 32 MiB written round-robin in 4 KiB pieces
//    (a data record every 4 KiB, the other seven entries' records between
//    two of one entry); one entry read through in 64 KiB reads, against
//    read() of a 32 MiB plain file in 64 KiB pieces. /0: the container stays
//    open across passes; /1: every pass opens it afresh (directory and
//    first read included);
//  - SeekRead: a seek to a random position plus a 4 KiB read, in that
//    interleaved entry and in an entry of one record, against pread() of
//    4 KiB from the 32 MiB plain file; FreshSeekRead: the same in a
//    container just opened, while its record map is being learned;
//  - OpenOneOf10000: opening one entry of a container of 10,000 entries
//    (1 KiB of data each; the directory is read) and releasing it, against
//    reading the whole file once with read() in 128 KiB pieces. The counter
//    read_calls_per_entry is the read system calls (/proc/self/io syscr)
//    per entry of one open;
//  - InterleavedWrite: the interleaved container written afresh (8 file
//    objects round-robin in 4 KiB pieces), against write() of 256 MiB in
//    4 KiB pieces;
//  - Stream: one 256 MiB entry read in 64 KiB pieces, and written in 64 KiB
//    pieces (open, writes, close), against read() and write() of a 256 MiB
//    plain file.
//
// Every file, once made, is written back and dropped from the page cache,
// then read once: the page cache then holds it as a file read from disk
// does. (A file just written in small pieces sits in the page cache in
// pieces that size, and reads from there up to twice as slowly.)
//
// Ratios: compare each Container* row with the Plain* row of its scenario
// (bytes_per_second for transfers, CPU time for seeks and opens). The
// counters map_bytes_per_mapped_byte and map_records show what the record
// map of the entry read holds once it has been read through.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "host_io.h"
#include "uring_reads.h"
#include "container/container_file.h"
#include "container/container_registry.h"
#include "vfile/virtual_file_object.h"

namespace {

constexpr uint32_t kInterleavedEntries = 8;
constexpr uint64_t kInterleavedEntryBytes = 32ull << 20;
constexpr uint32_t kWritePiece = 4 << 10;
constexpr uint32_t kReadPiece = 64 << 10;
constexpr uint32_t kSmallRead = 4 << 10;
constexpr uint32_t kManyEntries = 10000;
constexpr uint32_t kManyEntryBytes = 1 << 10;
constexpr uint64_t kStreamBytes = 256ull << 20;

// What the record map of an entry of an open container holds: the records
// kept, and its memory per byte it maps.
void ReportRecordMap(benchmark::State& state, const std::string& path, const std::string& entry) {
    void* value = nullptr;
    {
        RegistryHold hold;
        ContainerRegistry().Lookup(path.c_str(), &value);
    }
    CContainerFile* container = static_cast<CContainerFile*>(static_cast<IContainerFile*>(value));
    if (!container) return;
    const CContainerFile::RecordMapUse use = container->RecordMapOf(container->FindEntry(entry.c_str()));
    state.counters["map_records"] = static_cast<double>(use.records);
    state.counters["map_bytes_per_mapped_byte"] =
        use.mappedBytes ? static_cast<double>(use.memoryBytes) / static_cast<double>(use.mappedBytes) : 0.0;
}

void WritePlainFile(const std::string& path, uint64_t size) {
    std::vector<uint8_t> piece = Bytes(kReadPiece, 1);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    for (uint64_t done = 0; done < size; done += kReadPiece) benchmark::DoNotOptimize(write(fd, piece.data(), kReadPiece));
    close(fd);
    AsIfReadFromDisk(path);
}

std::string EntryName(uint32_t i) { return "cam" + std::to_string(i); }

// ---- the files, each made once ----------------------------------------------------

const std::string& PlainFile32MiB() {
    static const std::string path = [] {
        std::string p = TheScratch().Path("plain32.raw");
        WritePlainFile(p, kInterleavedEntryBytes);
        return p;
    }();
    return path;
}

// 8 entries written round-robin in 4 KiB pieces by 8 file objects.
const std::string& InterleavedContainer() {
    static const std::string path = [] {
        std::string p = TheScratch().Path("interleaved.cnt");
        std::vector<HostFile*> writers;
        for (uint32_t i = 0; i < kInterleavedEntries; ++i) writers.push_back(new HostFile(p, EntryName(i), WriteAccess));
        std::vector<uint8_t> bytes = Bytes(kWritePiece, 2);
        host::HostBuffer piece(std::string(bytes.begin(), bytes.end()));
        for (uint64_t done = 0; done < kInterleavedEntryBytes; done += kWritePiece)
            for (HostFile* writer : writers) writer->Write(&piece);
        for (HostFile* writer : writers) delete writer;
        AsIfReadFromDisk(p);
        return p;
    }();
    return path;
}

// One entry of 32 MiB written in one piece: one data record.
const std::string& OneRecordContainer() {
    static const std::string path = [] {
        std::string p = TheScratch().Path("one-record.cnt");
        std::vector<uint8_t> bytes = Bytes(kInterleavedEntryBytes, 3);
        host::HostBuffer piece(std::string(bytes.begin(), bytes.end()));
        HostFile(p, "whole", WriteAccess).Write(&piece);
        AsIfReadFromDisk(p);
        return p;
    }();
    return path;
}

// 10,000 entries of 1 KiB each, every entry added before the first write
// (so the directory comes first, then the data).
const std::string& ManyEntryContainer() {
    static const std::string path = [] {
        std::string p = TheScratch().Path("many.cnt");
        std::vector<uint8_t> bytes = Bytes(kManyEntryBytes, 4);
        host::HostBuffer piece(std::string(bytes.begin(), bytes.end()));
        std::vector<HostFile*> writers;
        for (uint32_t i = 0; i < kManyEntries; ++i) writers.push_back(new HostFile(p, "e" + std::to_string(i), WriteAccess));
        for (HostFile* writer : writers) writer->Write(&piece);
        for (HostFile* writer : writers) delete writer;
        AsIfReadFromDisk(p);
        return p;
    }();
    return path;
}

// ---- interleaved read through -------------------------------------------------------

void BM_ContainerInterleavedRead64KiB(benchmark::State& state) {
    const bool reopen = state.range(0) != 0;
    const std::string& path = InterleavedContainer();
    HostFile* file = reopen ? nullptr : new HostFile(path, EntryName(3), ReadAccess);
    for (auto _ : state) {
        if (reopen) file = new HostFile(path, EntryName(3), ReadAccess);
        if (file->ReadThrough(kReadPiece) != kInterleavedEntryBytes) state.SkipWithError("short read");
        if (reopen) delete file;
    }
    if (!reopen) {
        ReportRecordMap(state, path, EntryName(3));
        delete file;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kInterleavedEntryBytes));
}
BENCHMARK(BM_ContainerInterleavedRead64KiB)->ArgName("reopen")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_PlainRead64KiB(benchmark::State& state) {
    int fd = open(PlainFile32MiB().c_str(), O_RDONLY);
    std::vector<uint8_t> into(kReadPiece);
    for (auto _ : state) {
        lseek(fd, 0, SEEK_SET);
        for (uint64_t done = 0; done < kInterleavedEntryBytes; done += kReadPiece)
            if (read(fd, into.data(), kReadPiece) != kReadPiece) state.SkipWithError("short read");
        benchmark::DoNotOptimize(into.data());
    }
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kInterleavedEntryBytes));
}
BENCHMARK(BM_PlainRead64KiB)->Unit(benchmark::kMillisecond);

// Where the bytes of one entry of the interleaved container lie, found by
// walking the record heads with plain preads: the data of each record.
struct LayoutPiece {
    uint64_t offset;   // file offset of the first data byte
    uint64_t logical;  // entry offset of that byte
    uint32_t length;
};

const std::vector<LayoutPiece>& InterleavedLayout() {
    static const std::vector<LayoutPiece> pieces = [] {
        std::vector<LayoutPiece> found;
        int fd = open(InterleavedContainer().c_str(), O_RDONLY);
        uint8_t head[17];
        auto get32 = [&head](int at) { return uint32_t{head[at]} << 24 | head[at + 1] << 16 | head[at + 2] << 8 | head[at + 3]; };
        const uint32_t title = pread(fd, head, 11, 0) == 11 ? get32(7) : 0;
        uint64_t logical = 0;
        for (uint64_t at = 11 + title; pread(fd, head, 17, static_cast<off_t>(at)) == 17;) {
            const uint32_t length = get32(1);
            if (head[0] == 2 && get32(5) == 3) {
                found.push_back({at + 17, logical, length - 12});
                logical += length - 12;
            }
            if (length == 0) break;
            at += 5 + length;
        }
        close(fd);
        return found;
    }();
    return pieces;
}

// The reads that take [position, position + count) of the entry into `to`:
// one per piece of a record the span meets.
void SpanReads(uint64_t position, uint32_t count, uint8_t* to, std::vector<UringReads::Read>* reads) {
    const std::vector<LayoutPiece>& pieces = InterleavedLayout();
    reads->clear();
    auto piece = std::upper_bound(pieces.begin(), pieces.end(), position,
                                  [](uint64_t p, const LayoutPiece& x) { return p < x.logical; }) -
                 1;
    for (uint32_t done = 0; done < count; ++piece) {
        const uint64_t into = position + done - piece->logical;
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(piece->length - into, count - done));
        reads->push_back({piece->offset + into, to + done, n});
        done += n;
    }
}

// The floor this layout sets, with no container code at all: the entry's
// bytes taken with one pread() per piece of a record, at offsets found
// beforehand. /0: read through in 64 KiB; /1: a 4 KiB read at a random
// position (a pread for each of the pieces it spans). PlainUringInLayout:
// the same reads, those of one span handed to the kernel together through
// io_uring (one system call per span instead of one per piece).
template <bool kUring>
void PlainReadsInLayout(benchmark::State& state) {
    const bool random4KiB = state.range(0) != 0;
    int fd = open(InterleavedContainer().c_str(), O_RDONLY);
    UringReads ring(32);
    if (kUring && !ring.Usable()) state.SkipWithError("io_uring cannot be set up here");
    std::vector<uint8_t> into(kReadPiece);
    std::vector<UringReads::Read> reads;
    std::mt19937_64 random(7);
    auto readSpan = [&](uint64_t position, uint32_t count) {
        SpanReads(position, count, into.data(), &reads);
        if (kUring) {
            if (!ring.ReadAll(fd, reads.data(), static_cast<unsigned>(reads.size()))) state.SkipWithError("short read");
            return;
        }
        for (const UringReads::Read& read : reads)
            if (pread(fd, read.into, read.length, static_cast<off_t>(read.offset)) != read.length)
                state.SkipWithError("short read");
    };
    for (auto _ : state) {
        if (random4KiB) {
            readSpan(random() % (kInterleavedEntryBytes - kSmallRead), kSmallRead);
        } else {
            for (uint64_t done = 0; done < kInterleavedEntryBytes; done += kReadPiece) readSpan(done, kReadPiece);
        }
        benchmark::DoNotOptimize(into.data());
    }
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (random4KiB ? kSmallRead : kInterleavedEntryBytes)));
}

void BM_PlainPreadInLayout(benchmark::State& state) { PlainReadsInLayout<false>(state); }
void BM_PlainUringInLayout(benchmark::State& state) { PlainReadsInLayout<true>(state); }
BENCHMARK(BM_PlainUringInLayout)->ArgName("random4KiB")->Arg(0)->Arg(1);
BENCHMARK(BM_PlainPreadInLayout)->ArgName("random4KiB")->Arg(0)->Arg(1);

// ---- random seek plus 4 KiB read ------------------------------------------------------

void BM_ContainerSeekRead4KiB(benchmark::State& state) {
    const bool interleaved = state.range(0) != 0;
    HostFile file(interleaved ? InterleavedContainer() : OneRecordContainer(), interleaved ? EntryName(3) : "whole",
                  ReadAccess);
    std::mt19937_64 random(7);
    for (auto _ : state) {
        uint64_t position = random() % (kInterleavedEntryBytes - kSmallRead);
        if (file.Seek(position) != S_OK || file.Read(kSmallRead) != S_OK) state.SkipWithError("seek or read failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSmallRead));
}
BENCHMARK(BM_ContainerSeekRead4KiB)->ArgName("interleaved")->Arg(1)->Arg(0);

// Random seeks plus 4 KiB reads in a container just opened, whose record
// map starts empty: each seek scans from a seek-table slot and the map
// learns the records it passes amid those learned before. One pass: open,
// a read at the entry's end, then 256 seeks and reads at random positions.
void BM_ContainerFreshSeekRead4KiB(benchmark::State& state) {
    const std::string& path = InterleavedContainer();
    std::mt19937_64 random(7);
    for (auto _ : state) {
        HostFile file(path, EntryName(3), ReadAccess);
        if (file.Seek(kInterleavedEntryBytes - kSmallRead) != S_OK || file.Read(kSmallRead) != S_OK)
            state.SkipWithError("seek or read failed");
        for (int i = 0; i < 256; ++i) {
            uint64_t position = random() % (kInterleavedEntryBytes - kSmallRead);
            if (file.Seek(position) != S_OK || file.Read(kSmallRead) != S_OK) state.SkipWithError("seek or read failed");
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 257));
}
BENCHMARK(BM_ContainerFreshSeekRead4KiB)->Unit(benchmark::kMillisecond);

void BM_PlainPread4KiB(benchmark::State& state) {
    int fd = open(PlainFile32MiB().c_str(), O_RDONLY);
    std::vector<uint8_t> into(kSmallRead);
    std::mt19937_64 random(7);
    for (auto _ : state) {
        uint64_t position = random() % (kInterleavedEntryBytes - kSmallRead);
        if (pread(fd, into.data(), kSmallRead, static_cast<off_t>(position)) != kSmallRead)
            state.SkipWithError("pread failed");
        benchmark::DoNotOptimize(into.data());
    }
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSmallRead));
}
BENCHMARK(BM_PlainPread4KiB);

// ---- opening one entry of 10,000 --------------------------------------------------

// Read system calls of this process so far (/proc/self/io), -1 when unknown.
int64_t ReadCalls() {
    FILE* io = std::fopen("/proc/self/io", "r");
    if (!io) return -1;
    char line[128];
    long long calls = -1;
    while (std::fgets(line, sizeof line, io))
        if (std::sscanf(line, "syscr: %lld", &calls) == 1) break;
    std::fclose(io);
    return calls;
}

void BM_ContainerOpenOneOf10000(benchmark::State& state) {
    const std::string& path = ManyEntryContainer();
    int64_t calls = 0;
    for (auto _ : state) {
        const int64_t before = ReadCalls();
        {
            HostFile file(path, "e5000", ReadAccess);
            if (!file.Opened()) state.SkipWithError("open failed");
        }
        calls += ReadCalls() - before - 1;  // less the read of /proc/self/io itself
    }
    state.counters["read_calls_per_entry"] =
        benchmark::Counter(static_cast<double>(calls) / static_cast<double>(state.iterations() * kManyEntries));
}
BENCHMARK(BM_ContainerOpenOneOf10000)->Unit(benchmark::kMillisecond);

void BM_PlainReadWholeFile(benchmark::State& state) {
    const std::string& path = ManyEntryContainer();
    std::vector<uint8_t> into(128 << 10);
    uint64_t total = 0;
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDONLY);
        ssize_t got;
        while ((got = read(fd, into.data(), into.size())) > 0) total += static_cast<uint64_t>(got);
        benchmark::DoNotOptimize(into.data());
        close(fd);
    }
    state.SetBytesProcessed(static_cast<int64_t>(total));
}
BENCHMARK(BM_PlainReadWholeFile)->Unit(benchmark::kMillisecond);

// ---- interleaved writing ----------------------------------------------------------------

// Each pass writes a new container as the interleaved one was made: 8 file
// objects writing 32 MiB each round-robin in 4 KiB pieces, then closing;
// against write() of 256 MiB in 4 KiB pieces to a new plain file.
void BM_ContainerInterleavedWrite4KiB(benchmark::State& state) {
    const std::string path = TheScratch().Path("interleaved-written.cnt");
    std::vector<uint8_t> bytes = Bytes(kWritePiece, 2);
    host::HostBuffer piece(std::string(bytes.begin(), bytes.end()));
    for (auto _ : state) {
        state.PauseTiming();
        StartWritingAfresh(path);
        state.ResumeTiming();
        std::vector<HostFile*> writers;
        for (uint32_t i = 0; i < kInterleavedEntries; ++i) writers.push_back(new HostFile(path, EntryName(i), WriteAccess));
        for (uint64_t done = 0; done < kInterleavedEntryBytes; done += kWritePiece)
            for (HostFile* writer : writers)
                if (writer->Write(&piece) != S_OK) state.SkipWithError("write failed");
        for (HostFile* writer : writers) delete writer;
    }
    unlink(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kInterleavedEntries * kInterleavedEntryBytes));
}
BENCHMARK(BM_ContainerInterleavedWrite4KiB)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_PlainWrite4KiB(benchmark::State& state) {
    const std::string path = TheScratch().Path("written-small.raw");
    std::vector<uint8_t> bytes = Bytes(kWritePiece, 2);
    for (auto _ : state) {
        state.PauseTiming();
        StartWritingAfresh(path);
        state.ResumeTiming();
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        for (uint64_t done = 0; done < kInterleavedEntries * kInterleavedEntryBytes; done += kWritePiece)
            if (write(fd, bytes.data(), kWritePiece) != kWritePiece) state.SkipWithError("write failed");
        close(fd);
    }
    unlink(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kInterleavedEntries * kInterleavedEntryBytes));
}
BENCHMARK(BM_PlainWrite4KiB)->Unit(benchmark::kMillisecond)->Iterations(3);

// ---- one 256 MiB entry ----------------------------------------------------------------

const std::string& StreamContainer() {
    static const std::string path = [] {
        std::string p = TheScratch().Path("stream.cnt");
        std::vector<uint8_t> bytes = Bytes(kReadPiece, 5);
        host::HostBuffer piece(std::string(bytes.begin(), bytes.end()));
        {
            HostFile writer(p, "stream", WriteAccess);
            for (uint64_t done = 0; done < kStreamBytes; done += kReadPiece) writer.Write(&piece);
        }
        AsIfReadFromDisk(p);
        return p;
    }();
    return path;
}

const std::string& PlainFile256MiB() {
    static const std::string path = [] {
        std::string p = TheScratch().Path("plain256.raw");
        WritePlainFile(p, kStreamBytes);
        return p;
    }();
    return path;
}

void BM_ContainerStreamRead64KiB(benchmark::State& state) {
    HostFile file(StreamContainer(), "stream", ReadAccess);
    for (auto _ : state)
        if (file.ReadThrough(kReadPiece) != kStreamBytes) state.SkipWithError("short read");
    ReportRecordMap(state, StreamContainer(), "stream");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
}
BENCHMARK(BM_ContainerStreamRead64KiB)->Unit(benchmark::kMillisecond);

void BM_PlainStreamRead64KiB(benchmark::State& state) {
    int fd = open(PlainFile256MiB().c_str(), O_RDONLY);
    std::vector<uint8_t> into(kReadPiece);
    for (auto _ : state) {
        lseek(fd, 0, SEEK_SET);
        for (uint64_t done = 0; done < kStreamBytes; done += kReadPiece)
            if (read(fd, into.data(), kReadPiece) != kReadPiece) state.SkipWithError("short read");
        benchmark::DoNotOptimize(into.data());
    }
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
}
BENCHMARK(BM_PlainStreamRead64KiB)->Unit(benchmark::kMillisecond);

// Each pass writes a new file: open, 4096 writes of 64 KiB, close.
void BM_ContainerStreamWrite64KiB(benchmark::State& state) {
    const std::string path = TheScratch().Path("written.cnt");
    std::vector<uint8_t> bytes = Bytes(kReadPiece, 6);
    host::HostBuffer piece(std::string(bytes.begin(), bytes.end()));
    for (auto _ : state) {
        state.PauseTiming();
        StartWritingAfresh(path);
        state.ResumeTiming();
        HostFile writer(path, "stream", WriteAccess);
        for (uint64_t done = 0; done < kStreamBytes; done += kReadPiece)
            if (writer.Write(&piece) != S_OK) state.SkipWithError("write failed");
    }
    unlink(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
}
BENCHMARK(BM_ContainerStreamWrite64KiB)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_PlainStreamWrite64KiB(benchmark::State& state) {
    const std::string path = TheScratch().Path("written.raw");
    std::vector<uint8_t> bytes = Bytes(kReadPiece, 6);
    for (auto _ : state) {
        state.PauseTiming();
        StartWritingAfresh(path);
        state.ResumeTiming();
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        for (uint64_t done = 0; done < kStreamBytes; done += kReadPiece)
            if (write(fd, bytes.data(), kReadPiece) != kReadPiece) state.SkipWithError("write failed");
        close(fd);
    }
    unlink(path.c_str());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStreamBytes));
}
BENCHMARK(BM_PlainStreamWrite64KiB)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
