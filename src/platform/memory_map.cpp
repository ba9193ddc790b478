#include "platform/memory_map.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <new>

namespace platform {

struct FileMapping {
    int fd;
    uint64_t size;
};

namespace {

std::atomic<int32_t> g_liveViews{0};

int OpenRetrying(const char* path, int flags) {
    int fd;
    do {
        fd = ::open(path, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

int32_t OpenMappedFile(const char* path, bool writable, MapDisposition disposition, int* fd) {
    *fd = -1;
    if (!path) return EINVAL;
    int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    switch (disposition) {
    case MapDisposition::kCreateNew: flags |= O_CREAT | O_EXCL; break;
    case MapDisposition::kOpenAlways: flags |= O_CREAT; break;
    case MapDisposition::kTruncateExisting: flags |= O_TRUNC; break;
    case MapDisposition::kOpenExisting: break;
    }
    // Emptying a file needs write access; refused before the file is touched
    // (read-only O_TRUNC would empty it all the same here).
    if ((flags & O_TRUNC) && !writable) return EINVAL;
    int opened = OpenRetrying(path, flags);
    if (opened < 0) return errno;
    struct stat st;
    int32_t code = 0;
    if (::fstat(opened, &st) != 0) {
        code = errno;
    } else if (S_ISDIR(st.st_mode)) {
        code = EISDIR;
    }
    if (code) {
        ::close(opened);
        return code;
    }
    *fd = opened;
    return 0;
}

int32_t MappedFileSize(int fd, uint64_t* size) {
    *size = 0;
    struct stat st;
    if (::fstat(fd, &st) != 0) return errno;
    *size = static_cast<uint64_t>(st.st_size);
    return 0;
}

void CloseMappedFile(int fd) {
    if (fd >= 0) ::close(fd);
}

int32_t CreateFileMapping(int fd, FileMapping** mapping) {
    *mapping = nullptr;
    uint64_t size = 0;
    if (int32_t code = MappedFileSize(fd, &size)) return code;
    if (size == 0) return EINVAL;
    int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return errno;
    FileMapping* made = new (std::nothrow) FileMapping{own, size};
    if (!made) {
        ::close(own);
        return ENOMEM;
    }
    *mapping = made;
    return 0;
}

void CloseFileMapping(FileMapping* mapping) {
    if (!mapping) return;
    ::close(mapping->fd);
    delete mapping;
}

uint64_t MappingSize(const FileMapping* mapping) { return mapping ? mapping->size : 0; }

int32_t MapView(FileMapping* mapping, uint64_t offset, uint64_t length, const void** view) {
    *view = nullptr;
    if (!mapping || length == 0 || offset % AllocationGranularity() != 0) return EINVAL;
    if (offset > mapping->size || length > mapping->size - offset) return EINVAL;
    uint64_t now = 0;
    if (int32_t code = MappedFileSize(mapping->fd, &now)) return code;
    if (offset > now || length > now - offset) return EINVAL;
    void* base = ::mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_SHARED, mapping->fd,
                        static_cast<off_t>(offset));
    if (base == MAP_FAILED) return errno;
    g_liveViews.fetch_add(1, std::memory_order_relaxed);
    *view = base;
    return 0;
}

void UnmapView(const void* view, uint64_t length) {
    if (!view) return;
    ::munmap(const_cast<void*>(view), static_cast<size_t>(length));
    g_liveViews.fetch_sub(1, std::memory_order_relaxed);
}

uint32_t AllocationGranularity() {
    long page = ::sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<uint32_t>(page) : 4096u;
}

int32_t LiveViewCount() { return g_liveViews.load(std::memory_order_relaxed); }

}  // namespace platform
