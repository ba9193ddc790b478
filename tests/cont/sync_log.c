/* Loaded into cont (LD_PRELOAD) by the tests that must see when it flushes
 * files to the disk: every fsync and fdatasync that returns appends a line,
 * the call's name and the file's size, to the file $CONT_SYNC_LOG. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

static void Note(const char* call, int fd) {
    const char* path = getenv("CONT_SYNC_LOG");
    if (!path) return;
    struct stat st;
    char line[64];
    const int n = snprintf(line, sizeof line, "%s %lld\n", call, fstat(fd, &st) == 0 ? (long long)st.st_size : -1LL);
    const int log = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) return;
    if (write(log, line, (size_t)n) < 0) {
    }
    close(log);
}

int fsync(int fd) {
    int (*next)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    const int rc = next(fd);
    Note("fsync", fd);
    return rc;
}

int fdatasync(int fd) {
    int (*next)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    const int rc = next(fd);
    Note("fdatasync", fd);
    return rc;
}
