// What the mount tests share: containers written through the module as a
// host writes them (so names may hold '/'), programs run with their output
// kept, and `cont mount -f` running beside the test with a mount point that
// teardown always takes away again, lazily, whatever state the test left.
#ifndef CONTFS_TESTS_MOUNT_MOUNT_FIXTURE_H
#define CONTFS_TESTS_MOUNT_MOUNT_FIXTURE_H

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/host_file.h"
#include "support/child_process.h"
#include "support/pattern.h"

namespace mounttest {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

using host::Pattern;

// Starts a program (searched on PATH unless the name holds a '/') with its
// output going to the two files; 0 when it cannot be started.
inline pid_t Start(const std::vector<std::string>& args, const fs::path& out, const fs::path& err) {
    child::Setup setup;
    setup.args = args;
    setup.out = child::Stream::WriteTo(out.string());
    setup.err = child::Stream::WriteTo(err.string());
    return child::Start(setup);
}

using child::ExitStatus;

// A scratch directory with a container path and a mount point in it.
class MountTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(CONTFS_TEST_TMPDIR);
        std::string pattern = std::string(CONTFS_TEST_TMPDIR) + "/mount-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern.data()));
        dir = pattern;
        container = (dir / "c.cnt").string();
        mountPoint = (dir / "mnt").string();
        fs::create_directory(mountPoint);
    }

    void TearDown() override {
        // Lazily, so that a file a failed test left open cannot keep the
        // mount; the program serving it then ends by itself.
        ::umount2(mountPoint.c_str(), MNT_DETACH);
        if (server) {
            // It ends with 0 only when every object of the module was
            // released (and, in a sanitizer build, nothing was amiss).
            int status = 0;
            if (WaitFor(server, &status, std::chrono::seconds(10))) {
                EXPECT_EQ(0, status) << ReadFile(At("mount.err"));
            } else {
                ADD_FAILURE() << "cont mount did not end after the unmount";
                kill(server, SIGKILL);
                child::Wait(server);
            }
        }
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    fs::path At(const std::string& name) const { return dir / name; }

    // Runs a program to its end.
    Outcome Run(const std::vector<std::string>& args) {
        Outcome outcome;
        const pid_t pid = Start(args, At(".out"), At(".err"));
        if (!pid) {
            ADD_FAILURE() << "cannot start " << args[0];
            return outcome;
        }
        outcome.status = child::Wait(pid).status;
        outcome.out = ReadFile(At(".out"));
        outcome.err = ReadFile(At(".err"));
        return outcome;
    }

    Outcome Cont(std::vector<std::string> args) {
        args.insert(args.begin(), CONT_TOOL_PATH);
        return Run(args);
    }

    // Whether the mount table shows a cont mount at the mount point.
    bool Mounted() const {
        std::ifstream table("/proc/self/mountinfo");
        const std::string at = " " + fs::canonical(dir).string() + "/mnt ";
        for (std::string line; std::getline(table, line);)
            if (line.find(at) != std::string::npos && line.find(" - fuse.cont ") != std::string::npos) return true;
        return false;
    }

    // `cont mount -f` in the background of the test, until the mount is
    // there. A mount that fails fails the test: it must not be skipped.
    void MountInForeground(const std::string& path) {
        ASSERT_EQ(0, server) << "one mount at a time";
        server = Start({CONT_TOOL_PATH, "mount", "-f", path, mountPoint}, At("mount.out"), At("mount.err"));
        ASSERT_NE(0, server);
        for (int i = 0; i < 1000 && !Mounted(); ++i) {
            int wstatus = 0;
            if (waitpid(server, &wstatus, WNOHANG) == server) {
                server = 0;
                FAIL() << "cont mount ended with " << ExitStatus(wstatus) << ": " << ReadFile(At("mount.err"));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(Mounted()) << "no mount after 10 s: " << ReadFile(At("mount.err"));
    }

    // The exit status of the `cont mount -f` started last, once it ended.
    int ServerExit(std::chrono::seconds limit = std::chrono::seconds(10)) {
        int status = 0;
        if (!server || !WaitFor(server, &status, limit)) return -1;
        server = 0;
        return status;
    }

    // Whether pid ended within the limit; its status then in *status.
    static bool WaitFor(pid_t pid, int* status, std::chrono::seconds limit) {
        const child::End end = child::Wait(pid, limit);
        *status = end.status;
        return end.ended;
    }

    std::string InMount(const std::string& name) const { return mountPoint + "/" + name; }

    fs::path dir;
    std::string container;
    std::string mountPoint;
    pid_t server = 0;
};

// Writes entries into a new container as a host does, a piece of each in
// turn, so the bytes of entries of similar size interleave in the file.
// Names go in double quotes, which keeps an '&' in them. Empty when it
// worked, else what failed.
inline std::string WriteContainer(host::LoadedModule& module, const std::string& path,
                                  const std::vector<std::pair<std::string, std::string>>& entries,
                                  size_t piece = 64 << 10) {
    std::vector<std::unique_ptr<host::HostFile>> files;
    for (const auto& entry : entries) {
        files.push_back(host::NewHostFile(module, host::ContUrl(path, '"' + entry.first + '"')));
        if (files.back()->Open(ReadAccess | WriteAccess) != S_OK) return "cannot open " + entry.first;
    }
    for (size_t at = 0;; at += piece) {
        bool more = false;
        for (size_t i = 0; i < entries.size(); ++i) {
            const std::string& bytes = entries[i].second;
            if (at >= bytes.size()) continue;
            more = true;
            if (files[i]->Write(bytes.substr(at, piece)) != S_OK) return "cannot write " + entries[i].first;
        }
        if (!more) return {};
    }
}

}  // namespace mounttest

#endif
