// DataFile: the abstract data file through which a container reads and
// writes its one file on disk. A plain abstract class with one owner (not
// reference counted); the owner deletes it through the virtual destructor,
// which closes an open file first.
//
// Result conventions: operations that succeed or fail return a result code;
// transfer and position operations return a byte count or a position, -1 on
// failure. Every operation that reaches the system first clears the
// last-error field and sets it to the failure it reports. A data file has no
// lock: its owner serialises seek and transfer under one hold of its mutex.
#ifndef CONTFS_DATAFILE_DATA_FILE_H
#define CONTFS_DATAFILE_DATA_FILE_H

#include <qlx/interfaces.h>

#include <cstdint>

// Open flags, as the container and other callers pass them (low 16 bits).
enum DataFileOpenFlags : uint32_t {
    kOpenReadOnly = 0x0000,
    kOpenWriteOnly = 0x0001,
    kOpenReadWrite = 0x0002,
    kOpenAppend = 0x0008,
    kOpenCreate = 0x0100,
    kOpenTruncate = 0x0200,
    kOpenExclusive = 0x0400,
    kOpenText = 0x4000,
    kOpenBinary = 0x8000,
};

// Share flags of OpenShared.
enum DataFileShareFlags : uint32_t {
    kShareDenyReadWrite = 0x10,
    kShareDenyWrite = 0x20,
    kShareDenyRead = 0x30,
    kShareDenyNone = 0x40,
};

// Permission modes for files an operation creates.
enum DataFilePermission : uint32_t { kPermissionRead = 0x100, kPermissionWrite = 0x80 };

// Seek origins.
enum DataFileOrigin : uint32_t { kSeekSet = 0, kSeekCurrent = 1, kSeekEnd = 2 };

class DataFile {
public:
    DataFile() = default;
    DataFile(const DataFile&) = delete;
    DataFile& operator=(const DataFile&) = delete;

    virtual ~DataFile();                                                                 // 0
    virtual int32_t GetLastErrorCode();                                                  // 1
    virtual int32_t MakeTempFileName(const char* prefix, char* outName);                 // 2
    virtual int32_t Create(const char* path, uint32_t mode, uint32_t ignored) = 0;       // 3
    virtual int32_t Open(const char* path, uint32_t flags, int32_t textMode) = 0;        // 4
    virtual int32_t OpenShared(const char* path, uint32_t flags, uint32_t share, int32_t textMode);  // 5
    virtual int32_t Close() = 0;                                                         // 6
    virtual int32_t GetFileLength();                                                     // 7
    virtual int32_t SetFileLength(uint32_t size);                                        // 8
    virtual int32_t Seek(int32_t offset, uint32_t origin) = 0;                           // 9
    virtual int32_t Tell() = 0;                                                          // 10
    virtual int32_t Seek64(uint32_t offsetLow, uint32_t offsetHigh, uint32_t origin);    // 11
    virtual uint64_t Tell64();                                                           // 12
    virtual int32_t Read(void* dst, uint32_t count) = 0;                                 // 13
    virtual int32_t ReadBuffer(uint32_t count, IQLXBuffer** out);                        // 14
    virtual int32_t Write(const void* src, uint32_t count) = 0;                          // 15
    virtual int32_t Rewind() = 0;                                                        // 16
    virtual int32_t ReservedFirst(uint32_t);                                             // 17
    virtual int32_t ReservedSecond(uint32_t);                                            // 18
    virtual int16_t GetDescriptor() = 0;                                                 // 19
    virtual int32_t Delete(const char* path) = 0;                                        // 20
    // The file's true 64-bit length (containers grow past 2 GiB, where the
    // signed 32-bit GetFileLength cannot say it); -1 when it is not known.
    virtual int64_t GetFileLength64();                                                   // 21
    // SetFileLength for any 64-bit length (E_NOTIMPL where not supported).
    virtual int32_t SetFileLength64(uint64_t size);                                      // 22
    // Reads up to count bytes at offset without moving the position (the
    // bytes read; short only at the end of the file; -1 on failure). The
    // plain file does it in one system call; any other kind by Tell64,
    // Seek64, Read and a seek back.
    virtual int32_t ReadAt(uint64_t offset, void* dst, uint32_t count);                  // 23
    // Changes the share mode an open file holds, as OpenShared took it:
    // deny read and write keeps every other open out, any other mode lets
    // others open the file beside this one. Leaving deny read and write for
    // another mode always succeeds; the other way is refused like an open
    // that conflicts (E_ACCESSDENIED), and the file then holds no share mode
    // at all. E_NOTIMPL where not supported.
    virtual int32_t SetShare(uint32_t share);                                            // 24
    // Writes count bytes at offset without moving the position: count, or
    // -1 when they could not all be written. The plain file does it in one
    // system call; any other kind by Tell64, Seek64, Write and a seek back.
    virtual int32_t WriteAt(uint64_t offset, const void* src, uint32_t count);           // 25
    // Makes every byte written to the file, and its length, durable: when it
    // returns S_OK a power cut no longer loses them. The page cache writes
    // pages back in any order; this is the only way to order them.
    // RES_IO_ERROR when it fails or no file is open, E_NOTIMPL where not
    // supported.
    virtual int32_t Sync();                                                              // 26
    // Starts writing the bytes of [offset, offset + length) to the disk
    // without waiting, so that a Sync later has little left to wait for.
    // Advisory: the base does nothing and answers S_OK.
    virtual int32_t StartWriteBack(uint64_t offset, uint64_t length);                    // 27
    // The platform's error code (errno) of the latest operation that failed
    // in the system, 0 when none has: the cause behind a result code, such
    // as a full disk behind a write's -1. Successes leave it as it is.
    virtual int32_t GetLastSystemError();                                                // 28
    // Starts reading [offset, offset + length) from the disk without
    // waiting, for reads that will want it. The first call on an open file
    // turns the system's own read-ahead off for it: from then on the file
    // reads from the disk what is read and what ReadAhead names, so a reader
    // of records interleaved with others' brings in none of the others'.
    // Advisory: the base does nothing and answers S_OK.
    virtual int32_t ReadAhead(uint64_t offset, uint64_t length);                         // 29

protected:
    int32_t m_lastError = 0;
    int32_t m_lastSystemError = 0;
};

// Kind 0: a plain file on a descriptor (DescriptorFile). Kind 1: a read-only
// memory-mapped file (MappedFile). Any other kind, or no memory: null.
DataFile* CreateDataFile(int kind);

// For tests that inject faults into every data file the module makes: while
// a wrapper is set, CreateDataFile hands each file it made to it and returns
// what it gives back (the wrapper owns the file; null when it cannot wrap).
// Process-wide: set it only while no other thread makes data files.
using DataFileWrapper = DataFile* (*)(DataFile* made);
void SetDataFileWrapperForTests(DataFileWrapper wrapper);

#endif
