/* Loaded into cont (LD_PRELOAD) by the tests that must see the cause of a
 * failed write reach the user from the module: writes to a file whose path
 * ends in $CONT_FAIL_WRITES_SUFFIX fail with $CONT_FAIL_WRITES_ERRNO once
 * $CONT_FAIL_WRITES_AFTER bytes have gone to such files, whatever room the
 * file system has. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static long long g_written = 0;

/* Whether a write of count bytes to fd must fail, counting those that pass. */
static int Fails(int fd, size_t count) {
    const char* suffix = getenv("CONT_FAIL_WRITES_SUFFIX");
    if (!suffix) return 0;
    char link[64], path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n < 0) return 0;
    path[n] = '\0';
    const size_t length = strlen(suffix);
    if ((size_t)n < length || strcmp(path + n - length, suffix) != 0) return 0;
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
