// Containers written byte by byte, as another writer could make them, for
// the names cont itself would never pack.
#ifndef CONTFS_TESTS_CONT_HAND_BUILT_CONTAINER_H
#define CONTFS_TESTS_CONT_HAND_BUILT_CONTAINER_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace conttest {

inline void PutBig(std::string* out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<char>(value >> (8 * i)));
}

// A clean ".W7K" container written byte by byte, as another writer could
// make it: any names, each entry's bytes in one data record after its
// entry record.
inline std::string HandBuiltContainer(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string file = ".W7K";
    PutBig(&file, 1, 2);  // version
    PutBig(&file, 1, 1);  // clean
    PutBig(&file, 5, 4);
    file += "x.cnt";
    const size_t index = file.size();
    file.push_back(0);
    PutBig(&file, 2056, 4);
    file.append(2056, '\0');
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto& [name, bytes] = entries[i];
        const uint64_t record = file.size();
        for (int b = 0; b < 8; ++b) file[index + 5 + 8 * i + b] = static_cast<char>(record >> (56 - 8 * b));
        file.push_back(1);
        PutBig(&file, name.size() + 8020, 4);
        PutBig(&file, name.size(), 4);
        file += name;
        PutBig(&file, bytes.size(), 8);
        PutBig(&file, 25000, 8);
        PutBig(&file, record + 5 + name.size() + 8020, 8);  // seek slot 0: the data record below
        file.append(8 * 999, '\0');
        file.push_back(2);
        PutBig(&file, 12 + bytes.size(), 4);
        PutBig(&file, i, 4);
        PutBig(&file, 0, 8);
        file += bytes;
    }
    return file;
}

}  // namespace conttest

#endif
