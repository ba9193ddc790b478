#include <contfs/container_url.h>

#include <cstdint>
#include <cstring>
#include <strings.h>
#include <filesystem>
#include <system_error>

#include "quoting/entry_name_quotes.h"

namespace contfs {

namespace {

const char kScheme[] = "cont:///";
const char kFileOption[] = "?file=";
// The longest text the module keeps; a longer URL reaches it empty.
constexpr size_t kLongestUrl = 0xFFFFFF;

// Characters written as %XX. '%' must be; the rest are escaped so a
// printed URL can be pasted into a shell or another tool unharmed.
struct EscapeTable {
    bool escaped[256] = {};
    constexpr EscapeTable() {
        for (int c = 0; c < 0x21; ++c) escaped[c] = true;
        const char others[] = "\x7F%\\?#&\"$";
        for (size_t i = 0; others[i]; ++i) escaped[static_cast<unsigned char>(others[i])] = true;
    }
};
constexpr EscapeTable kEscapes;

bool Escaped(unsigned char c) { return kEscapes.escaped[c]; }

// Unescaped runs are appended whole: a URL is mostly plain text.
void AppendEscaped(std::string* out, const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    size_t plainFrom = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!Escaped(c)) continue;
        out->append(text, plainFrom, i - plainFrom);
        const char escape[3] = {'%', kHex[c >> 4], kHex[c & 15]};
        out->append(escape, sizeof escape);
        plainFrom = i + 1;
    }
    out->append(text, plainFrom, std::string::npos);
}

// The length of text once AppendEscaped has written it.
size_t EscapedLength(const std::string& text) {
    size_t length = text.size();
    for (unsigned char c : text) length += Escaped(c) ? 2 : 0;
    return length;
}

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The parser's reading of a number: spaces, a sign, digits, in 32 bits.
uint32_t ReadNumber(const std::string& text, size_t at) {
    while (at < text.size() && IsSpace(text[at])) ++at;
    const bool negative = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) ++at;
    uint32_t value = 0;
    for (; at < text.size() && IsDigit(text[at]); ++at) value = value * 10u + static_cast<uint32_t>(text[at] - '0');
    return negative ? 0u - value : value;
}

// Whether the URL parser would read a '$' in `text` as its start-time
// shorthand ("clip.dat$2:00" for "clip.dat?start=2:00") and cut the URL
// there: it does so at a '$' whose following text reads as a time other
// than zero, in tenths of a second and 32 bits as the parser counts them
// (at most three colons; days, hours, minutes and seconds read as
// numbers; one digit after the first '.' of the seconds). One pass from the
// end, however many '$' the text holds.
bool HasStartTimeMark(const std::string& text) {
    // A time has at most three colons, so only the text's last three can
    // begin its fields; the seconds begin after the very last one.
    size_t lastColons[3] = {std::string::npos, std::string::npos, std::string::npos};
    size_t colons = 0;
    for (size_t i = text.size(); i-- > 0 && colons < 3;)
        if (text[i] == ':') lastColons[colons++] = i;  // [0] is the last colon
    uint32_t fields[3] = {0, 0, 0};
    for (size_t c = 0; c < colons; ++c) fields[c] = ReadNumber(text, lastColons[c] + 1);
    const size_t dotAfterLastColon = colons ? text.find('.', lastColons[0] + 1) : std::string::npos;

    size_t colonsAfter = 0;
    size_t nextDot = std::string::npos;
    for (size_t d = text.size(); d-- > 0;) {
        if (text[d] == ':') ++colonsAfter;
        if (text[d] == '.') nextDot = d;
        if (text[d] != '$' || colonsAfter > 3) continue;
        // parts[0] seconds, then minutes, hours, days: the number after the
        // '$' is the leftmost field, those after the colons follow it.
        uint32_t parts[4] = {0, 0, 0, 0};
        parts[colonsAfter] = ReadNumber(text, d + 1);
        for (size_t k = 0; k < colonsAfter; ++k) parts[k] = fields[k];
        uint32_t total = (((parts[3] * 24u + parts[2]) * 60u + parts[1]) * 60u + parts[0]) * 10u;
        const size_t dot = colonsAfter ? dotAfterLastColon : nextDot;
        if (dot != std::string::npos && dot + 1 < text.size() && IsDigit(text[dot + 1]))
            total += static_cast<uint32_t>(text[dot + 1] - '0');
        if (total != 0) return true;
    }
    return false;
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
    if (const char* c = Breaker(name, "#\\")) {
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
    // The container path holds no '$' (see UrlContainerPath), so only the
    // name's own, and what follows them, can make a time.
    if (name.find('$') != std::string::npos &&
        HasStartTimeMark(EntryNameNeedsQuotes(name.c_str()) ? '"' + name + '"' : name)) {
        *reason = "the name holds a '$' followed by a time, which a cont URL reads as a start time";
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
    std::string url;
    // Room for the URL without escapes, which most are.
    url.reserve(sizeof kScheme + path.size() + sizeof kFileOption + name.size() + 2);
    url += kScheme;
    append(&url, path);
    if (name.empty()) return url;
    url += kFileOption;
    const bool quote = EntryNameNeedsQuotes(name.c_str());
    if (quote) url += '"';
    append(&url, name);
    if (quote) url += '"';
    return url;
}

}  // namespace

std::string MakeContUrl(const std::string& path, const std::string& name) { return BuildUrl(path, name, true); }

bool UrlCanName(const std::string& path, const std::string& name, std::string* reason) {
    if (!AddressableEntryName(name, reason)) return false;
    // Known without building it: escapes take three characters.
    const size_t length = std::strlen(kScheme) + EscapedLength(path) + std::strlen(kFileOption) +
                          2 * EntryNameNeedsQuotes(name.c_str()) + EscapedLength(name);
    if (length <= kLongestUrl) return true;
    *reason = "the name is so long that its URL would pass the " + std::to_string(kLongestUrl) +
              " characters the module takes";
    return false;
}

std::string MakePlainContUrl(const std::string& path, const std::string& name) {
    return BuildUrl(path, name, false);
}

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// As the module reads a host's text: every backslash a slash, every %XX
// the byte it names.
std::string Decoded(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const int high = text[i] == '%' && i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
        const int low = high >= 0 ? HexValue(text[i + 2]) : -1;
        if (low >= 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += text[i] == '\\' ? '/' : text[i];
        }
    }
    return out;
}

bool Refuse(std::string* reason, const std::string& why) {
    *reason = why;
    return false;
}

}  // namespace

bool ReadContUrl(const std::string& url, std::string* path, std::string* name, std::string* reason) {
    const size_t scheme = std::strlen(kScheme);
    if (url.size() < scheme || strncasecmp(url.c_str(), kScheme, scheme) != 0)
        return Refuse(reason, "a cont URL begins with cont:/// (four slashes before an absolute path)");
    const std::string text = Decoded(url.substr(scheme));
    if (text.find('#') != std::string::npos) return Refuse(reason, "a cont URL cannot carry '#'");
    const size_t query = text.find('?');
    if (query == 0 || text.empty()) return Refuse(reason, "the URL names no container");
    if (query == std::string::npos) return Refuse(reason, "the URL names no entry (?file=NAME)");
    const size_t option = std::strlen(kFileOption) - 1;  // without the '?'
    if (text.compare(query + 1, option, kFileOption + 1) != 0)
        return Refuse(reason, "the only option a cont URL may carry here is file=NAME");
    std::string value = text.substr(query + 1 + option);
    if (!value.empty() && value.front() == '"') {
        const size_t close = value.find('"', 1);
        if (close == std::string::npos) return Refuse(reason, "the entry name's quote is not closed");
        if (close + 1 != value.size())
            return Refuse(reason, "the only option a cont URL may carry here is file=NAME");
        value = value.substr(1, close - 1);
    } else if (value.find('&') != std::string::npos) {
        return Refuse(reason, "the only option a cont URL may carry here is file=NAME");
    } else if (!value.empty() && value.find_first_not_of("0123456789") == std::string::npos) {
        return Refuse(reason, "a name of digits only is written in double quotes (?file=\"" + value + "\")");
    }
    if (!AddressableEntryName(value, reason)) return false;
    *path = text.substr(0, query);
    *name = value;
    return true;
}

bool EntryNameFromListing(const std::string& url, const std::string& path, std::string* name) {
    const size_t scheme = std::strlen(kScheme);
    const size_t option = std::strlen(kFileOption);
    if (url.compare(0, scheme, kScheme) != 0 || url.compare(scheme, path.size(), path) != 0 ||
        url.compare(scheme + path.size(), option, kFileOption) != 0)
        return false;
    name->assign(url, scheme + path.size() + option, std::string::npos);
    // The module lists in double quotes a name it would otherwise misread,
    // by the same rule MakeContUrl quotes by; a name that merely begins and
    // ends with a '"' of its own is listed as it is.
    if (name->size() >= 2 && name->front() == '"' && name->back() == '"') {
        const std::string inner = name->substr(1, name->size() - 2);
        if (EntryNameNeedsQuotes(inner.c_str())) *name = inner;
    }
    return true;
}

}  // namespace contfs
