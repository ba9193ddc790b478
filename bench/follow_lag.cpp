// How far a follower in another process lags behind a gathering writer:
// `cont pack --name live.ts c.cnt -` fed 1,316 bytes (an MPEG-TS packet)
// every 10 ms for 10 seconds, `cont cat --follow c.cnt live.ts` started
// once the entry is there; each piece carries its number, and its arrival
// on cat's output is timed against its sending. Counters: lag_max_ms and
// lag_median_ms over every piece after the first, the bound they are held
// to (lag_bound_ms: the module's gathering delay plus 100 ms), and pieces
// that arrived (all of them, or the run is an error). gather 1 is cont's
// default; gather 0 runs pack with --no-gather, for comparison.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/child_process.h"
#include "container/gathered_bytes.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr size_t kPiece = 1316;
constexpr int kPieces = 1000;
constexpr auto kEvery = std::chrono::milliseconds(10);

// cont with its standard input from `in` and its output to `out` (-1: as
// the benchmark's).
pid_t StartCont(std::vector<std::string> args, int in, int out) {
    child::Setup setup;
    setup.args = std::move(args);
    setup.args.insert(setup.args.begin(), CONT_TOOL_PATH);
    setup.in = child::Stream::From(in >= 0 ? in : 0);
    setup.out = child::Stream::From(out >= 0 ? out : 1);
    setup.err = child::Stream::From(2);
    return child::Start(setup);
}

void BM_FollowLag(benchmark::State& state) {
    const bool gather = state.range(0) != 0;
    const fs::path dir = fs::path(BENCH_TMPDIR) / "follow-lag";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string container = (dir / "c.cnt").string();
    signal(SIGPIPE, SIG_IGN);
    for (auto _ : state) {
        int feed[2], output[2];
        if (pipe2(feed, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) {
            state.SkipWithError("no pipes");
            return;
        }
        std::vector<std::string> packArgs = {"-q", "pack", "--name", "live.ts", container, "-"};
        if (!gather) packArgs.insert(packArgs.begin() + 2, "--no-gather");
        const pid_t pack = StartCont(packArgs, feed[0], -1);
        close(feed[0]);

        std::vector<Clock::time_point> sent(kPieces);
        auto sendPiece = [&](int number) {
            std::string piece(kPiece, static_cast<char>(number));
            std::memcpy(piece.data(), &number, sizeof number);
            sent[number] = Clock::now();
            return write(feed[1], piece.data(), piece.size()) == static_cast<ssize_t>(piece.size());
        };
        // The entry is there once the first piece made the container.
        sendPiece(0);
        for (int i = 0; i < 500 && !fs::exists(container); ++i) std::this_thread::sleep_for(kEvery);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const pid_t cat = StartCont({"-q", "cat", "--follow", container, "live.ts"}, -1, output[1]);
        close(output[1]);

        std::thread sender([&] {
            auto next = Clock::now();
            for (int number = 1; number < kPieces; ++number) {
                next += kEvery;
                std::this_thread::sleep_until(next);
                if (!sendPiece(number)) break;
            }
            close(feed[1]);
        });

        std::vector<double> lags;
        std::string got;
        char buffer[65536];
        for (ssize_t n; (n = read(output[0], buffer, sizeof buffer)) > 0;) {
            const auto now = Clock::now();
            got.append(buffer, static_cast<size_t>(n));
            while (got.size() >= (lags.size() + 1) * kPiece) {
                int number = 0;
                std::memcpy(&number, got.data() + lags.size() * kPiece, sizeof number);
                if (number < 0 || number >= kPieces) break;
                lags.push_back(std::chrono::duration<double, std::milli>(now - sent[number]).count());
            }
        }
        close(output[0]);
        sender.join();
        const int packed = child::Wait(pack).status;
        const int followed = child::Wait(cat).status;
        if (packed != 0 || followed != 0 || lags.size() != static_cast<size_t>(kPieces)) {
            state.SkipWithError("pack or cat failed, or pieces went missing");
            return;
        }
        lags.erase(lags.begin());  // the first was sent before cat started
        std::sort(lags.begin(), lags.end());
        state.counters["lag_max_ms"] = lags.back();
        state.counters["lag_median_ms"] = lags[lags.size() / 2];
        state.counters["lag_bound_ms"] = static_cast<double>(kGatherDelayMs + 100);
        state.counters["pieces"] = static_cast<double>(lags.size() + 1);
        fs::remove(container);
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_FollowLag)->ArgName("gather")->Arg(1)->Arg(0)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
