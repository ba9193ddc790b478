// A clean container written byte by byte, as the module writes one, whose
// one entry is larger than 4 GiB yet takes little disk: the entry's bytes
// are zeros left as holes in the file, but for a tail at its end. Two data
// records hold them (a record's length has 32 bits); the seek table leads
// to the record that holds each chunk.
#ifndef CONTFS_TESTS_SUPPORT_SPARSE_CONTAINER_H
#define CONTFS_TESTS_SUPPORT_SPARSE_CONTAINER_H

#include <cstdint>
#include <fstream>
#include <string>

namespace host {

inline void PutBigEndian(std::string* out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<char>(value >> (8 * i)));
}

// The payload of the first data record; the second holds the rest.
constexpr uint64_t kSparseFirstRecordBytes = 0xF0000000u;

// Writes the container at `path` (replacing what is there): one entry of
// `name`, `size` bytes long (more than kSparseFirstRecordBytes plus the
// tail), whose last tail.size() bytes are `tail` and the rest zeros.
inline bool WriteSparseContainer(const std::string& path, const std::string& name, uint64_t size,
                                 const std::string& tail) {
    if (size < kSparseFirstRecordBytes + tail.size()) return false;
    const std::string title = path.substr(path.find_last_of('/') + 1);
    std::string head = ".W7K";
    PutBigEndian(&head, 1, 2);  // version
    PutBigEndian(&head, 1, 1);  // closed cleanly
    PutBigEndian(&head, title.size(), 4);
    head += title;

    // The index record: slot 0 names the entry record right after it.
    const uint64_t entryRecord = head.size() + 5 + 2056;
    head.push_back(0);
    PutBigEndian(&head, 2056, 4);
    PutBigEndian(&head, entryRecord, 8);
    head.append(2048, '\0');

    // 25000 bytes per seek-table slot, doubled until 1000 slots cover the
    // entry.
    uint64_t chunk = 25000;
    while (size / chunk >= 1000) chunk *= 2;
    const uint64_t firstData = entryRecord + 5 + 4 + name.size() + 8016;
    const uint64_t secondData = firstData + 17 + kSparseFirstRecordBytes;
    head.push_back(1);
    PutBigEndian(&head, name.size() + 8020, 4);
    PutBigEndian(&head, name.size(), 4);
    head += name;
    PutBigEndian(&head, size, 8);
    PutBigEndian(&head, chunk, 8);
    for (uint64_t slot = 0; slot < 1000; ++slot) {
        const uint64_t at = slot * chunk;
        PutBigEndian(&head, at >= size ? 0 : at < kSparseFirstRecordBytes ? firstData : secondData, 8);
    }

    // Data record heads: type 2, payload length, entry 0, logical offset.
    head.push_back(2);
    PutBigEndian(&head, 12 + kSparseFirstRecordBytes, 4);
    PutBigEndian(&head, 0, 4);
    PutBigEndian(&head, 0, 8);
    std::string second;
    second.push_back(2);
    PutBigEndian(&second, 12 + (size - kSparseFirstRecordBytes), 4);
    PutBigEndian(&second, 0, 4);
    PutBigEndian(&second, kSparseFirstRecordBytes, 8);

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
    out.seekp(static_cast<std::streamoff>(secondData));
    out.write(second.data(), static_cast<std::streamsize>(second.size()));
    out.seekp(static_cast<std::streamoff>(secondData + 17 + (size - kSparseFirstRecordBytes) - tail.size()));
    out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
    return static_cast<bool>(out.flush());
}

}  // namespace host

#endif
