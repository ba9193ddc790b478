// Running a command as a whole process from a benchmark: its standard input
// empty, its standard output into a file.
#ifndef CONTFS_BENCH_CHILD_PROCESS_H
#define CONTFS_BENCH_CHILD_PROCESS_H

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace benchchild {

inline pid_t Spawn(std::vector<std::string> args, const char* out) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start " + args[0]);
    return pid;
}

// The exit status, or 128 + the signal that ended it; with `usage`, what
// the system counted for the process (CPU time, peak memory).
inline int WaitExit(pid_t pid, struct rusage* usage = nullptr) {
    int status = 0;
    struct rusage ignored;
    wait4(pid, &status, 0, usage ? usage : &ignored);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace benchchild

#endif
