// A read-only data file that exists only in memory: zeros, except for the
// pieces put into it. It stands for containers of hundreds of megabytes whose
// bytes are nearly all zero (entry records with empty seek tables), which
// would be slow to write to disk for every run.
#ifndef CONTFS_TESTS_CONTAINER_SPARSE_FILE_H
#define CONTFS_TESTS_CONTAINER_SPARSE_FILE_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <vector>

#include "datafile/data_file.h"

namespace ctest {

class SparseFile : public DataFile {
public:
    explicit SparseFile(uint64_t length) : m_length(length) {}

    // Pieces must not overlap one another.
    void Put(uint64_t at, std::vector<uint8_t> bytes) { m_pieces[at] = std::move(bytes); }

    int32_t Create(const char*, uint32_t, uint32_t) override { return E_NOTIMPL; }
    int32_t Open(const char*, uint32_t flags, int32_t) override {
        if ((flags & 3) != kOpenReadOnly) return RES_OPEN_FAILED;
        m_open = true;
        m_position = 0;
        return S_OK;
    }
    int32_t Close() override {
        m_open = false;
        return S_OK;
    }
    int64_t GetFileLength64() override { return m_open ? static_cast<int64_t>(m_length) : -1; }
    int32_t GetFileLength() override { return static_cast<int32_t>(std::min<uint64_t>(m_length, INT32_MAX)); }
    int32_t Seek(int32_t offset, uint32_t origin) override {
        return origin == kSeekSet && offset >= 0 ? Seek64(static_cast<uint32_t>(offset), 0, kSeekSet) : -1;
    }
    int32_t Seek64(uint32_t low, uint32_t high, uint32_t origin) override {
        if (!m_open || origin != kSeekSet) return -1;
        m_position = (uint64_t{high} << 32) | low;
        return S_OK;
    }
    int32_t Tell() override { return static_cast<int32_t>(m_position); }
    int32_t Read(void* dst, uint32_t count) override {
        if (!m_open) return -1;
        const uint64_t end = std::min<uint64_t>(m_length, m_position + count);
        if (m_position >= end) return 0;
        const uint64_t n = end - m_position;
        uint8_t* out = static_cast<uint8_t*>(dst);
        std::memset(out, 0, n);
        auto piece = m_pieces.upper_bound(m_position);
        if (piece != m_pieces.begin()) --piece;
        for (; piece != m_pieces.end() && piece->first < end; ++piece) {
            const uint64_t from = std::max(piece->first, m_position);
            const uint64_t to = std::min<uint64_t>(piece->first + piece->second.size(), end);
            if (from < to) std::memcpy(out + (from - m_position), &piece->second[from - piece->first], to - from);
        }
        m_position = end;
        return static_cast<int32_t>(n);
    }
    int32_t Write(const void*, uint32_t) override { return -1; }
    int32_t Rewind() override { return Seek64(0, 0, kSeekSet); }
    int16_t GetDescriptor() override { return m_open ? 0 : -1; }
    int32_t Delete(const char*) override { return E_NOTIMPL; }

private:
    uint64_t m_length;
    uint64_t m_position = 0;
    bool m_open = false;
    std::map<uint64_t, std::vector<uint8_t>> m_pieces;
};

}  // namespace ctest

#endif
