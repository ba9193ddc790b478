// Read-only views of files through memory mappings: a mapping object that
// fixes the file's size (open, fstat), and views of it (mmap, munmap).
//
//   file descriptor --CreateFileMapping--> FileMapping (whole file, size fixed)
//                                              |
//                                          MapView(offset, length) --> view
//
// A view stays valid after its mapping and its file are closed, until
// UnmapView; the mapping object is only needed to make new views.
//
// Two refusals are made here that mmap alone would not make: an empty file
// cannot be mapped, and a view that runs past the end of the mapping (or of
// the file as it now is: mapped pages past the end of a file would fault
// when touched) is refused. Views are read-only.
//
// Every call that can fail returns 0 on success or the error code (errno)
// of the failure; callers turn it into a result with
// QLXResultFromPlatformError.
#ifndef CONTFS_PLATFORM_MEMORY_MAP_H
#define CONTFS_PLATFORM_MEMORY_MAP_H

#include <cstdint>

namespace platform {

// How OpenMappedFile treats a file that exists or is missing.
enum class MapDisposition {
    kCreateNew,         // create; fails when the file exists
    kOpenAlways,        // create when missing; an existing file keeps its contents
    kTruncateExisting,  // empty an existing file; fails when missing
    kOpenExisting,      // fails when missing
};

// Opens path for reading, or for reading and writing; a file it creates is
// readable and writable (umask applies). Directories are refused (EISDIR),
// and so is emptying a file opened for reading only (EINVAL).
// *fd is -1 on failure.
int32_t OpenMappedFile(const char* path, bool writable, MapDisposition disposition, int* fd);
int32_t MappedFileSize(int fd, uint64_t* size);
void CloseMappedFile(int fd);

struct FileMapping;
// A mapping of the whole file at its current size; EINVAL for an empty file.
// It keeps its own descriptor, so the file may be closed first.
int32_t CreateFileMapping(int fd, FileMapping** mapping);
void CloseFileMapping(FileMapping* mapping);
uint64_t MappingSize(const FileMapping* mapping);

// A read-only view of bytes [offset, offset + length) of the mapping. The
// offset must be a multiple of AllocationGranularity(); a zero length, a
// misaligned offset or a range past the end is refused with EINVAL.
int32_t MapView(FileMapping* mapping, uint64_t offset, uint64_t length, const void** view);
void UnmapView(const void* view, uint64_t length);

// The alignment a view's file offset needs: the page size here.
uint32_t AllocationGranularity();

// Views mapped and not yet unmapped, in the whole process.
int32_t LiveViewCount();

}  // namespace platform

#endif
