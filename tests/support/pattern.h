// Deterministic test bytes: a xorshift stream, different for each seed, so
// that a byte in the wrong place shows.
#ifndef CONTFS_TESTS_SUPPORT_PATTERN_H
#define CONTFS_TESTS_SUPPORT_PATTERN_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace host {

inline std::string Pattern(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return bytes;
}

}  // namespace host

#endif
