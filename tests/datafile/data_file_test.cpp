// What the abstract data file does for an implementation that provides only
// the required operations: an in-memory file that records what reaches it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "datafile/data_file.h"

namespace {

class MemoryFile : public DataFile {
public:
    int32_t Create(const char*, uint32_t, uint32_t) override { return S_OK; }
    int32_t Open(const char* path, uint32_t flags, int32_t textMode) override {
        openedPath = path ? path : "";
        openedFlags = flags;
        openedText = textMode;
        open = true;
        return S_OK;
    }
    int32_t Close() override {
        open = false;
        return S_OK;
    }
    int32_t Seek(int32_t offset, uint32_t origin) override {
        seeks.push_back({offset, origin});
        if (origin != 0 || offset < 0) return RES_IO_ERROR;
        position = static_cast<size_t>(offset);
        return S_OK;
    }
    int32_t Tell() override { return tellAnswer ? *tellAnswer : static_cast<int32_t>(position); }
    int32_t Read(void* dst, uint32_t count) override {
        readCounts.push_back(count);
        if (failReads) return -1;
        size_t n = std::min<size_t>(count, position < bytes.size() ? bytes.size() - position : 0);
        std::memcpy(dst, bytes.data() + position, n);
        position += n;
        return static_cast<int32_t>(n);
    }
    int32_t Write(const void*, uint32_t) override { return -1; }
    int32_t Rewind() override { return Seek(0, 0); }
    int16_t GetDescriptor() override { return open ? 3 : -1; }
    int32_t Delete(const char*) override { return S_OK; }

    std::string bytes;
    size_t position = 0;
    bool open = false;
    bool failReads = false;
    const int32_t* tellAnswer = nullptr;
    std::string openedPath;
    uint32_t openedFlags = 0;
    int32_t openedText = -1;
    std::vector<std::pair<int32_t, uint32_t>> seeks;
    std::vector<uint32_t> readCounts;
};

// Knows its length, as an implementation that overrides GetFileLength does.
class SizedMemoryFile : public MemoryFile {
public:
    int32_t GetFileLength() override { return static_cast<int32_t>(bytes.size()); }
};

TEST(DataFileBaseTest, DefaultsOfTheOptionalOperations) {
    MemoryFile file;
    char name[260] = "unchanged";
    EXPECT_EQ(0, file.MakeTempFileName("x", name));
    EXPECT_STREQ("unchanged", name);
    EXPECT_EQ(0, file.GetFileLength());
    EXPECT_EQ(-1, file.GetFileLength64());
    EXPECT_EQ(E_NOTIMPL, file.SetFileLength(5));
    EXPECT_EQ(0, file.ReservedFirst(7));
    EXPECT_EQ(0, file.ReservedSecond(7));
    EXPECT_EQ(0, file.GetLastErrorCode());
}

TEST(DataFileBaseTest, OpenSharedIsOpenWithoutTheShareFlags) {
    MemoryFile file;
    EXPECT_EQ(S_OK, file.OpenShared("p", 0x8002, kShareDenyReadWrite, 1));
    EXPECT_EQ("p", file.openedPath);
    EXPECT_EQ(0x8002u, file.openedFlags);
    EXPECT_EQ(1, file.openedText);
}

TEST(DataFileBaseTest, Seek64UsesOnlyTheLowHalf) {
    MemoryFile file;
    EXPECT_EQ(S_OK, file.Seek64(100, 1, 0));
    ASSERT_EQ(1u, file.seeks.size());
    EXPECT_EQ(100, file.seeks[0].first);
    EXPECT_EQ(0u, file.seeks[0].second);
}

TEST(DataFileBaseTest, Tell64WidensTheUnsignedTell) {
    MemoryFile file;
    const int32_t failed = -1;
    file.tellAnswer = &failed;
    EXPECT_EQ(4294967295u, file.Tell64());
    const int32_t high = static_cast<int32_t>(0x80000010u);
    file.tellAnswer = &high;
    EXPECT_EQ(0x80000010u, file.Tell64());
}

TEST(DataFileBaseTest, ReadAtSeeksReadsAndSeeksBack) {
    MemoryFile file;
    file.bytes = "0123456789";
    file.position = 2;
    char got[4] = {};
    EXPECT_EQ(4, file.ReadAt(5, got, 4));
    EXPECT_EQ("5678", std::string(got, 4));
    EXPECT_EQ(2u, file.position);
    file.failReads = true;
    EXPECT_EQ(-1, file.ReadAt(5, got, 4));
    EXPECT_EQ(2u, file.position);
}

TEST(DataFileBaseTest, ReadBufferAsksForTheCountClampedToTheWholeLength) {
    SizedMemoryFile file;
    file.bytes.assign(60, 'a');
    file.Open("p", 0, 0);
    file.position = 50;
    IQLXBuffer* out = nullptr;
    ASSERT_EQ(S_OK, file.ReadBuffer(100, &out));
    // Not 10 (what is left): the clamp is against the whole file.
    ASSERT_EQ(1u, file.readCounts.size());
    EXPECT_EQ(60u, file.readCounts[0]);
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(10u, out->GetSize());
    EXPECT_EQ(0u, out->Release());

    ASSERT_EQ(S_OK, file.ReadBuffer(7, &out));
    EXPECT_EQ(7u, file.readCounts[1]);
    EXPECT_EQ(0u, out->GetSize());
    out->Release();
}

TEST(DataFileBaseTest, ReadBufferWithoutALengthReadsNothing) {
    MemoryFile file;  // GetFileLength stays the base's 0
    file.bytes = "abc";
    file.Open("p", 0, 0);
    IQLXBuffer* out = nullptr;
    ASSERT_EQ(S_OK, file.ReadBuffer(3, &out));
    EXPECT_EQ(0u, out->GetSize());
    EXPECT_EQ(0u, file.position);
    out->Release();
}

TEST(DataFileBaseTest, ReadBufferFailures) {
    SizedMemoryFile file;
    file.bytes = "abc";
    char sentinel = 0;
    IQLXBuffer* out = reinterpret_cast<IQLXBuffer*>(&sentinel);
    EXPECT_EQ(E_FAIL, file.ReadBuffer(3, &out));  // not open
    EXPECT_EQ(nullptr, out);
    EXPECT_TRUE(file.readCounts.empty());

    file.Open("p", 0, 0);
    file.failReads = true;
    out = reinterpret_cast<IQLXBuffer*>(&sentinel);
    EXPECT_EQ(RES_IO_ERROR, file.ReadBuffer(3, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, file.ReadBuffer(3, nullptr));
}

}  // namespace
