#include "cont_url.h"

namespace cont {

namespace {

// NAME_MAX of the file systems cont writes to.
constexpr size_t kLongestFileName = 255;

}  // namespace

bool ExtractableEntryName(const std::string& name, std::string* reason) {
    if (name.empty()) {
        *reason = "an entry name cannot be empty";
        return false;
    }
    if (name.front() == '/') {
        *reason = "the name begins with '/', which would leave the directory it is extracted to";
        return false;
    }
    if (name.back() == '/') {
        *reason = "the name ends with '/', which names a directory, not a file";
        return false;
    }
    // Each segment between slashes becomes a directory or the file.
    for (size_t begin = 0; begin <= name.size();) {
        size_t end = name.find('/', begin);
        if (end == std::string::npos) end = name.size();
        const std::string segment = name.substr(begin, end - begin);
        if (segment.empty()) {
            *reason = "the name holds an empty segment ('//')";
            return false;
        }
        if (segment == "." || segment == "..") {
            *reason = "the name holds a '" + segment + "' segment, which a file path must not";
            return false;
        }
        if (segment.size() > kLongestFileName) {
            *reason = "a segment of the name is longer than the " + std::to_string(kLongestFileName) +
                      " bytes a file name can have";
            return false;
        }
        begin = end + 1;
    }
    return true;
}

bool UsableEntryName(const std::string& path, const std::string& name, std::string* reason) {
    return UrlCanName(path, name, reason) && ExtractableEntryName(name, reason);
}

}  // namespace cont
