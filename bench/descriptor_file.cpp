// The plain data file: the positioned small reads and writes a container
// makes (seek, then a record head or a data chunk).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "datafile/descriptor_file.h"

namespace {

constexpr uint32_t kFileBytes = 4 << 20;

std::string ScratchPath() {
    char name[] = "/tmp/contfs-bench-XXXXXX";
    int fd = ::mkstemp(name);
    if (fd >= 0) ::close(fd);
    return name;
}

void BM_SeekAndRead(benchmark::State& state) {
    const uint32_t chunk = static_cast<uint32_t>(state.range(0));
    std::string path = ScratchPath();
    DescriptorFile file;
    file.Open(path.c_str(), kOpenBinary | kOpenReadWrite | kOpenCreate | kOpenTruncate, 0);
    std::vector<char> bytes(kFileBytes, 'x');
    file.Write(bytes.data(), kFileBytes);
    uint64_t offset = 0;
    for (auto _ : state) {
        file.Seek64(static_cast<uint32_t>(offset), 0, kSeekSet);
        benchmark::DoNotOptimize(file.Read(bytes.data(), chunk));
        offset = (offset + 7919 * 64) % (kFileBytes - chunk);
    }
    state.SetBytesProcessed(state.iterations() * chunk);
    file.Delete(path.c_str());
}
BENCHMARK(BM_SeekAndRead)->Arg(5)->Arg(4096)->Arg(65536);

void BM_AppendWrite(benchmark::State& state) {
    const uint32_t chunk = static_cast<uint32_t>(state.range(0));
    std::string path = ScratchPath();
    DescriptorFile file;
    file.Open(path.c_str(), kOpenBinary | kOpenReadWrite | kOpenCreate | kOpenTruncate, 0);
    std::vector<char> bytes(chunk, 'y');
    uint64_t written = 0;
    for (auto _ : state) {
        if (written > (64u << 20)) {
            state.PauseTiming();
            file.SetFileLength(0);
            file.Rewind();
            written = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(file.Write(bytes.data(), chunk));
        written += chunk;
    }
    state.SetBytesProcessed(state.iterations() * chunk);
    file.Delete(path.c_str());
}
BENCHMARK(BM_AppendWrite)->Arg(4096)->Arg(65536);

}  // namespace
