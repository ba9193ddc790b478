// A small container built by hand, so that every field's offset is known,
// for tests that damage one field at a time.
#ifndef CONTFS_TESTS_CONTAINER_DAMAGED_LAYOUT_H
#define CONTFS_TESTS_CONTAINER_DAMAGED_LAYOUT_H

#include <string>

#include "container_test_util.h"

namespace ctest {

// A well-formed file with three entries, built by hand so that every field's
// offset is known: the index record, entry records e0..e2 and data records
// d0 (e0: "hello"), d1 (e1: "world"), d2 (e0: "!!").
struct Layout {
    Bytes bytes;
    uint64_t index, entry[3], data[3];
    static constexpr size_t kNameLength = 2;
};

inline Layout MakeLayout(uint8_t clean = 1) {
    FileBuilder b;
    Layout l;
    b.HeaderW7K("dmg.cfs", 1, clean);
    l.index = b.Index();
    const uint64_t sizes[3] = {7, 5, 0};
    for (int i = 0; i < 3; ++i) {
        l.entry[i] = b.Entry("e" + std::to_string(i), sizes[i]);
        b.SetSlot(l.index, i, l.entry[i]);
    }
    l.data[0] = b.Data(0, 0, {'h', 'e', 'l', 'l', 'o'});
    l.data[1] = b.Data(1, 0, {'w', 'o', 'r', 'l', 'd'});
    l.data[2] = b.Data(0, 5, {'!', '!'});
    b.Patch64(b.SeekSlotOffset(l.entry[0], Layout::kNameLength, 0), l.data[0]);
    b.Patch64(b.SeekSlotOffset(l.entry[1], Layout::kNameLength, 0), l.data[1]);
    l.bytes = b.bytes;
    return l;
}

inline void Put64(Bytes& bytes, uint64_t at, uint64_t value) { big_endian::Put64(&bytes.at(at + 7) - 7, value); }
inline void Put32(Bytes& bytes, uint64_t at, uint32_t value) { big_endian::Put32(&bytes.at(at + 3) - 3, value); }

}  // namespace ctest

#endif
