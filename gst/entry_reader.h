// What contsrc reads through: one entry of one container, opened through
// the host library, read at any offset with the module's own buffers handed
// out; or, following, an entry another program is still writing, read as
// it grows until its writer closes the container.
#ifndef CONTSRC_ENTRY_READER_H
#define CONTSRC_ENTRY_READER_H

#include <contfs/container.h>
#include <contfs/entry_file.h>
#include <contfs/module.h>
#include <contfs/ref.h>
#include <contfs/writer_watch.h>
#include <stdint.h>

#include <string>

namespace contsrc {

// A failure in the terms GStreamer reports it in.
struct Failure {
    enum class Kind {
        kNotFound,  // no such container or entry
        kOpen,      // there, but it cannot be opened
        kRead,      // a read or seek failed (damage), or a writer left the entry unfinished
    };
    Kind kind = Kind::kRead;
    std::string message;  // for the user: what, where, and the module's result by name
    std::string detail;   // for the debug text
};

// Bytes of the entry, still in the module's buffer, which `buffer` holds.
struct Piece {
    contfs::Ref<IQLXBuffer> buffer;
    const uint8_t* bytes = nullptr;
    uint32_t length = 0;
};

class EntryReader {
public:
    enum class Got { kData, kEnd, kInterrupted, kFailed };

    // Opens entry `name` of the container at `path` (as a person writes
    // it). Not following, the entry is served as it is now, its size known;
    // following, an entry or container not there yet is waited for while a
    // writer holds the container.
    bool Open(contfs::Module& module, const std::string& path, const std::string& name, bool follow,
              Failure* failure);
    void Close();

    // The entry's size; following, unknown (false).
    bool Size(uint64_t* size) const;

    // Up to `count` bytes from `offset` on. Fewer at the end, and before
    // damage: the next read then fails. Following, waits at the end for the
    // writer to add more, and ends (kEnd) once it closed the container;
    // kInterrupted after Interrupt.
    Got Read(uint64_t offset, uint32_t count, Piece* piece, Failure* failure);

    // Ends a wait for a growing entry, from any thread, and keeps later
    // ones from starting until Resume.
    void Interrupt() { watch_.Interrupt(); }
    void Resume() { watch_.Resume(); }

private:
    bool OpenEntry(bool quietly, Failure* failure);
    Got ReadHere(uint64_t offset, uint32_t count, Piece* piece, Failure* failure);
    // One reading of a growing entry, to be read on from `offset`:
    // everything let go of, the writer looked at, the entry opened anew.
    // False on a failure worth reporting.
    bool Refresh(uint64_t offset, Failure* failure);
    std::string Where() const;

    contfs::Module* module_ = nullptr;
    std::string path_;
    std::string name_;
    bool follow_ = false;
    contfs::Container container_;
    contfs::EntryFile entry_;
    bool open_ = false;
    bool placed_ = false;  // the module's position is the entry's
    uint64_t size_ = 0;
    contfs::WriterWatch watch_;
    contfs::WriterWatch::State state_ = contfs::WriterWatch::State::kWriting;
};

}  // namespace contsrc

#endif
