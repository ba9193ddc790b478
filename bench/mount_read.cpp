// Reading an entry through `cont mount` against the two yardsticks it is
// held to, in one run:
//  - sequential: `cat` of the mounted entry against `cont cat` of the same
//    entry (both whole processes writing to /dev/null); the mount both with
//    the kernel's cache of the mounted file dropped before every cat (each
//    byte then comes through cont mount) and as it is kept between opens
//    of an unchanged container;
//  - random 4 KiB reads: pread on the mounted entry against pread on the
//    same bytes in a plain file, both from a warm page cache; and once more
//    on the mount with O_DIRECT, so that every read reaches cont mount.
// Ratios: SequentialCatFromMount* / SequentialContCat in bytes per second,
// RandomRead4KMount* / RandomRead4KPlainFile in time per read.
//
// Needs root (or a user allowed to mount) and /dev/fuse. The entry is
// 256 MiB; BENCH_ENTRY_MIB changes that.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/child_process.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kReadSize = 4096;

bool Mounted(const std::string& mountPoint) {
    std::ifstream table("/proc/self/mountinfo");
    for (std::string line; std::getline(table, line);)
        if (line.find(" " + mountPoint + " ") != std::string::npos && line.find(" - fuse.cont ") != std::string::npos)
            return true;
    return false;
}

// The plain file, the container holding it as one entry, and the mount.
class Setup {
public:
    Setup() {
        fs::create_directories(BENCH_TMPDIR);
        std::string pattern = std::string(BENCH_TMPDIR) + "/mount-XXXXXX";
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch directory");
        dir_ = fs::canonical(pattern);
        const char* mib = std::getenv("BENCH_ENTRY_MIB");
        size_ = (mib ? std::strtoull(mib, nullptr, 10) : 256) << 20;
        plain = (dir_ / "entry.bin").string();
        container = (dir_ / "c.cnt").string();
        mountPoint = (dir_ / "mnt").string();
        fs::create_directory(mountPoint);

        std::vector<char> bytes(1 << 20);
        std::mt19937 random(1);
        std::ofstream out(plain, std::ios::binary);
        for (size_t done = 0; done < size_; done += bytes.size()) {
            for (char& c : bytes) c = static_cast<char>(random());
            out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        }
        out.close();
        if (child::Run({CONT_TOOL_PATH, "pack", "-q", container, plain}).status != 0)
            throw std::runtime_error("cont pack failed");
        child::Setup server;
        server.args = {CONT_TOOL_PATH, "mount", "-f", container, mountPoint};
        server_ = child::Start(server);
        for (int i = 0; i < 1000 && !Mounted(mountPoint); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!Mounted(mountPoint)) throw std::runtime_error("cont mount did not mount");
        mounted = mountPoint + "/entry.bin";
    }
    ~Setup() {
        ::umount2(mountPoint.c_str(), MNT_DETACH);
        if (server_) child::Wait(server_);
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    size_t size() const { return size_; }

    std::string plain, container, mountPoint, mounted;

private:
    fs::path dir_;
    size_t size_ = 0;
    pid_t server_ = 0;
};

Setup& Files() {
    static Setup setup;
    return setup;
}

// Drops the pages the kernel caches of a file.
void DropCache(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return;
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
}

void RunToDevNull(benchmark::State& state, const std::vector<std::string>& args, const std::string& uncache = {}) {
    for (auto _ : state) {
        if (!uncache.empty()) {
            state.PauseTiming();
            DropCache(uncache);
            state.ResumeTiming();
        }
        if (child::Run(args).status != 0) state.SkipWithError("the command failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Files().size()));
}

void SequentialCatFromMountUncached(benchmark::State& state) {
    RunToDevNull(state, {"cat", Files().mounted}, Files().mounted);
}

void SequentialCatFromMount(benchmark::State& state) { RunToDevNull(state, {"cat", Files().mounted}); }

void SequentialContCat(benchmark::State& state) {
    RunToDevNull(state, {CONT_TOOL_PATH, "cat", "-q", Files().container, "entry.bin"});
}

// 4 KiB reads at random 4 KiB-aligned offsets, after one pass over the
// file so that it is all in the page cache where the file system keeps one.
void RandomReads(benchmark::State& state, const std::string& path, int flags) {
    const int fd = open(path.c_str(), O_RDONLY | flags);
    if (fd < 0) return state.SkipWithError("cannot open");
    void* buffer = nullptr;
    if (posix_memalign(&buffer, kReadSize, 1 << 20) != 0) return state.SkipWithError("no memory");
    while (read(fd, buffer, 1 << 20) > 0) {
    }
    std::mt19937_64 random(7);
    const uint64_t blocks = Files().size() / kReadSize;
    for (auto _ : state) {
        const off_t offset = static_cast<off_t>((random() % blocks) * kReadSize);
        if (pread(fd, buffer, kReadSize, offset) != static_cast<ssize_t>(kReadSize)) {
            state.SkipWithError("short read");
            break;
        }
        benchmark::DoNotOptimize(buffer);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kReadSize));
    std::free(buffer);
    close(fd);
}

void RandomRead4KPlainFile(benchmark::State& state) { RandomReads(state, Files().plain, 0); }
void RandomRead4KMount(benchmark::State& state) { RandomReads(state, Files().mounted, 0); }
void RandomRead4KMountDirect(benchmark::State& state) { RandomReads(state, Files().mounted, O_DIRECT); }

BENCHMARK(SequentialCatFromMountUncached)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(SequentialCatFromMount)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(SequentialContCat)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);
BENCHMARK(RandomRead4KPlainFile)->UseRealTime();
BENCHMARK(RandomRead4KMount)->UseRealTime();
BENCHMARK(RandomRead4KMountDirect)->UseRealTime();

}  // namespace
