// A new container, written through any number of entries at once: each
// entry is its own EntryFile, and the bytes of entries written in turn lie
// interleaved in the file, in the order they were written. Or an existing
// container taken up for adding entries (Append): the new ones go behind
// what it holds, and nothing of that is rewritten.
//
// The container is written out (its directory, and the flag that says it
// was closed cleanly) once the writer is closed and every entry file
// added through it is released.
//
// Entries gather their written bytes (the module's GatherAccess) unless
// SetGathering(false) says otherwise: small writes of entries written at
// once reach the file in large records, each entry's lying together, as
// each entry file's Close, Seek, a Sync or the container's close writes
// them out, or at most half a second after they were written. Another
// process reading the container sees them from then on. A container file that loses its last
// holder before that is not lost: the next reader repairs it.
#ifndef CONTFS_CONTAINER_WRITER_H
#define CONTFS_CONTAINER_WRITER_H

#include <contfs/entry_file.h>
#include <contfs/module.h>
#include <contfs/result.h>

#include <string>

namespace contfs {

class ContainerWriter {
public:
    ContainerWriter() = default;
    ContainerWriter(const ContainerWriter&) = delete;
    ContainerWriter& operator=(const ContainerWriter&) = delete;
    ~ContainerWriter() { Close(); }

    // Makes ready to write a new container at `path`. Nothing is written
    // before the first AddEntry or Sync, which creates the file. A path no
    // URL can carry is RES_INVALID_PATH, and a file at `path` that holds
    // anything is E_ACCESSDENIED: a writer never empties a file (an empty
    // one it takes over). The reason is in `why` when given.
    Result Create(Module& module, const std::string& path, std::string* why = nullptr);

    // Takes up the container at `path` for adding entries (the module's
    // AppendAccess), and holds it until Close; a missing file is made. The
    // container must be open nowhere else: E_ACCESSDENIED while another
    // program has it open (or it cannot be opened for writing);
    // RES_BAD_FORMAT for a file that is no container this module can add
    // to; a damaged directory's failure as reading it gives. Nothing is
    // written on a failure, and a file made here is taken back, as it is
    // at Close when no entry reached it.
    Result Append(Module& module, const std::string& path, std::string* why = nullptr);

    // Whether entries added from now on gather their written bytes (the
    // default) or have each Write reach the file as it is made.
    void SetGathering(bool gather) { gather_ = gather; }

    // Adds an entry of this name and opens it for writing in `file`.
    // E_FAIL when the container already holds the name; RES_UNEXPECTED
    // before Create or Append, or after Close.
    Result AddEntry(const std::string& name, EntryFile* file, std::string* why = nullptr);

    // Whether the container taken up by Append holds an entry of this name.
    Result Holds(const std::string& name, bool* holds);
    // Removes the entry of this name from the container taken up by Append;
    // the removal reaches the file when the container is written out. A
    // name added again afterwards is a new entry. E_FAIL when there is none.
    Result Remove(const std::string& name);

    // A durable point: every byte written through any entry of this
    // container so far survives a power cut once it returns S_OK (a
    // container closed cleanly is durable as a whole: Close needs no Sync).
    // After Create and before the first AddEntry it makes the file, a
    // container of no entries (how an empty container is made: without it,
    // a writer that adds nothing leaves no file). RES_UNEXPECTED before
    // Create or Append, and after Close.
    Result Sync();

    // What the module tells of the container being written (its header,
    // damage, the cause of its file's latest failure); E_NOINTERFACE before
    // the first AddEntry.
    Result Inspect(Inspection* out);

    // No more entries. The container is written out once the entry files
    // are released as well.
    void Close();

    // The container's path as its URLs carry it (absolute), once created.
    const std::string& urlPath() const { return urlPath_; }

private:
    // Closes what the writer held and takes the path a URL will name.
    Result Begin(const std::string& path, std::string* why);

    Result Start(const std::string& url, uint32_t access, EntryFile* file, std::string* why);

    Module* module_ = nullptr;
    std::string urlPath_;
    // A file object on the container from its first entry on, so that the
    // container stays open for more entries whatever becomes of the entry
    // files handed out.
    EntryFile holder_;
    bool started_ = false;
    bool appending_ = false;
    bool made_ = false;  // Append made the file
    bool gather_ = true;
};

}  // namespace contfs

#endif
