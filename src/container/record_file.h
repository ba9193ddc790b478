// RecordFile: a container's data file, read and written as records (layout:
// record_format.h).
//
// It keeps three things the container's jobs share:
//   - the position: where the data file is, as last set or advanced here
//     (kUnknownPosition after a failed transfer), so a seek to where the
//     file already is costs nothing;
//   - the write end: the highest position any write reached. New records
//     are appended there, and a record that could not be written whole is
//     taken back by moving the write end back over it and cutting the file
//     there;
//   - the growing data record: the one at the write end that appends still
//     lengthen, whose length field on disk stays 0 until it is fixed.
// And two buffers: the scratch that stages every fixed-size piece written
// (heads, index records, entry-record tails), and the read window, a run of
// the file's bytes read ahead with one positioned read so that the records
// in it (the directory, the heads a scan passes) are parsed without a system
// call each. The window lasts one operation of the container: every write
// and every new operation forget it, so it never shows bytes older than the
// operation that uses them. One user at a time: the container's mutex.
#ifndef CONTFS_CONTAINER_RECORD_FILE_H
#define CONTFS_CONTAINER_RECORD_FILE_H

#include <cstdint>

#include "container/record_format.h"
#include "datafile/data_file.h"

// A record's head, with the length of a growing record (field 0) taken from
// the file's length.
struct RecordHeader {
    uint64_t offset = 0;
    uint8_t type = 0;
    uint64_t length = 0;       // payload bytes; from the file's length when the field was 0
    bool lengthGiven = false;  // the length field was not 0
    uint64_t End() const { return offset + record_format::kRecordHeadSize + length; }
};

// The head of the record at offset from its first kRecordHeadSize bytes,
// in a file of fileLength bytes (which a length field of 0 reaches).
// E_FAIL when that length is unknown or ends before the payload would start.
int32_t DecodeRecordHead(const uint8_t* bytes, uint64_t offset, int64_t fileLength, RecordHeader* out);

struct DataRecordHeader {
    RecordHeader record;
    uint32_t entryIndex = 0;
    uint64_t logicalOffset = 0;
    uint64_t DataStart() const { return record.offset + record_format::kDataRecordHeadSize; }
    uint64_t DataLength() const { return record.length - record_format::kDataHeadPayload; }
};

class RecordFile {
public:
    static constexpr uint64_t kUnknownPosition = ~uint64_t{0};

    // Owns file, which may be null (no file).
    explicit RecordFile(DataFile* file) : m_file(file) {}
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    bool HasFile() const { return m_file != nullptr; }
    // Opens path with the data file's flags (OpenShared: and share mode);
    // the position starts at 0.
    int32_t Open(const char* path, uint32_t flags);
    int32_t OpenShared(const char* path, uint32_t flags, uint32_t share);
    // Changes the share mode the open data file holds (DataFile::SetShare).
    int32_t SetShare(uint32_t share) { return m_file ? m_file->SetShare(share) : RES_IO_ERROR; }
    // Closes the data file (which stays, to be opened again).
    int32_t Close();
    // Destroys the data file: from then on there is none.
    void Discard();

    int64_t FileLength();
    uint64_t Position() const { return m_position; }
    uint64_t WriteEnd() const { return m_writeEnd; }
    // Takes up a file that already holds records, ending at `end`: the next
    // append goes there.
    void ContinueAt(uint64_t end) { m_writeEnd = m_writeBackFrom = end; }
    // Takes back what was appended from `end` on: the next append goes
    // there. What was written past it is cut off the file: left there, it
    // would follow the file's last record, and a record still growing runs
    // to the file's end, so readers would take it for that record's bytes.
    // A file that cannot be cut back is sealed.
    void TakeBackTo(uint64_t end);
    // Nothing more may be appended: what a failed append left cannot be
    // taken back, or may still be led to. The failure, else S_OK.
    int32_t Sealed() const { return m_sealed; }
    void Seal(int32_t failure) {
        if (QLX_SUCCEEDED(m_sealed)) m_sealed = failure;
    }

    int32_t SeekTo(uint64_t target);
    // E_FAIL when the file ends first, RES_IO_ERROR when a read fails: the
    // container's callers report the two apart, and hand E_FAIL on for both
    // where the format says a short read is E_FAIL.
    int32_t ReadExact(void* dst, uint64_t count);
    int32_t WriteExact(const void* src, uint64_t count, uint64_t* written = nullptr);
    int32_t WriteAt(uint64_t target, const void* src, uint64_t count);
    // Writes bytes over some the file holds already, at offset, without
    // moving the position (a length field fixed in place, then back to
    // the write end, costs one system call rather than three).
    int32_t OverwriteAt(uint64_t offset, const void* src, uint32_t count);

    // Makes everything written so far durable (fdatasync). Asks the disk
    // only when something was written since the last Sync that succeeded.
    int32_t Sync();
    // Whether something was written since the last Sync that succeeded.
    bool Unsynced() const { return m_unsynced; }

    // Starts reading [offset, offset + length) ahead of the reads that will
    // want it (DataFile::ReadAhead); from then on the system reads ahead
    // nothing for this file.
    void ReadAhead(uint64_t offset, uint64_t length);
    // Whether ReadAhead took reading ahead over since the file was opened.
    bool ReadsAhead() const { return m_readsAhead; }

    // Up to count bytes at offset, without moving the position: the bytes
    // read (fewer only at the end of the file), or -1 when the read failed.
    int64_t ReadAt(uint64_t offset, void* dst, uint64_t count);

    static constexpr uint32_t kWindowSize = 256u << 10;
    // The bytes at offset through the read window, which is filled from
    // offset with up to readAhead bytes (at least count, at most
    // kWindowSize) unless it holds [offset, offset + count) already. *bytes
    // points at them and *held says how many from offset on the window
    // holds: count or more, or fewer where the file ends first (0 at its
    // end). E_INVALIDARG when count exceeds the window, RES_IO_ERROR when
    // the read fails, E_OUTOFMEMORY when no window can be had.
    int32_t Peek(uint64_t offset, uint32_t count, const uint8_t** bytes, uint32_t* held,
                 uint32_t readAhead = kWindowSize);
    void ForgetWindow() { m_windowValid = false; }
    // Copies [offset, offset + count) out of the window when it holds all
    // of it; false (nothing copied) otherwise.
    bool CopyFromWindow(uint64_t offset, void* dst, uint32_t count) const;

    // The growing data record: its entry, its payload bytes so far (0: there
    // is none) and whether it was started behind a filler record.
    struct Growing {
        uint32_t entry = 0;
        uint32_t length = 0;
        bool aligned = false;
        // File offset of its head, which ends at the write end.
        uint64_t Offset(uint64_t writeEnd) const { return writeEnd - length - record_format::kRecordHeadSize; }
    };
    Growing& growing() { return m_growing; }
    // Writes the growing record's length into its length field; from then
    // on there is no growing record. Until that write succeeds the record
    // stays growing: its length 0 stays true, as nothing else is appended,
    // whereas in the middle of the file it would run to the file's end for
    // every reader and hide every record after it.
    int32_t FixGrowingRecord();

    uint8_t* Scratch() { return m_scratch; }

    // The latest operation on the data file that the system refused: what
    // was being done, where, and the system's reason (errno; 0 when nothing
    // has failed so), so that the cause of a failure reaches the host as
    // more than a result code.
    struct Failure {
        int32_t systemError = 0;
        const char* doing = "";
        uint64_t offset = 0;
        uint64_t count = 0;
    };
    const Failure& LastFailure() const { return m_failure; }

private:
    void NoteFailure(const char* doing, uint64_t offset, uint64_t count);

    DataFile* m_file;
    uint64_t m_position = 0;
    uint64_t m_writeEnd = 0;
    int32_t m_sealed = S_OK;
    bool m_unsynced = false;
    bool m_readsAhead = false;
    // Appended bytes from here to the write end have not been handed to the
    // disk yet: every kWriteBackStep of them are, as they come, so that the
    // sync at a durable point finds little left to write.
    uint64_t m_writeBackFrom = 0;
    static constexpr uint64_t kWriteBackStep = 8u << 20;
    Growing m_growing;
    Failure m_failure;
    uint8_t m_scratch[record_format::kScratchSize];
    uint8_t* m_window = nullptr;  // kWindowSize bytes, made at the first Peek
    uint64_t m_windowStart = 0;
    uint32_t m_windowLength = 0;
    bool m_windowValid = false;
    bool m_windowReachesEnd = false;  // the read that filled it came back short
};

#endif
