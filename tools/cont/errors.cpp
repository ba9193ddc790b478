#include "errors.h"

#include <contfs/result.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cont {

namespace {

std::string g_lastFailure;
std::vector<Failure> g_failures;
bool g_keepFailures = false;

std::string Where(const Place& place) {
    std::string line;
    if (!place.container.empty()) line += Printable(place.container) + ": ";
    if (!place.entry.empty()) line += "entry " + QuotedName(place.entry) + ": ";
    return line;
}

}  // namespace

int32_t ResultFromErrno(int code) {
    return static_cast<int32_t>(0x80070000u | (static_cast<uint32_t>(code) & 0xFFFFu));
}

int Fail(const Place& place, const std::string& what, int32_t result) {
    return FailPlain(place, what + ": " + contfs::Result(result).Describe());
}

int Fail(const Place& place, const std::string& what, int32_t result, const std::string& then) {
    return FailPlain(place, what + ": " + contfs::Result(result).Describe() + "; " + then);
}

int FailPlain(const Place& place, const std::string& what) {
    std::fprintf(stderr, "cont: %s%s\n", Where(place).c_str(), what.c_str());
    g_lastFailure = what;
    NoteFailure(place, what);
    return kExitFailure;
}

const std::string& LastFailure() { return g_lastFailure; }

void KeepFailures() { g_keepFailures = true; }

void NoteFailure(const Place& place, const std::string& what) {
    if (g_keepFailures) g_failures.push_back(Failure{place, what});
}

const std::vector<Failure>& Failures() { return g_failures; }

std::string Described(const Failure& failure) { return Where(failure.place) + failure.what; }

std::string SystemReason(const std::string& what) { return what + ": " + std::strerror(errno); }

int UsageError(const char* command, const std::string& what) {
    if (command)
        std::fprintf(stderr, "cont %s: %s\nTry 'cont %s --help'.\n", command, what.c_str(), command);
    else
        std::fprintf(stderr, "cont: %s\nTry 'cont --help'.\n", what.c_str());
    return kExitUsage;
}

std::string Printable(const std::string& text) {
    std::string out;
    AppendPrintable(&out, text);
    return out;
}

void AppendPrintable(std::string* out, const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    // Runs that need no escape go in whole: names are mostly plain.
    size_t plainFrom = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c != '\\' && c >= 0x20 && c != 0x7F) continue;
        out->append(text, plainFrom, i - plainFrom);
        if (c == '\\')
            out->append("\\\\");
        else
            out->append({'\\', 'x', kHex[c >> 4], kHex[c & 15]});
        plainFrom = i + 1;
    }
    out->append(text, plainFrom, std::string::npos);
}

std::string ShortName(const std::string& name) {
    if (name.size() <= kShownNameBytes) return name;
    size_t cut = kShownNameBytes - 3;
    // Not inside a UTF-8 sequence.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    return name.substr(0, cut) + "...";
}

std::string QuotedName(const std::string& name) {
    const std::string quoted = "'" + Printable(ShortName(name)) + "'";
    return name.size() <= kShownNameBytes ? quoted : quoted + " (" + std::to_string(name.size()) + " bytes)";
}

}  // namespace cont
