#include "cont_url.h"

#include <filesystem>
#include <system_error>

namespace cont {

namespace {

const char kScheme[] = "cont:///";
// NAME_MAX of the file systems cont writes to.
constexpr size_t kLongestFileName = 255;
const char kFileOption[] = "?file=";

bool IsDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Characters written as %XX. '%' must be; the rest are escaped so a
// printed URL can be pasted into a shell or another tool unharmed.
bool Escaped(unsigned char c) {
    return c < 0x21 || c == 0x7F || c == '%' || c == '\\' || c == '?' || c == '#' || c == '&' || c == '"' ||
           c == '$';
}

void AppendEscaped(std::string* out, const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : text) {
        if (Escaped(c)) {
            *out += '%';
            *out += kHex[c >> 4];
            *out += kHex[c & 15];
        } else {
            *out += static_cast<char>(c);
        }
    }
}

// Characters that, once decoded, would end or reshape the part they are in.
// '$' starts the parser's start-time shorthand wherever a time follows it.
const char* Breaker(const std::string& text, const char* set) {
    for (const char* c = set; *c; ++c)
        if (text.find(*c) != std::string::npos) return c;
    return nullptr;
}

std::string Quoted(char c) { return std::string("'") + c + "'"; }

}  // namespace

bool UrlContainerPath(const std::string& userPath, std::string* path, std::string* reason) {
    if (userPath.empty()) {
        *reason = "empty container path";
        return false;
    }
    std::error_code ec;
    std::filesystem::path full = std::filesystem::weakly_canonical(std::filesystem::absolute(userPath, ec), ec);
    if (ec) {
        *reason = "cannot resolve the path: " + ec.message();
        return false;
    }
    *path = full.lexically_normal().string();
    if (const char* c = Breaker(*path, "?#$\\")) {
        *reason = "the path holds " + Quoted(*c) + ", which a cont URL cannot carry in a container path";
        return false;
    }
    return true;
}

bool AddressableEntryName(const std::string& name, std::string* reason) {
    if (name.empty()) {
        *reason = "an entry name cannot be empty";
        return false;
    }
    if (const char* c = Breaker(name, "#$\\")) {
        *reason = "the name holds " + Quoted(*c) + ", which a cont URL cannot carry";
        return false;
    }
    if (name.front() == ' ' || name.back() == ' ') {
        *reason = "the name begins or ends with a space, which a cont URL drops";
        return false;
    }
    if (name.front() == '"') {
        *reason = "the name begins with '\"', which a cont URL reads as a quote";
        return false;
    }
    if (name.find('"') != std::string::npos && name.find('&') != std::string::npos) {
        *reason = "the name holds both '\"' and '&', which no cont URL can carry together";
        return false;
    }
    return true;
}

bool ExtractableEntryName(const std::string& name, std::string* reason) {
    if (name == "." || name == "..") {
        *reason = "the name is '" + name + "', which names a directory, not a file";
        return false;
    }
    if (name.find('/') != std::string::npos) {
        *reason = "the name holds '/', which a file name cannot";
        return false;
    }
    if (name.size() > kLongestFileName) {
        *reason = "the name is longer than the " + std::to_string(kLongestFileName) + " bytes a file name can have";
        return false;
    }
    return true;
}

namespace {

std::string BuildUrl(const std::string& path, const std::string& name, bool escape) {
    auto append = [escape](std::string* out, const std::string& text) {
        if (escape)
            AppendEscaped(out, text);
        else
            *out += text;
    };
    std::string url = kScheme;
    append(&url, path);
    if (name.empty()) return url;
    url += kFileOption;
    const bool quote = IsDigits(name) || name.find('&') != std::string::npos;
    if (quote) url += '"';
    append(&url, name);
    if (quote) url += '"';
    return url;
}

}  // namespace

std::string MakeContUrl(const std::string& path, const std::string& name) { return BuildUrl(path, name, true); }

std::string MakePlainContUrl(const std::string& path, const std::string& name) {
    return BuildUrl(path, name, false);
}

bool EntryNameFromListing(const std::string& url, const std::string& path, std::string* name) {
    const std::string prefix = kScheme + path + kFileOption;
    if (url.compare(0, prefix.size(), prefix) != 0) return false;
    *name = url.substr(prefix.size());
    // The module lists in double quotes a name it would otherwise misread
    // (only digits, or an '&'); it never quotes a name holding a '"'.
    if (name->size() >= 2 && name->front() == '"' && name->back() == '"' &&
        name->find('"', 1) == name->size() - 1)
        *name = name->substr(1, name->size() - 2);
    return true;
}

}  // namespace cont
