// File descriptors for the data files: thin wrappers over open, read, write,
// lseek, fstat, ftruncate, flock, unlink and close.
//
// Every call returns -1 (or false) on failure and leaves the reason where
// LastErrorCode() finds it; interrupted calls are retried. Callers outside
// this folder never look at errno themselves.
//
// Open flags arrive as the data files' own flag values (rtl below; OpenFile
// is the one place that turns them into O_* flags); text and binary mode
// make no difference to a descriptor and are ignored.
#ifndef CONTFS_PLATFORM_POSIX_FILE_H
#define CONTFS_PLATFORM_POSIX_FILE_H

#include <cstddef>
#include <cstdint>

namespace platform {

// The data files' open-flag values (low 16 bits of a flags argument), as
// containers pass them (0x8000 read only, 0x8302 create, 0x8001 patch).
namespace rtl {
constexpr uint32_t kReadOnly = 0x0000;
constexpr uint32_t kWriteOnly = 0x0001;
constexpr uint32_t kReadWrite = 0x0002;
constexpr uint32_t kAccessMask = 0x0003;
constexpr uint32_t kAppend = 0x0008;
constexpr uint32_t kCreate = 0x0100;
constexpr uint32_t kTruncate = 0x0200;
constexpr uint32_t kExclusive = 0x0400;
constexpr uint32_t kText = 0x4000;
constexpr uint32_t kBinary = 0x8000;
// Permission bits for a file that an open creates.
constexpr uint32_t kPermissionRead = 0x100;
constexpr uint32_t kPermissionWrite = 0x80;
// Seek origins.
constexpr uint32_t kSeekSet = 0;
constexpr uint32_t kSeekCurrent = 1;
constexpr uint32_t kSeekEnd = 2;
}  // namespace rtl

// The error code (errno) of the latest failed call on this thread.
int32_t LastErrorCode();
// Whether a code means "permission denied" to a data file: no permission,
// or the path names a directory (which is not a file).
bool IsPermissionDenied(int32_t code);
// Whether a code means that another descriptor's lock stood in the way.
bool IsLockConflict(int32_t code);
// A platform error code as a result: 0x80070000 with the code's low 16 bits.
int32_t ResultFromErrorCode(int32_t code);
// A platform error code in words, for a person: the causes a writer meets
// most (a full disk, the file size limit, a quota) said as such, any other
// as the system says it; its symbolic name (ENOSPC) in `name` when known.
const char* DescribeErrorCode(int32_t code, const char** name);

// Opens path with rtl flags and permission bits; a file that is
// created is readable, and writable when the write bit is given (umask
// applies). Directories are refused as permission denied, pipes and sockets
// (which could block or never end) as not found; the open itself never
// waits. The descriptor is not inherited by child processes. -1 on failure.
int OpenFile(const char* path, uint32_t flags, uint32_t permission);

// Advisory whole-file locks on a descriptor (flock): they bind every open of
// the file made through OpenFile that also locks, in this process or
// another, and nothing else. Never waits: a lock held elsewhere fails with a
// code for which IsLockConflict is true. On a file system without such locks
// the call succeeds and nothing is locked. Taking the other kind on a
// descriptor that already holds one converts it.
enum class FileLock { kShared, kExclusive };
bool LockFile(int fd, FileLock kind);
// Whether a descriptor of another open holds a lock on the file at path
// (false when the file cannot be opened to ask).
bool HeldElsewhere(const char* path);

// read/write that move the whole count unless the end of the file (read) or
// an error intervenes. ReadFully returns the bytes read (short only at the
// end of the file), WriteFully the count when all were written; -1 when an
// error stopped them before any byte (read) or before the last byte (write).
int64_t ReadFully(int fd, void* dst, size_t count);
int64_t WriteFully(int fd, const void* src, size_t count);
// ReadFully at a file offset (pread): the descriptor's position stays where
// it was.
int64_t ReadFullyAt(int fd, void* dst, size_t count, int64_t offset);
// WriteFully at a file offset (pwrite): the descriptor's position stays
// where it was.
int64_t WriteFullyAt(int fd, const void* src, size_t count, int64_t offset);

// lseek with an rtl origin: the new position, -1 on failure.
int64_t SeekFile(int fd, int64_t offset, uint32_t origin);
// The size of the open file, -1 on failure.
int64_t FileSize(int fd);
// Extends with zero bytes or truncates; false on failure (also on a
// descriptor not open for writing).
bool ResizeFile(int fd, int64_t size);
// Makes the file's data, and the metadata needed to read it back (its
// length), durable: fdatasync. False on failure.
bool SyncFileData(int fd);
// Starts writing back the dirty pages of [offset, offset + length) without
// waiting for them (sync_file_range), so that a later SyncFileData finds
// little left to do. Advisory: false when it could not be started.
bool StartWriteBack(int fd, int64_t offset, int64_t length);
// Starts reading [offset, offset + length) into the page cache without
// waiting (POSIX_FADV_WILLNEED). Advisory: false when it could not be started.
bool ReadAhead(int fd, int64_t offset, int64_t length);
// The system reads ahead nothing more on this open file: a read brings in
// what it asks and no more (POSIX_FADV_RANDOM). Advisory, as above.
bool ReadOnlyWhatIsAsked(int fd);
bool CloseFile(int fd);
bool RemoveFile(const char* path);

// Creates a new empty file with a unique name in the temporary-files
// directory ($TMPDIR, else /tmp) and writes its path into out (room for
// outSize bytes with the zero byte). The name begins with up to the first
// three characters of prefix. False when nothing was made.
bool MakeTempFile(const char* prefix, char* out, size_t outSize);

}  // namespace platform

#endif
