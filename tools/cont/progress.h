// A progress line on standard error for long copies: only when standard
// error is a terminal, never with --quiet, and only for copies that take a
// while: from the start when the size is known and large, else once enough
// bytes or time have gone by. It gives the bytes done (of the total, when
// known), the rate over the last few seconds, and, with a total, the time
// left. The line is rewritten in place and cleared at the end.
#ifndef CONT_PROGRESS_H
#define CONT_PROGRESS_H

#include <stdint.h>

#include <chrono>
#include <deque>
#include <string>

namespace cont {

class Progress {
public:
    // For a copy whose size is not known beforehand (a pipe).
    static constexpr uint64_t kUnknownTotal = UINT64_MAX;

    Progress(std::string verb, uint64_t total, bool quiet);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress();
    void Advance(uint64_t bytes);
    // Takes the line off the terminal until the next advance draws it.
    void Erase();

private:
    using Clock = std::chrono::steady_clock;
    struct Sample {
        Clock::time_point at;
        uint64_t done;
    };

    void Draw();
    // Bytes a second over the samples kept.
    double Rate() const;

    std::string verb_;
    uint64_t total_;
    uint64_t done_ = 0;
    bool shown_ = false;
    bool enabled_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_{};
    std::deque<Sample> samples_;
};

// One line on standard output for an entry done (-v), as tar -v prints
// them: the entry's name, printable. A progress line on the terminal is
// taken away first so that the two do not run together, and drawn again
// at its next advance.
void PutDoneLine(const std::string& name);

}  // namespace cont

#endif
