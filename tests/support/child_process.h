// Starting a program as a child process, for the tests that run cont (and
// other programs) and the benchmarks that time it: its standard streams on
// files or descriptors, its environment, directory and limits set for it
// alone, and its end waited for, with a bound when asked.
#ifndef CONTFS_TESTS_SUPPORT_CHILD_PROCESS_H
#define CONTFS_TESTS_SUPPORT_CHILD_PROCESS_H

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace child {

// One standard stream of the child: a descriptor of the parent's (fd >= 0,
// kept as it is), else a file opened with `flags` ("/dev/null" reads as
// nothing and swallows what is written).
struct Stream {
    int fd = -1;
    std::string path = "/dev/null";
    int flags = O_RDONLY;

    static Stream From(int descriptor) { return Stream{descriptor, {}, 0}; }
    static Stream ReadFrom(std::string file) { return Stream{-1, std::move(file), O_RDONLY}; }
    static Stream WriteTo(std::string file) { return Stream{-1, std::move(file), O_WRONLY | O_CREAT | O_TRUNC}; }
    static Stream Discard() { return Stream{-1, "/dev/null", O_WRONLY}; }
};

struct Setup {
    // args[0] is the program: a path, or a name searched on PATH.
    std::vector<std::string> args;
    std::vector<std::string> env;  // NAME=VALUE added to the parent's environment
    Stream in, out = Stream::Discard(), err = Stream::Discard();
    std::string directory;                       // where it runs; empty: the parent's
    std::vector<std::pair<int, rlim_t>> limits;  // soft and hard, e.g. {RLIMIT_NOFILE, 64}
    // Called in the child before it becomes the program: only system
    // calls may be made there (the parent may have threads).
    void (*inChild)(const void* data) = nullptr;
    const void* inChildData = nullptr;
};

// The status a child that could not become the program exits with.
constexpr int kCannotStart = 126;

namespace detail {

inline void Redirect(const Stream& stream, int target) {
    const int fd = stream.fd >= 0 ? stream.fd : open(stream.path.c_str(), stream.flags | O_CLOEXEC, 0644);
    if (fd < 0 || dup2(fd, target) < 0) _exit(kCannotStart);
}

}  // namespace detail

// Starts the child; 0 when it could not be made.
inline pid_t Start(const Setup& setup) {
    // Everything the child needs is made before the fork: after it, only
    // system calls.
    std::vector<std::string> argStore(setup.args);
    std::vector<char*> argv;
    for (std::string& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore(setup.env);
    for (char** e = environ; *e; ++e) envStore.push_back(*e);
    std::vector<char*> envp;
    for (std::string& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (argv.size() < 2) return 0;
    const pid_t pid = fork();
    if (pid != 0) return pid < 0 ? 0 : pid;
    if (setup.inChild) setup.inChild(setup.inChildData);
    detail::Redirect(setup.in, 0);
    detail::Redirect(setup.out, 1);
    detail::Redirect(setup.err, 2);
    if (!setup.directory.empty() && chdir(setup.directory.c_str()) != 0) _exit(kCannotStart);
    for (const auto& [resource, value] : setup.limits) {
        struct rlimit limit = {value, value};
        if (setrlimit(resource, &limit) != 0) _exit(kCannotStart);
    }
    signal(SIGPIPE, SIG_DFL);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(kCannotStart);
}

// The exit status, or 128 + the signal that ended it.
inline int ExitStatus(int wstatus) { return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus); }

struct End {
    bool ended = false;        // false: still running after the bound
    int status = -1;           // ExitStatus
    struct rusage usage = {};  // what the system counted for it
};

constexpr std::chrono::milliseconds kNoBound = std::chrono::milliseconds::max();

// Waits for the child, at most for the bound (0: only looks); past it ended
// is false and the child is left running.
inline End Wait(pid_t pid, std::chrono::milliseconds bound = kNoBound) {
    End end;
    int wstatus = 0;
    pid_t got = 0;
    if (bound == kNoBound) {
        got = wait4(pid, &wstatus, 0, &end.usage);
    } else {
        const auto until = std::chrono::steady_clock::now() + bound;
        while ((got = wait4(pid, &wstatus, WNOHANG, &end.usage)) == 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (got == 0) return end;
    }
    end.ended = got == pid;
    end.status = ExitStatus(wstatus);
    return end;
}

// Runs args[0] to its end, its input empty and its output discarded;
// kCannotStart as its status when it could not be started.
inline End Run(std::vector<std::string> args) {
    Setup setup;
    setup.args = std::move(args);
    const pid_t pid = Start(setup);
    if (pid == 0) return End{true, kCannotStart, {}};
    return Wait(pid);
}

}  // namespace child

#endif
