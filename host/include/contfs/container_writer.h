// A new container, written through any number of entries at once: each
// entry is its own EntryFile, and the bytes of entries written in turn lie
// interleaved in the file, in the order they were written.
//
// The container is written out (its directory, and the flag that says it
// was closed cleanly) once the writer is closed and every entry file
// added through it is released. A container file that loses its last
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
    // before the first AddEntry, which creates the file. A path no URL can
    // carry is RES_INVALID_PATH, and a file at `path` that holds anything
    // is E_ACCESSDENIED: a writer never empties a file (an empty one it
    // takes over). The reason is in `why` when given.
    Result Create(Module& module, const std::string& path, std::string* why = nullptr);

    // Adds an entry of this name and opens it for writing in `file`.
    // E_FAIL when the container already holds the name; RES_UNEXPECTED
    // before Create or after Close.
    Result AddEntry(const std::string& name, EntryFile* file, std::string* why = nullptr);

    // No more entries. The container is written out once the entry files
    // are released as well.
    void Close();

    // The container's path as its URLs carry it (absolute), once created.
    const std::string& urlPath() const { return urlPath_; }

private:
    Result Start(const std::string& url, EntryFile* file, std::string* why);

    Module* module_ = nullptr;
    std::string urlPath_;
    // A file object on the container from its first entry on, so that the
    // container stays open for more entries whatever becomes of the entry
    // files handed out.
    EntryFile holder_;
    bool started_ = false;
};

}  // namespace contfs

#endif
