// `cont ls` of a container of many small entries against `cat` of the same
// file, both whole processes writing to /dev/null, as a user meets them.
// The time is the CPU time the system counted for cont ls (user + system),
// which a loaded machine inflates less than the wall time; cat_ms is cat's,
// to_cat the ratio of the two, peak_MiB cont ls's largest resident size.
//
// The containers are made with `cont pack` of 1 KiB files, one entry each:
// 10,000 and 65,536 entries.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "../tests/support/child_process.h"

namespace {

namespace fs = std::filesystem;

// The scratch directory and the container of each entry count, made on
// first use and removed at exit.
class Containers {
public:
    Containers() {
        fs::create_directories(BENCH_TMPDIR);
        std::string pattern = std::string(BENCH_TMPDIR) + "/list-XXXXXX";
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch directory");
        dir_ = fs::canonical(pattern);
    }
    ~Containers() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    const std::string& Of(int64_t entries) {
        auto made = made_.find(entries);
        if (made != made_.end()) return made->second;
        const fs::path files = dir_ / ("files" + std::to_string(entries));
        fs::create_directory(files);
        const std::string kibibyte(1024, 'k');
        for (int64_t i = 0; i < entries; ++i) std::ofstream(files / ("f" + std::to_string(i) + ".bin")) << kibibyte;
        const std::string container = (dir_ / ("c" + std::to_string(entries) + ".cnt")).string();
        if (child::Run({CONT_TOOL_PATH, "pack", "-q", container, files.string()}).status != 0)
            throw std::runtime_error("cont pack failed");
        fs::remove_all(files);
        return made_[entries] = container;
    }

private:
    fs::path dir_;
    std::map<int64_t, std::string> made_;
};

Containers& TheContainers() {
    static Containers containers;
    return containers;
}

double Seconds(const struct timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

// The CPU seconds the process took, or a negative number when it failed;
// its peak resident size raises peakKiB.
double CpuSeconds(const std::vector<std::string>& args, long* peakKiB) {
    const child::End end = child::Run(args);
    if (end.status != 0) return -1;
    const struct rusage& usage = end.usage;
    if (usage.ru_maxrss > *peakKiB) *peakKiB = usage.ru_maxrss;
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

// cont ls and cat run in turn, so that a change in the machine's load
// between them moves both.
void ContListAgainstCat(benchmark::State& state) {
    const std::string& container = TheContainers().Of(state.range(0));
    double listSeconds = 0, catSeconds = 0;
    long listPeak = 0, catPeak = 0;
    for (auto _ : state) {
        const double list = CpuSeconds({CONT_TOOL_PATH, "ls", container}, &listPeak);
        const double cat = CpuSeconds({"cat", container}, &catPeak);
        if (list < 0 || cat < 0) {
            state.SkipWithError("a command failed");
            break;
        }
        state.SetIterationTime(list);
        listSeconds += list;
        catSeconds += cat;
    }
    state.counters["cat_ms"] = benchmark::Counter(catSeconds * 1e3, benchmark::Counter::kAvgIterations);
    state.counters["to_cat"] = catSeconds > 0 ? listSeconds / catSeconds : 0;
    state.counters["peak_MiB"] = static_cast<double>(listPeak) / 1024.0;
    state.counters["cat_peak_MiB"] = static_cast<double>(catPeak) / 1024.0;
}

BENCHMARK(ContListAgainstCat)
    ->ArgName("entries")
    ->Arg(10000)
    ->Arg(65536)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2);

}  // namespace
