// Where `cont extract` writes its files: one directory, opened once, and
// every file made beneath it one path segment at a time, each directory
// opened (or made) relative to the one before it and never through a
// symbolic link, so nothing is written outside it whatever it holds.
//
// Each file is written under a temporary name beside its target and renamed
// into place only once it is whole: a failed entry leaves the file it was
// to replace as it was. What was written of an entry that could not be read
// whole is kept all the same, as tar keeps a file cut short, but never in
// place of a file that is there. A target that is not a regular file (a link, a
// FIFO, a directory, a device) is refused rather than opened, and so is the
// container being read, under any name.
#ifndef CONT_EXTRACT_DIRECTORY_H
#define CONT_EXTRACT_DIRECTORY_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>

namespace cont {

class ExtractDirectory {
public:
    ExtractDirectory() = default;
    ExtractDirectory(const ExtractDirectory&) = delete;
    ExtractDirectory& operator=(const ExtractDirectory&) = delete;
    ~ExtractDirectory();

    // Opens `path` (the current directory when empty), making it and its
    // parents first when missing. `container` is the file being read, which
    // is never written. False with the reason.
    bool Open(const std::string& path, const std::string& container, std::string* reason);

    // One file being written.
    class File {
    public:
        File() = default;
        File(const File&) = delete;
        File& operator=(const File&) = delete;
        // A file never committed is removed again.
        ~File();
        bool Write(const uint8_t* data, size_t size, std::string* reason);
        // Makes the file the target: flushed to the disk first when it
        // replaces one, then renamed over it. False with the reason.
        bool Commit(std::string* reason);
        // Keeps what was written of an entry that could not be read whole:
        // under the file's own name when nothing is there, else beside it
        // as NAME.partial when that name is free, else under its temporary
        // name. The name it is kept under (its last segment), or empty when
        // nothing was written (the file is then removed).
        std::string KeepPartial();
        uint64_t written() const { return written_; }
        // A file was there when Begin looked.
        bool replacing() const { return replacing_; }

    private:
        friend class ExtractDirectory;
        void Abandon();

        int dir_ = -1;  // the directory that holds the file; owned
        int fd_ = -1;
        std::string temp_;
        std::string name_;
        bool replacing_ = false;
        uint64_t written_ = 0;
    };

    // `name` as a path the user can find it by, for messages.
    std::string PathOf(const std::string& name) const;

    // Starts the file `name`, a relative path that ExtractableEntryName
    // accepts; the directories on its way are made when missing. False with
    // the reason when it must not be written: no file is then touched.
    bool Begin(const std::string& name, File* file, std::string* reason);

private:
    // The directory that is to hold `name` (opened, owned by the caller)
    // and the name's last segment; -1 with the reason when a segment on the
    // way is not a directory (a symbolic link included) or cannot be made.
    int OpenParent(const std::string& name, std::string* leaf, std::string* reason) const;

    std::string path_;
    int fd_ = -1;
    dev_t containerDevice_ = 0;
    ino_t containerInode_ = 0;
};

}  // namespace cont

#endif
