// A progress line on standard error for long copies: only when standard
// error is a terminal, only for copies large enough to take a while, never
// with --quiet. The line is rewritten in place and cleared at the end.
#ifndef CONT_PROGRESS_H
#define CONT_PROGRESS_H

#include <stdint.h>

#include <chrono>
#include <string>

namespace cont {

class Progress {
public:
    Progress(std::string verb, uint64_t total, bool quiet);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress();
    void Advance(uint64_t bytes);

private:
    void Draw();

    std::string verb_;
    uint64_t total_;
    uint64_t done_ = 0;
    bool shown_ = false;
    bool enabled_;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace cont

#endif
