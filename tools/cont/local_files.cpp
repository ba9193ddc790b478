#include "local_files.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace cont {

namespace fs = std::filesystem;

PathKind KindOf(const std::string& path) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || status.type() == fs::file_type::not_found) return PathKind::kMissing;
    if (status.type() == fs::file_type::regular) return PathKind::kRegular;
    if (status.type() == fs::file_type::directory) return PathKind::kDirectory;
    return PathKind::kOther;
}

bool FileSizeOf(const std::string& path, uint64_t* size) {
    std::error_code ec;
    const uintmax_t n = fs::file_size(path, ec);
    if (ec) return false;
    *size = n;
    return true;
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) && !ec;
}

std::string BaseName(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const size_t slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string ParentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool MakeDirectories(const std::string& path, std::string* reason) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec) {
        *reason = ec.message();
        return false;
    }
    return true;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void InputFile::Close() {
    if (fd_ >= 0 && owned_) close(fd_);
    fd_ = -1;
    owned_ = false;
}

bool InputFile::Open(const std::string& path, std::string* reason) {
    Close();
    if (path == "-") {
        fd_ = STDIN_FILENO;
    } else {
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            *reason = std::strerror(errno);
            return false;
        }
        owned_ = true;
    }
    struct stat st;
    if (fstat(fd_, &st) != 0) {
        *reason = std::strerror(errno);
        Close();
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *reason = "is a directory";
        Close();
        return false;
    }
    regular_ = S_ISREG(st.st_mode);
    return true;
}

bool InputFile::Read(uint8_t* into, size_t count, size_t* got, std::string* reason) {
    *got = 0;
    while (*got < count) {
        const ssize_t n = read(fd_, into + *got, count - *got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *reason = std::strerror(errno);
            return false;
        }
        *got += static_cast<size_t>(n);
        if (n == 0 || !regular_) break;
    }
    return true;
}

bool InputFile::Wait(int timeoutMs, bool* ready, std::string* reason) {
    *ready = true;
    if (regular_) return true;
    struct pollfd input = {fd_, POLLIN, 0};
    int n;
    do {
        n = poll(&input, 1, timeoutMs);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        *reason = std::strerror(errno);
        return false;
    }
    // POLLHUP and POLLERR as well as POLLIN: a read returns at once.
    *ready = n > 0;
    return true;
}

}  // namespace cont
