// What every fuzz target shares: the check that stops the run with the
// broken promise named, choices drawn from a hash of the input (so a run
// replays exactly), and a scratch directory for the files an input makes.
#ifndef CONTFS_FUZZ_FUZZ_SUPPORT_H
#define CONTFS_FUZZ_FUZZ_SUPPORT_H

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace fuzz {

[[noreturn]] inline void Broken(const std::string& what) {
    std::fprintf(stderr, "broken: %s\n", what.c_str());
    std::abort();
}

inline std::string Hex(int32_t result) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(result));
    return text;
}

// A name as messages show it: cut short, every byte that is not printable
// escaped.
inline std::string Shown(const std::string& name) {
    std::string shown;
    for (size_t i = 0; i < name.size() && i < 60; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\x%02x", c);
        shown += c >= 0x20 && c < 0x7f && c != '\\' ? std::string(1, static_cast<char>(c)) : std::string(escape);
    }
    if (name.size() > 60) shown += "...(" + std::to_string(name.size()) + " bytes)";
    return "\"" + shown + "\"";
}

inline void Check(bool ok, const char* what) {
    if (!ok) Broken(what);
}

// splitmix64, seeded with FNV-1a of the input.
class Choices {
public:
    Choices(const uint8_t* bytes, size_t size) {
        uint64_t h = 0xcbf29ce484222325ull;
        for (size_t i = 0; i < size; ++i) h = (h ^ bytes[i]) * 0x100000001b3ull;
        m_state = h;
    }
    uint64_t Next() {
        uint64_t z = (m_state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }

    // A second stream, drawn from this one's state without moving it: the
    // choices a harness gains later take one, so that the inputs of a
    // corpus go on making the choices they made before.
    Choices Beside(uint64_t salt) const {
        Choices other = *this;
        other.m_state ^= salt;
        return other;
    }

    // Small pieces cross record boundaries one byte at a time; the large
    // ones cross many records at once and test the clamps on absurd counts.
    uint32_t PieceSize() {
        static const uint32_t kPieces[] = {1, 2, 3, 7, 16, 100, 511, 4096, 25000, 65536, (1u << 20) + 1, 0xFFFFFFFFu};
        return kPieces[Below(sizeof kPieces / sizeof kPieces[0])];
    }

private:
    uint64_t m_state;
};

// The scratch directory, a plain array so that it outlives every static
// destructor: it is removed at exit (each input's files are unlinked after
// it). Under $TMPDIR, which a long run points at a memory file system.
inline char g_scratchDir[4096];

inline void RemoveScratchDir() {
    if (g_scratchDir[0]) rmdir(g_scratchDir);
}

inline const std::string& ScratchDir() {
    static const std::string dir = [] {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/fuzzcontXXXXXX";
        Check(pattern.size() < sizeof g_scratchDir, "scratch directory name");
        std::memcpy(g_scratchDir, pattern.c_str(), pattern.size() + 1);
        Check(mkdtemp(g_scratchDir) != nullptr, "scratch directory");
        std::atexit(RemoveScratchDir);
        return std::string(g_scratchDir);
    }();
    return dir;
}

inline void WriteFile(const std::string& path, const void* bytes, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    Check(file != nullptr, "scratch file");
    Check(size == 0 || std::fwrite(bytes, 1, size, file) == size, "scratch write");
    Check(std::fclose(file) == 0, "scratch close");
}

inline std::string ReadFile(const std::string& path) {
    std::string bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return bytes;
    char block[65536];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) bytes.append(block, got);
    std::fclose(file);
    return bytes;
}

// The file's bytes as they are at this moment, in a file of their own: what
// a crash of the writer would leave (every write reached the page cache).
inline void CopyFile(const std::string& from, const std::string& to) {
    const std::string bytes = ReadFile(from);
    WriteFile(to, bytes.data(), bytes.size());
}

}  // namespace fuzz

#endif
