// Fixed-width unsigned integers in big-endian byte order, the only order a
// container file knows. A 64-bit value is its high 32 bits, then its low 32
// bits, each most significant byte first.
//
// Put* writes exactly the width at p; Get* reads exactly the width from p.
// Neither checks bounds: callers hand in storage they have sized themselves.
// Every integer that goes to or comes from a container file passes here.
#ifndef CONTFS_CONTAINER_BIG_ENDIAN_H
#define CONTFS_CONTAINER_BIG_ENDIAN_H

#include <cstdint>

namespace big_endian {

inline void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void Put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline void Put64(uint8_t* p, uint64_t v) {
    Put32(p, static_cast<uint32_t>(v >> 32));
    Put32(p + 4, static_cast<uint32_t>(v));
}

inline uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

inline uint32_t Get32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline uint64_t Get64(const uint8_t* p) { return (static_cast<uint64_t>(Get32(p)) << 32) | Get32(p + 4); }

}  // namespace big_endian

#endif
