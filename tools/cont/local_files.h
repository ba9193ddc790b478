// cont's own access to ordinary files: the inputs of pack and the few facts
// about paths the commands check first.
#ifndef CONT_LOCAL_FILES_H
#define CONT_LOCAL_FILES_H

#include <stdint.h>

#include <string>

namespace cont {

enum class PathKind { kMissing, kRegular, kDirectory, kOther };
PathKind KindOf(const std::string& path);
// Size of a regular file; false when it cannot be had.
bool FileSizeOf(const std::string& path, uint64_t* size);
// True when both name one existing file.
bool SameFile(const std::string& a, const std::string& b);
// The last component of a path ("dir/a.txt" gives "a.txt").
std::string BaseName(const std::string& path);
// The directory that holds a path: "dir" for "dir/a.txt", "." for "a.txt",
// "/" for "/a.txt".
std::string ParentOf(const std::string& path);
// Creates a directory and its parents; false with a reason on failure.
bool MakeDirectories(const std::string& path, std::string* reason);
std::string JoinPath(const std::string& dir, const std::string& name);
bool StderrIsTerminal();

// A file read from start to end ("-" is standard input).
class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile() { Close(); }
    bool Open(const std::string& path, std::string* reason);
    // Up to `count` bytes (0 at the end); false with a reason on a read
    // error. A regular file fills the count; from a pipe or a terminal
    // whatever has arrived is handed over at once, so it can be written
    // as it comes.
    bool Read(uint8_t* into, size_t count, size_t* got, std::string* reason);
    // Waits at most `timeoutMs` (-1: as long as it takes) until a Read
    // would not wait: bytes have arrived, or the end. `ready` is false when
    // the time ran out first. A regular file is always ready. False with a
    // reason when the file cannot be waited on.
    bool Wait(int timeoutMs, bool* ready, std::string* reason);
    // True when the bytes cannot be had a second time: anything but a
    // regular file, such as a pipe.
    bool Irreplaceable() const { return !regular_; }
    void Close();

private:
    int fd_ = -1;
    bool owned_ = false;
    bool regular_ = false;
};

}  // namespace cont

#endif
