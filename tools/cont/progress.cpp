#include "progress.h"

#include <cstdio>

#include "local_files.h"

namespace cont {

namespace {

// Smaller copies finish before a line would be worth reading.
constexpr uint64_t kShowFrom = 32ull << 20;
constexpr auto kRedrawEvery = std::chrono::milliseconds(200);

}  // namespace

Progress::Progress(std::string verb, uint64_t total, bool quiet)
    : verb_(std::move(verb)), total_(total), enabled_(!quiet && total >= kShowFrom && StderrIsTerminal()) {}

Progress::~Progress() {
    if (shown_) std::fprintf(stderr, "\r\033[K");
}

void Progress::Advance(uint64_t bytes) {
    done_ += bytes;
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (shown_ && now - last_ < kRedrawEvery) return;
    last_ = now;
    Draw();
}

void Progress::Draw() {
    const double mib = 1024.0 * 1024.0;
    const unsigned percent = total_ ? static_cast<unsigned>(done_ * 100 / total_) : 100;
    std::fprintf(stderr, "\r%s %.1f / %.1f MiB (%u%%)\033[K", verb_.c_str(), done_ / mib, total_ / mib, percent);
    std::fflush(stderr);
    shown_ = true;
}

}  // namespace cont
