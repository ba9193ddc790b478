// Running the built cont binary from tests: a scratch directory per test,
// cont started with its standard streams on files (or devices, or a pipe),
// and helpers for the bytes it packs and reads back.
#ifndef CONTFS_TESTS_CONT_CONT_FIXTURE_H
#define CONTFS_TESTS_CONT_CONT_FIXTURE_H

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace conttest {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Deterministic bytes that differ from one file to the next.
inline std::string Pattern(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return bytes;
}

inline std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
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
    // empty; `env` adds NAME=VALUE texts. 0 when it could not be started.
    pid_t Start(const std::vector<std::string>& args, const std::string& input = {},
                const std::vector<std::string>& env = {}, const fs::path& cwd = {}) {
        const std::string inPath = input.empty() ? "/dev/null" : At(input).string();
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (input.empty() && inputFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, inputFd, 0);
        else
            posix_spawn_file_actions_addopen(&actions, 0, inPath.c_str(), O_RDONLY, 0);
        AddOutput(&actions, 1, stdoutDevice, At(".out"));
        AddOutput(&actions, 2, stderrDevice, At(".err"));
        if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
        std::vector<std::string> argStore = {Tool()};
        argStore.insert(argStore.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : argStore) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStore(env);
        for (char** e = environ; *e; ++e) envStore.push_back(*e);
        std::vector<char*> envp;
        for (std::string& e : envStore) envp.push_back(e.data());
        envp.push_back(nullptr);

        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            ADD_FAILURE() << "cannot run " << argv[0];
            return 0;
        }
        return pid;
    }

    // Waits for a cont that Start began; its status (128 + signal when a
    // signal ended it) and what it wrote.
    Outcome Finish(pid_t pid) {
        Outcome outcome;
        if (pid == 0) return outcome;
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
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

    static std::string Join(const std::vector<std::string>& args) {
        std::string text = "cont";
        for (const std::string& a : args) text += " " + a;
        return text;
    }

    // One stderr line naming the place and the code.
    static void ExpectError(const Outcome& o, const std::string& place, const std::string& code) {
        EXPECT_EQ(1, o.status) << o.err;
        EXPECT_NE(std::string::npos, o.err.find(place)) << o.err;
        EXPECT_NE(std::string::npos, o.err.find(code)) << o.err;
        EXPECT_EQ(1, std::count(o.err.begin(), o.err.end(), '\n')) << o.err;
    }

    fs::path dir;
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

    static void AddOutput(posix_spawn_file_actions_t* actions, int fd, const std::string& device,
                          const fs::path& file) {
        if (device.empty())
            posix_spawn_file_actions_addopen(actions, fd, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        else
            posix_spawn_file_actions_addopen(actions, fd, device.c_str(), O_RDWR | O_NOCTTY, 0);
    }
};

}  // namespace conttest

#endif
