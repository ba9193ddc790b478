// Container files written byte by byte, as another writer could make them:
// for readers to be tested on files the module would never make (the
// other header variant, names cont would not pack, damage, entries past
// 4 GiB held in holes). The format is spelled out here again on purpose,
// apart from the module's own statement of it, so that a wrong constant
// there is caught rather than shared.
#ifndef CONTFS_TESTS_SUPPORT_CONTAINER_BYTES_H
#define CONTFS_TESTS_SUPPORT_CONTAINER_BYTES_H

#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace ctest {

class ContainerBytes {
public:
    std::vector<uint8_t> bytes;

    uint64_t Size() const { return bytes.size(); }
    std::string AsString() const { return std::string(bytes.begin(), bytes.end()); }

    void Raw(const std::vector<uint8_t>& more) { bytes.insert(bytes.end(), more.begin(), more.end()); }
    void Text(const std::string& text) { bytes.insert(bytes.end(), text.begin(), text.end()); }
    void U8(uint8_t v) { bytes.push_back(v); }
    void U16(uint16_t v) { Big(v, 2); }
    void U32(uint32_t v) { Big(v, 4); }
    void U64(uint64_t v) { Big(v, 8); }
    void Patch32(uint64_t at, uint32_t v) { PatchBig(at, v, 4); }
    void Patch64(uint64_t at, uint64_t v) { PatchBig(at, v, 8); }

    void HeaderW7K(const std::string& title, uint16_t version = 1, uint8_t clean = 1) {
        Text(".W7K");
        U16(version);
        U8(clean);
        U32(static_cast<uint32_t>(title.size()));
        Text(title);
    }
    void HeaderCFS(const std::string& title, uint8_t clean = 1) {
        Text(".CFS");
        U8(clean);
        U32(static_cast<uint32_t>(title.size()));
        Text(title);
    }
    // An index record of `slots` slots, all 0; returns its offset. Slots
    // are set later with SetSlot.
    uint64_t Index(uint32_t slots = 257) {
        const uint64_t at = Size();
        U8(0);
        U32(slots * 8);
        for (uint32_t i = 0; i < slots; ++i) U64(0);
        return at;
    }
    void SetSlot(uint64_t indexOffset, uint32_t slot, uint64_t value) { Patch64(indexOffset + 5 + 8 * slot, value); }
    // An entry record with its seek table's first slot; returns its offset.
    uint64_t Entry(const std::string& name, uint64_t size, uint64_t chunk = 25000, uint64_t slot0 = 0) {
        const uint64_t at = Size();
        U8(1);
        U32(static_cast<uint32_t>(name.size()) + 8020);
        U32(static_cast<uint32_t>(name.size()));
        Text(name);
        U64(size);
        U64(chunk);
        U64(slot0);
        for (int i = 1; i < 1000; ++i) U64(0);
        return at;
    }
    static uint64_t EntryRecordSize(size_t nameLength) { return 5 + nameLength + 8020; }
    static uint64_t SeekSlotOffset(uint64_t entryOffset, size_t nameLength, uint32_t slot) {
        return entryOffset + 9 + nameLength + 16 + 8 * slot;
    }
    // A data record; lengthField -1 writes the true length, 0 a growing
    // record.
    uint64_t Data(uint32_t entry, uint64_t logical, const std::vector<uint8_t>& data, int64_t lengthField = -1) {
        const uint64_t at = DataHead(entry, logical, data.size(), lengthField);
        Raw(data);
        return at;
    }
    // Only the head of a data record whose payload is `payload` bytes.
    uint64_t DataHead(uint32_t entry, uint64_t logical, uint64_t payload, int64_t lengthField = -1) {
        const uint64_t at = Size();
        U8(2);
        U32(lengthField < 0 ? static_cast<uint32_t>(12 + payload) : static_cast<uint32_t>(lengthField));
        U32(entry);
        U64(logical);
        return at;
    }

private:
    void Big(uint64_t v, int count) {
        for (int i = count - 1; i >= 0; --i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void PatchBig(uint64_t at, uint64_t v, int count) {
        for (int i = 0; i < count; ++i) bytes.at(at + i) = static_cast<uint8_t>(v >> (8 * (count - 1 - i)));
    }
};

// A clean container of the entries (name, bytes): each entry's bytes in
// one data record right after its entry record; any names.
inline std::string HandBuiltContainer(const std::vector<std::pair<std::string, std::string>>& entries) {
    ContainerBytes file;
    file.HeaderW7K("x.cnt");
    const uint64_t index = file.Index();
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto& [name, bytes] = entries[i];
        const uint64_t record = file.Size();
        file.SetSlot(index, static_cast<uint32_t>(i), record);
        file.Entry(name, bytes.size(), 25000, record + ContainerBytes::EntryRecordSize(name.size()));
        file.Data(static_cast<uint32_t>(i), 0, std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
    return file.AsString();
}

// The payload of the first data record of WriteSparseContainer's entry;
// the second holds the rest.
constexpr uint64_t kSparseFirstRecordBytes = 0xF0000000u;

// Writes a clean container at `path` (replacing what is there) whose one
// entry, `name`, is `size` bytes long (more than kSparseFirstRecordBytes
// plus the tail) yet takes little disk: its last tail.size() bytes are
// `tail`, the rest zeros left as holes. Two data records hold them (a
// record's length has 32 bits); the seek table leads to the record that
// holds each chunk.
inline bool WriteSparseContainer(const std::string& path, const std::string& name, uint64_t size,
                                 const std::string& tail) {
    if (size < kSparseFirstRecordBytes + tail.size()) return false;
    ContainerBytes head;
    head.HeaderW7K(path.substr(path.find_last_of('/') + 1));
    const uint64_t index = head.Index();
    const uint64_t entryRecord = head.Size();
    head.SetSlot(index, 0, entryRecord);

    // 25000 bytes per seek-table slot, doubled until 1000 slots cover the
    // entry.
    uint64_t chunk = 25000;
    while (size / chunk >= 1000) chunk *= 2;
    const uint64_t firstData = entryRecord + ContainerBytes::EntryRecordSize(name.size());
    const uint64_t secondData = firstData + 17 + kSparseFirstRecordBytes;
    head.Entry(name, size, chunk);
    for (uint32_t slot = 0; slot < 1000; ++slot) {
        const uint64_t at = slot * chunk;
        head.Patch64(ContainerBytes::SeekSlotOffset(entryRecord, name.size(), slot), at >= size ? 0
                                                                                     : at < kSparseFirstRecordBytes
                                                                                         ? firstData
                                                                                         : secondData);
    }
    head.DataHead(0, 0, kSparseFirstRecordBytes);
    ContainerBytes second;
    second.DataHead(0, kSparseFirstRecordBytes, size - kSparseFirstRecordBytes);

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(head.bytes.data()), static_cast<std::streamsize>(head.Size()));
    out.seekp(static_cast<std::streamoff>(secondData));
    out.write(reinterpret_cast<const char*>(second.bytes.data()), static_cast<std::streamsize>(second.Size()));
    out.seekp(static_cast<std::streamoff>(secondData + 17 + (size - kSparseFirstRecordBytes) - tail.size()));
    out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
    return static_cast<bool>(out.flush());
}

}  // namespace ctest

#endif
