// Helpers shared by the container tests: a scratch directory, whole-file
// reads and writes, containers held by one reference, and entry transfers
// that go through the container's own interface.
#ifndef CONTFS_TESTS_CONTAINER_TEST_UTIL_H
#define CONTFS_TESTS_CONTAINER_TEST_UTIL_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "buffer/byte_buffer.h"
#include "container/big_endian.h"
#include "container/container_file.h"
#include "support/container_bytes.h"

namespace ctest {

using Bytes = std::vector<uint8_t>;

inline std::string MakeScratchDir() {
    std::string pattern = (getenv("TMPDIR") ? std::string(getenv("TMPDIR")) : std::string("/tmp")) + "/contXXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const char* made = mkdtemp(buffer.data());
    return made ? std::string(made) : std::string();
}

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes Pattern(size_t count, uint32_t seed) {
    Bytes bytes(count);
    std::mt19937 random(seed);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

inline uint32_t Get32(const Bytes& file, uint64_t at) { return big_endian::Get32(&file.at(at + 3) - 3); }
inline uint64_t Get64(const Bytes& file, uint64_t at) { return big_endian::Get64(&file.at(at + 7) - 7); }

// A data record as the file holds it.
struct DataRecord {
    uint64_t offset;
    uint32_t entry;
    uint64_t logical;
    uint32_t length;  // the length field: 0 while growing
};

// The data records of a ".W7K" file, in file order, up to a growing record.
inline std::vector<DataRecord> DataRecords(const Bytes& file) {
    std::vector<DataRecord> records;
    uint64_t at = 11 + Get32(file, 7);
    while (at + 5 <= file.size()) {
        uint32_t length = Get32(file, at + 1);
        if (file[at] == 2) records.push_back({at, Get32(file, at + 5), Get64(file, at + 9), length});
        if (length == 0) break;
        at += 5 + length;
    }
    return records;
}

// One reference on a container, released at the end of the scope.
class Held {
public:
    Held(const std::string& path, uint32_t access, DataFile* file = nullptr)
        : m_container(new CContainerFile(path.c_str(), access, file)) {
        m_container->AddRef();
    }
    ~Held() { Close(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    CContainerFile* operator->() const { return m_container; }
    CContainerFile* get() const { return m_container; }
    void Close() {
        if (m_container) m_container->Release();
        m_container = nullptr;
    }

private:
    CContainerFile* m_container;
};

// The container's own view of an entry: its seek table and record map.
inline StoredEntry* Stored(ContainerEntry* entry) { return static_cast<StoredEntry*>(entry); }

inline EntryCursor CursorFor(const ContainerEntry* entry) {
    EntryCursor cursor;
    cursor.index = entry ? entry->index : 0xFFFFFFFFu;
    return cursor;
}

inline int32_t Write(CContainerFile* container, EntryCursor& cursor, const Bytes& bytes) {
    ByteBuffer* buffer = ByteBuffer::CreateWith(bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (!buffer) return E_OUTOFMEMORY;
    int32_t result = container->WriteEntry(&cursor, buffer);
    buffer->Release();
    return result;
}

inline int32_t Write(CContainerFile* container, EntryCursor& cursor, const std::string& text) {
    return Write(container, cursor, Bytes(text.begin(), text.end()));
}

// One ReadEntry; the bytes delivered are appended to *into.
inline int32_t Read(CContainerFile* container, EntryCursor& cursor, uint32_t count, Bytes* into) {
    IQLXBuffer* buffer = nullptr;
    int32_t result = container->ReadEntry(&cursor, &buffer, count);
    if (buffer) {
        const uint8_t* bytes = buffer->GetBuffer();
        if (QLX_SUCCEEDED(result) && into) into->insert(into->end(), bytes, bytes + buffer->GetSize());
        buffer->Release();
    }
    return result;
}

// Reads an entry from its start in pieces until the end of its data or a
// failure, which is returned (S_OK when the end was reached).
inline int32_t ReadAll(CContainerFile* container, const ContainerEntry* entry, Bytes* into, uint32_t piece = 4096) {
    EntryCursor cursor = CursorFor(entry);
    for (;;) {
        int32_t result = Read(container, cursor, piece, into);
        if (result == RES_END_OF_DATA) return S_OK;
        if (QLX_FAILED(result)) return result;
    }
}

// Container files built byte by byte (the other header variant, damage).
using FileBuilder = ContainerBytes;

// Test fixture base: a scratch directory removed with everything in it.
class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = MakeScratchDir();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override {
        std::error_code error;
        std::filesystem::remove_all(dir, error);
    }
    std::string PathOf(const std::string& name) const { return dir + "/" + name; }

    std::string dir;
};

}  // namespace ctest

#endif
