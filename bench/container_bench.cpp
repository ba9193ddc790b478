// Entry input and output of a container against plain descriptor I/O on the
// same bytes, in the same run:
//  - writing and then reading a 256 MiB entry in 64 KiB pieces, against
//    write() and read() of 256 MiB in 64 KiB pieces, at offset 0 and at the
//    offset where the container's first data record starts its bytes. Pieces
//    there straddle the kernel's page-cache blocks, which the second plain
//    variant shows the cost of; the container's writer moves a stream to a
//    block-aligned record after its first 4 MiB to avoid it;
//  - a seek to a random position plus a 4 KiB read, against one pread() of
//    4 KiB, for an entry written alone (one data record) and for one written
//    interleaved with another entry (a record every 64 KiB).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "buffer/kt_buffer.h"
#include "container/container_file.h"

namespace {

constexpr uint32_t kPiece = 64 << 10;
constexpr uint64_t kEntryBytes = 256ull << 20;
constexpr uint32_t kSmallRead = 4 << 10;

// One scratch directory for the run, removed with its files at exit.
class Scratch {
public:
    Scratch() {
        std::string pattern = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/contfs-bench-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data())) m_dir = name.data();
    }
    ~Scratch() {
        std::error_code error;
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir, error);
    }
    const std::string& Dir() const { return m_dir; }

private:
    std::string m_dir;
};

std::string ScratchDir() {
    static Scratch scratch;
    return scratch.Dir();
}

std::vector<uint8_t> PieceBytes() {
    std::vector<uint8_t> bytes(kPiece);
    for (uint32_t i = 0; i < kPiece; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 11));
    return bytes;
}

// ---- 256 MiB write then read -------------------------------------------------------

// Each iteration starts on a new file. The transfers are timed; opening and
// closing (which writes the directory records and the header's clean flag)
// are timed only with open_close_timed:1.
void BM_ContainerWriteThenRead256MiB(benchmark::State& state) {
    const bool openCloseTimed = state.range(0) != 0;
    const std::string path = ScratchDir() + "/stream.cfs";
    std::vector<uint8_t> bytes = PieceBytes();
    CKTBuffer* piece = CKTBuffer::CreateWith(bytes.data(), kPiece);
    for (auto _ : state) {
        state.PauseTiming();
        unlink(path.c_str());
        if (openCloseTimed) state.ResumeTiming();
        CContainerFile* container = new CContainerFile(path.c_str(), kContainerWriteAccess);
        container->AddRef();
        ContainerEntry* entry = container->AddEntry("stream");
        if (!openCloseTimed) state.ResumeTiming();
        EntryCursor writer{};
        writer.index = entry->index;
        for (uint64_t done = 0; done < kEntryBytes; done += kPiece) {
            if (container->WriteEntry(&writer, piece) != S_OK) state.SkipWithError("write failed");
        }
        EntryCursor reader{};
        reader.index = entry->index;
        for (uint64_t done = 0; done < kEntryBytes; done += kPiece) {
            IQLXBuffer* got = nullptr;
            if (container->ReadEntry(&reader, &got, kPiece) != S_OK) state.SkipWithError("read failed");
            benchmark::DoNotOptimize(got->GetBuffer());
            got->Release();
        }
        if (!openCloseTimed) state.PauseTiming();
        container->Release();
        if (!openCloseTimed) state.ResumeTiming();
    }
    piece->Release();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 2 * kEntryBytes));
    unlink(path.c_str());
}
BENCHMARK(BM_ContainerWriteThenRead256MiB)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(4)
    ->ArgName("open_close_timed")
    ->Arg(0)
    ->Arg(1);

// Where the one data record's bytes start in the container above: header
// (11 + 10), index record (5 + 2056), entry record (5 + 4 + 6 + 8016), data head.
constexpr off_t kContainerDataStart = 21 + 2061 + 8031 + 17;

void BM_PlainWriteThenRead256MiB(benchmark::State& state) {
    const off_t start = state.range(0) ? kContainerDataStart : 0;
    const bool openCloseTimed = state.range(1) != 0;
    const std::string path = ScratchDir() + "/stream.raw";
    std::vector<uint8_t> bytes = PieceBytes();
    std::vector<uint8_t> into(kPiece);
    std::vector<uint8_t> lead(static_cast<size_t>(kContainerDataStart));
    for (auto _ : state) {
        state.PauseTiming();
        unlink(path.c_str());
        if (openCloseTimed) state.ResumeTiming();
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (start != 0 && write(fd, lead.data(), lead.size()) != start) state.SkipWithError("write failed");
        if (!openCloseTimed) state.ResumeTiming();
        for (uint64_t done = 0; done < kEntryBytes; done += kPiece) {
            if (write(fd, bytes.data(), kPiece) != kPiece) state.SkipWithError("write failed");
        }
        lseek(fd, start, SEEK_SET);
        for (uint64_t done = 0; done < kEntryBytes; done += kPiece) {
            if (read(fd, into.data(), kPiece) != kPiece) state.SkipWithError("read failed");
            benchmark::DoNotOptimize(into.data());
        }
        if (!openCloseTimed) state.PauseTiming();
        close(fd);
        if (!openCloseTimed) state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * 2 * kEntryBytes));
    unlink(path.c_str());
}
BENCHMARK(BM_PlainWriteThenRead256MiB)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(4)
    ->ArgNames({"at_container_data_offset", "open_close_timed"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1});

// ---- random seek plus 4 KiB read ----------------------------------------------------

constexpr uint64_t kSeekEntryBytes = 128ull << 20;

// Writes the entry once (alone, or interleaved piece by piece with a second
// entry) and the same bytes to a plain file.
const std::string& SeekContainer(bool interleaved) {
    static std::string paths[2];
    std::string& path = paths[interleaved];
    if (!path.empty()) return path;
    path = ScratchDir() + (interleaved ? "/seek-mixed.cfs" : "/seek-alone.cfs");
    std::vector<uint8_t> bytes = PieceBytes();
    CKTBuffer* piece = CKTBuffer::CreateWith(bytes.data(), kPiece);
    CContainerFile* container = new CContainerFile(path.c_str(), kContainerWriteAccess);
    container->AddRef();
    EntryCursor target{}, other{};
    target.index = container->AddEntry("target")->index;
    other.index = container->AddEntry("other")->index;
    for (uint64_t done = 0; done < kSeekEntryBytes; done += kPiece) {
        container->WriteEntry(&target, piece);
        if (interleaved) container->WriteEntry(&other, piece);
    }
    container->Release();
    piece->Release();
    return path;
}

const std::string& SeekPlainFile() {
    static std::string path;
    if (!path.empty()) return path;
    path = ScratchDir() + "/seek.raw";
    std::vector<uint8_t> bytes = PieceBytes();
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    for (uint64_t done = 0; done < kSeekEntryBytes; done += kPiece) {
        benchmark::DoNotOptimize(write(fd, bytes.data(), kPiece));
    }
    close(fd);
    return path;
}

void BM_ContainerSeekRead4KiB(benchmark::State& state) {
    const bool interleaved = state.range(0) != 0;
    CContainerFile* container = new CContainerFile(SeekContainer(interleaved).c_str(), kContainerReadAccess);
    container->AddRef();
    if (container->ReadDirectory() != S_OK) state.SkipWithError("no directory");
    EntryCursor cursor{};
    cursor.index = container->FindEntry("target")->index;
    std::mt19937_64 random(7);
    for (auto _ : state) {
        uint64_t position = random() % (kSeekEntryBytes - kSmallRead);
        IQLXBuffer* got = nullptr;
        if (container->SeekEntry(&cursor, position) != S_OK ||
            container->ReadEntry(&cursor, &got, kSmallRead) != S_OK)
            state.SkipWithError("seek or read failed");
        benchmark::DoNotOptimize(got->GetBuffer());
        got->Release();
    }
    container->Release();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSmallRead));
}
BENCHMARK(BM_ContainerSeekRead4KiB)->Arg(0)->Arg(1);

void BM_PlainPread4KiB(benchmark::State& state) {
    int fd = open(SeekPlainFile().c_str(), O_RDONLY);
    std::vector<uint8_t> into(kSmallRead);
    std::mt19937_64 random(7);
    for (auto _ : state) {
        uint64_t position = random() % (kSeekEntryBytes - kSmallRead);
        if (pread(fd, into.data(), kSmallRead, static_cast<off_t>(position)) != kSmallRead)
            state.SkipWithError("pread failed");
        benchmark::DoNotOptimize(into.data());
    }
    close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSmallRead));
}
BENCHMARK(BM_PlainPread4KiB);

}  // namespace
