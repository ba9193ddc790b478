// Running the built cont binary from tests: a scratch directory per test,
// cont started with its standard streams on files (or devices, or a pipe),
// and helpers for the bytes it packs and reads back.
#ifndef CONTFS_TESTS_CONT_CONT_FIXTURE_H
#define CONTFS_TESTS_CONT_CONT_FIXTURE_H

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/pattern.h"

namespace conttest {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
    long maxRssKb = 0;  // the most memory cont held at once
    double cpuSeconds = 0;  // user and system time cont used
};

using host::Pattern;

inline std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline void WriteAll(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline uint64_t Checksum(const std::string& bytes) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    return h;
}

// Bytes fed to cont's standard input through a pipe by a thread of the
// test, piece by piece with a pause after each, as a live stream arrives.
// The pipe closes after the last piece, or, with `holdOpen`, only when the
// feed is destroyed.
class PipeFeed {
public:
    PipeFeed(std::string bytes, size_t piece, std::chrono::microseconds pause, bool holdOpen = false)
        : bytes_(std::move(bytes)), piece_(piece), pause_(pause), holdOpen_(holdOpen) {
        // A reader killed mid-stream makes writes fail instead of ending
        // the test.
        signal(SIGPIPE, SIG_IGN);
        if (pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
        thread_ = std::thread([this] { Feed(); });
    }
    PipeFeed(const PipeFeed&) = delete;
    PipeFeed& operator=(const PipeFeed&) = delete;
    ~PipeFeed() {
        stop_ = true;
        // With no reader left a blocked write fails at once.
        if (fds_[0] >= 0) close(fds_[0]);
        thread_.join();
        if (fds_[1] >= 0) close(fds_[1]);
    }
    // For ContFixture::inputFd.
    int readEnd() const { return fds_[0]; }
    // Bytes that went into the pipe so far.
    size_t fed() const { return fed_; }

private:
    void Feed() {
        while (fed_ < bytes_.size() && !stop_) {
            const size_t n = std::min(piece_, bytes_.size() - fed_);
            const ssize_t wrote = write(fds_[1], bytes_.data() + fed_, n);
            if (wrote <= 0) break;
            fed_ += static_cast<size_t>(wrote);
            std::this_thread::sleep_for(pause_);
        }
        if (!holdOpen_) {
            close(fds_[1]);
            fds_[1] = -1;
        }
    }

    std::string bytes_;
    size_t piece_;
    std::chrono::microseconds pause_;
    bool holdOpen_;
    int fds_[2] = {-1, -1};
    std::atomic<size_t> fed_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class ContFixture : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(CONTFS_TEST_TMPDIR);
        std::string templ = std::string(CONTFS_TEST_TMPDIR) + "/cont-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(templ.data()));
        dir = templ;
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path At(const std::string& name) const { return dir / name; }

    // Starts cont with the arguments; standard input from `input` (a file
    // name in the scratch directory), else from inputFd when set, else
    // empty; `env` adds NAME=VALUE texts. Limits and a small file system
    // (below) apply to cont alone. 0 when it could not be started.
    pid_t Start(const std::vector<std::string>& args, const std::string& input = {},
                const std::vector<std::string>& env = {}, const fs::path& cwd = {}) {
        child::Setup setup;
        setup.args = {Tool()};
        setup.args.insert(setup.args.end(), args.begin(), args.end());
        setup.env = env;
        setup.in = !input.empty() ? child::Stream::ReadFrom(At(input).string())
                   : inputFd >= 0 ? child::Stream::From(inputFd)
                                  : child::Stream::ReadFrom("/dev/null");
        setup.out = stdoutDevice.empty() ? child::Stream::WriteTo(At(".out").string())
                                         : child::Stream{-1, stdoutDevice, O_RDWR | O_NOCTTY};
        setup.err = stderrDevice.empty() ? child::Stream::WriteTo(At(".err").string())
                                         : child::Stream{-1, stderrDevice, O_RDWR | O_NOCTTY};
        setup.directory = cwd.string();
        setup.limits = limits;
        const std::string smallFs = tmpfsAt.string();
        if (!smallFs.empty()) {
            setup.inChild = MountSmallFileSystem;
            setup.inChildData = smallFs.c_str();
        }
        const pid_t pid = child::Start(setup);
        if (pid == 0) ADD_FAILURE() << "cannot start cont";
        return pid;
    }

    // Waits for a cont that Start began; its status (128 + signal when a
    // signal ended it), what it wrote and its peak memory. With `seconds`,
    // a cont still running then is killed and reported, so that a hang
    // fails the test rather than stalling it.
    Outcome Finish(pid_t pid, int seconds = 0) {
        Outcome outcome;
        if (pid == 0) return outcome;
        child::End end = seconds > 0 ? child::Wait(pid, std::chrono::seconds(seconds)) : child::Wait(pid);
        if (!end.ended) {
            kill(pid, SIGKILL);
            ADD_FAILURE() << "cont was still running after " << seconds << " s";
            end = child::Wait(pid);
        }
        outcome.status = end.status;
        outcome.maxRssKb = end.usage.ru_maxrss;
        outcome.cpuSeconds = static_cast<double>(end.usage.ru_utime.tv_sec + end.usage.ru_stime.tv_sec) +
                             static_cast<double>(end.usage.ru_utime.tv_usec + end.usage.ru_stime.tv_usec) / 1e6;
        outcome.out = ReadAll(At(".out"));
        outcome.err = ReadAll(At(".err"));
        return outcome;
    }

    Outcome Cont(const std::vector<std::string>& args, const std::string& input = {},
                 const std::vector<std::string>& env = {}, const fs::path& cwd = {}) {
        return Finish(Start(args, input, env, cwd));
    }

    // Runs cont and expects success.
    std::string ContOk(const std::vector<std::string>& args, const std::string& input = {}) {
        Outcome o = Cont(args, input);
        EXPECT_EQ(0, o.status) << Join(args) << "\n" << o.err;
        EXPECT_EQ("", o.err) << Join(args);
        return o.out;
    }

    // `cont ls` lists exactly these entries, in this order, and `cont cat`
    // gives each one's bytes.
    void ExpectEntries(const fs::path& c, const std::vector<std::pair<std::string, std::string>>& expected) {
        std::istringstream lines(ContOk({"ls", c.string()}));
        std::vector<std::string> listed;
        uint64_t size = 0;
        std::string name;
        while (lines >> size && lines.ignore(2) && std::getline(lines, name)) listed.push_back(name);
        std::vector<std::string> names;
        for (const auto& [n, bytes] : expected) names.push_back(n);
        EXPECT_EQ(names, listed);
        for (const auto& [n, bytes] : expected) {
            const std::string back = ContOk({"cat", c.string(), n});
            EXPECT_EQ(bytes.size(), back.size()) << n;
            EXPECT_TRUE(back == bytes) << n;
        }
    }

    static std::string Join(const std::vector<std::string>& args) {
        std::string text = "cont";
        for (const std::string& a : args) text += " " + a;
        return text;
    }

    // The environment that loads `library` into cont (LD_PRELOAD) beside
    // `env`; the sanitizer build's runtime would refuse a library loaded
    // before it.
    static std::vector<std::string> Preloaded(const char* library, std::vector<std::string> env) {
        std::string asan = "verify_asan_link_order=0";
        if (const char* given = std::getenv("ASAN_OPTIONS")) asan += std::string(":") + given;
        env.push_back(std::string("LD_PRELOAD=") + library);
        env.push_back("ASAN_OPTIONS=" + asan);
        return env;
    }

    // One stderr line naming the place and the code.
    static void ExpectError(const Outcome& o, const std::string& place, const std::string& code) {
        EXPECT_EQ(1, o.status) << o.err;
        EXPECT_NE(std::string::npos, o.err.find(place)) << o.err;
        EXPECT_NE(std::string::npos, o.err.find(code)) << o.err;
        EXPECT_EQ(1, std::count(o.err.begin(), o.err.end(), '\n')) << o.err;
    }

    // The status of a child that could not become cont.
    static constexpr int kCannotStart = child::kCannotStart;
    // The status of one that could not mount its small file system.
    static constexpr int kNoSmallFileSystem = 77;

    fs::path dir;
    // Soft and hard limits set for cont alone, e.g. {RLIMIT_NOFILE, 64}.
    std::vector<std::pair<int, rlim_t>> limits;
    // When set, cont runs in a mount namespace of its own with a 1 MiB
    // tmpfs on this directory, which disappears with it.
    fs::path tmpfsAt;
    std::string stdoutDevice;  // when set, cont's standard output goes there
    std::string stderrDevice;  // when set, cont's standard error goes there
    int inputFd = -1;          // when set, cont's standard input (a pipe's end)

private:
    // The cont under test: the one built beside these tests, or
    // $CONT_TEST_TOOL (to run the tests against another build of it).
    static std::string Tool() {
        const char* other = std::getenv("CONT_TEST_TOOL");
        return other && *other ? other : CONT_TOOL_PATH;
    }

    static void MountSmallFileSystem(const void* at) {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", static_cast<const char*>(at), "tmpfs", 0, "size=1m") != 0)
            _exit(kNoSmallFileSystem);
    }
};

}  // namespace conttest

#endif
