#include "progress.h"

#include <cinttypes>
#include <cstdio>

#include "errors.h"
#include "local_files.h"
#include "standard_output.h"

namespace cont {

namespace {

// The progress line on the terminal now, if any: one at a time.
Progress* g_shown = nullptr;

// Smaller copies finish before a line would be worth reading.
constexpr uint64_t kShowFrom = 32ull << 20;
// A copy of unknown size gets its line once it has run this long, even if
// it is small: a slow pipe is worth watching too.
constexpr auto kShowAfter = std::chrono::seconds(1);
constexpr auto kRedrawEvery = std::chrono::milliseconds(200);
// The rate is taken over this much of the recent past.
constexpr auto kRateWindow = std::chrono::seconds(5);

std::string Duration(double seconds) {
    const uint64_t s = static_cast<uint64_t>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%" PRIu64 ":%02u:%02u", s / 3600, static_cast<unsigned>(s / 60 % 60),
                      static_cast<unsigned>(s % 60));
    else
        std::snprintf(text, sizeof text, "%u:%02u", static_cast<unsigned>(s / 60), static_cast<unsigned>(s % 60));
    return text;
}

}  // namespace

Progress::Progress(std::string verb, uint64_t total, bool quiet)
    : verb_(std::move(verb)),
      total_(total),
      enabled_(!quiet && (total == kUnknownTotal || total >= kShowFrom) && StderrIsTerminal()) {
    // The start is the first sample, so the first line has a rate.
    samples_.push_back(Sample{start_, 0});
}

Progress::~Progress() {
    if (shown_) std::fprintf(stderr, "\r\033[K");
    if (g_shown == this) g_shown = nullptr;
}

void PutDoneLine(const std::string& name) {
    if (g_shown) g_shown->Erase();
    std::string line;
    AppendPrintable(&line, name);
    line.push_back('\n');
    PutOut(line);
    // Before the progress line comes back on the terminal.
    if (g_shown) FlushOut();
}

void Progress::Erase() {
    if (!shown_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    shown_ = false;
}

void Progress::Advance(uint64_t bytes) {
    done_ += bytes;
    if (!enabled_) return;
    const auto now = Clock::now();
    if (!shown_ && total_ == kUnknownTotal && done_ < kShowFrom && now - start_ < kShowAfter) return;
    if (shown_ && now - last_ < kRedrawEvery) return;
    last_ = now;
    samples_.push_back(Sample{now, done_});
    while (samples_.size() > 2 && now - samples_.front().at > kRateWindow) samples_.pop_front();
    Draw();
}

double Progress::Rate() const {
    if (samples_.size() < 2) return 0;
    const double seconds = std::chrono::duration<double>(samples_.back().at - samples_.front().at).count();
    return seconds > 0 ? (samples_.back().done - samples_.front().done) / seconds : 0;
}

void Progress::Draw() {
    const double mib = 1024.0 * 1024.0;
    const double rate = Rate();
    std::string line = "\r" + verb_;
    char text[96];
    if (total_ == kUnknownTotal) {
        std::snprintf(text, sizeof text, " %.1f MiB", done_ / mib);
    } else {
        const unsigned percent = total_ ? static_cast<unsigned>(done_ * 100 / total_) : 100;
        std::snprintf(text, sizeof text, " %.1f / %.1f MiB (%u%%)", done_ / mib, total_ / mib, percent);
    }
    line += text;
    if (rate > 0) {
        std::snprintf(text, sizeof text, "  %.1f MiB/s", rate / mib);
        line += text;
        if (total_ != kUnknownTotal && total_ >= done_) line += "  " + Duration((total_ - done_) / rate) + " left";
    }
    line += "\033[K";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    shown_ = true;
    g_shown = this;
}

}  // namespace cont
