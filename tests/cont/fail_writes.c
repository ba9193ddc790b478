/* Loaded into cont (LD_PRELOAD) by the tests that make writing fail where
 * the file system would not: writes to a file whose path ends in
 * $CONT_FAIL_WRITES_SUFFIX fail with $CONT_FAIL_WRITES_ERRNO once
 * $CONT_FAIL_WRITES_AFTER bytes have gone to such files, whatever room the
 * file system has; with $CONT_FAIL_SYNC set to "fsync" or "fdatasync", that
 * call fails with EIO on such files instead. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static long long g_written = 0;

/* Whether fd is a file whose path ends in the suffix. */
static int Chosen(int fd) {
    const char* suffix = getenv("CONT_FAIL_WRITES_SUFFIX");
    if (!suffix) return 0;
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < 0) return 0;
    path[n] = '\0';
    const size_t length = strlen(suffix);
    return (size_t)n >= length && strcmp(path + n - length, suffix) == 0;
}

/* Whether a write of count bytes to fd must fail, counting those that pass. */
static int Fails(int fd, size_t count) {
    if (!Chosen(fd) || getenv("CONT_FAIL_SYNC")) return 0;
    const char* after = getenv("CONT_FAIL_WRITES_AFTER");
    if (g_written + (long long)count <= (after ? atoll(after) : 0)) {
        g_written += (long long)count;
        return 0;
    }
    const char* code = getenv("CONT_FAIL_WRITES_ERRNO");
    errno = code ? atoi(code) : ENOSPC;
    return 1;
}

ssize_t write(int fd, const void* bytes, size_t count) {
    if (Fails(fd, count)) return -1;
    ssize_t (*next)(int, const void*, size_t) = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    return next(fd, bytes, count);
}

ssize_t pwrite(int fd, const void* bytes, size_t count, off_t offset) {
    if (Fails(fd, count)) return -1;
    ssize_t (*next)(int, const void*, size_t, off_t) =
        (ssize_t(*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
    return next(fd, bytes, count, offset);
}

ssize_t pwrite64(int fd, const void* bytes, size_t count, off_t offset) { return pwrite(fd, bytes, count, offset); }

/* Whether the sync call `call` on fd must fail. */
static int SyncFails(const char* call, int fd) {
    const char* which = getenv("CONT_FAIL_SYNC");
    if (!which || strcmp(which, call) != 0 || !Chosen(fd)) return 0;
    errno = EIO;
    return 1;
}

int fsync(int fd) {
    if (SyncFails("fsync", fd)) return -1;
    int (*next)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    return next(fd);
}

int fdatasync(int fd) {
    if (SyncFails("fdatasync", fd)) return -1;
    int (*next)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    return next(fd);
}
