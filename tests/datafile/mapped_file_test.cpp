// The memory-mapped data file: views handed out without copying, aligned to
// the granularity, refused past the end, and unmapped with their last buffer.
#include <gtest/gtest.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "buffer/fragmented_buffer.h"
#include "datafile/mapped_file.h"
#include "platform/memory_map.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kReadOnly = 0x8000;

std::string Bytes(IQLXBuffer* buffer) {
    const uint8_t* data = buffer->GetBuffer();
    return data ? std::string(reinterpret_cast<const char*>(data), buffer->GetSize()) : std::string();
}

// The one fragment of a buffer from ReadBuffer, with a reference for the caller.
IQLXBuffer* ViewOf(IQLXBuffer* read) {
    IQLXFragmentedBuffer* chain = nullptr;
    if (read->QueryInterface(IID_IQLXFragmentedBuffer, reinterpret_cast<void**>(&chain)) != S_OK) return nullptr;
    IQLXEnumFragmentedBuffer* items = nullptr;
    chain->GetEnumerator(&items);
    IQLXBuffer* got[2] = {};
    uint32_t fetched = 0;
    EXPECT_EQ(RES_INCOMPLETE, items->Next(2, got, &fetched));
    EXPECT_EQ(1u, fetched);
    items->Release();
    chain->Release();
    return got[0];
}

class MappedFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(CONTFS_TEST_TMPDIR);
        std::string pattern = std::string(CONTFS_TEST_TMPDIR) + "/mmfile-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern.data()));
        dir = pattern;
        granularity = platform::AllocationGranularity();
        // Three granules and a bit; no byte repeats within 251.
        content.resize(3 * granularity + 100);
        for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i % 251);
        path = Write("data.bin", content);
        views = platform::LiveViewCount();
    }
    void TearDown() override {
        file.reset();
        EXPECT_EQ(views, platform::LiveViewCount()) << "a view outlived its buffers";
        fs::remove_all(dir);
    }

    std::string Write(const std::string& name, const std::string& bytes) {
        std::string where = dir + "/" + name;
        std::ofstream(where, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return where;
    }
    void OpenData() { ASSERT_EQ(S_OK, file->Open(path.c_str(), kReadOnly, 0)); }
    uint32_t Size() const { return static_cast<uint32_t>(content.size()); }
    std::string FileBytes(size_t at, size_t n) const { return content.substr(at, n); }

    std::string dir, path, content;
    uint32_t granularity = 0;
    int32_t views = 0;
    std::unique_ptr<DataFile> file{CreateDataFile(1)};
};

TEST_F(MappedFileTest, FactoryKindOneIsAClosedMappedFile) {
    ASSERT_NE(nullptr, dynamic_cast<MappedFile*>(file.get()));
    IQLXBuffer* out = reinterpret_cast<IQLXBuffer*>(1);
    EXPECT_EQ(E_FAIL, file->ReadBuffer(10, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_FAIL, file->Seek(0, 0));
    EXPECT_EQ(-1, file->Tell());
    EXPECT_EQ(-1, file->GetFileLength64());
    EXPECT_EQ(S_OK, file->Close());
}

TEST_F(MappedFileTest, EmptyFileCannotBeOpened) {
    std::string empty = Write("empty.bin", "");
    int32_t result = file->Open(empty.c_str(), kReadOnly, 0);
    EXPECT_EQ(QLXResultFromPlatformError(EINVAL), result);
    IQLXBuffer* out = nullptr;
    EXPECT_EQ(E_FAIL, file->ReadBuffer(1, &out));
    EXPECT_EQ(E_FAIL, file->Seek(0, 0));
    EXPECT_EQ(0, file->GetLastErrorCode());
}

TEST_F(MappedFileTest, OpenRefusalsCarryThePlatformError) {
    std::string missing = dir + "/missing.bin";
    EXPECT_EQ(QLXResultFromPlatformError(ENOENT), file->Open(missing.c_str(), kReadOnly, 0));
    EXPECT_EQ(QLXResultFromPlatformError(EEXIST), file->Open(path.c_str(), 0x8502, 0));  // create new
    EXPECT_EQ(QLX_RESULT(0x80070000u | EISDIR), file->Open(dir.c_str(), kReadOnly, 0));
    // Emptying needs write access; read-only it is refused and the file kept.
    EXPECT_EQ(QLXResultFromPlatformError(EINVAL), file->Open(path.c_str(), 0x8200, 0));
    EXPECT_EQ(content.size(), fs::file_size(path));
    // Create takes its mode as open flags: a new file is empty, so unmappable.
    EXPECT_EQ(QLXResultFromPlatformError(EINVAL), file->Create(missing.c_str(), 0x8102, 0));
    EXPECT_TRUE(fs::exists(missing));
    EXPECT_EQ(0, file->GetLastErrorCode());
}

TEST_F(MappedFileTest, AppendIsRefusedAndTheOpenFileStaysOpen) {
    OpenData();
    EXPECT_EQ(E_INVALIDARG, file->Open(path.c_str(), 0x8008, 0));
    IQLXBuffer* out = nullptr;
    ASSERT_EQ(S_OK, file->ReadBuffer(4, &out));
    EXPECT_EQ(FileBytes(0, 4), Bytes(out));
    out->Release();
}

TEST_F(MappedFileTest, ViewAtAnUnalignedPositionStartsAtTheGranule) {
    OpenData();
    const uint32_t position = granularity + granularity / 2 + 7;
    const uint32_t into = position % granularity;
    ASSERT_EQ(S_OK, file->Seek(static_cast<int32_t>(position), 0));
    IQLXBuffer* out = nullptr;
    ASSERT_EQ(S_OK, file->ReadBuffer(300, &out));
    EXPECT_EQ(static_cast<int32_t>(position + 300), file->Tell());

    IQLXBuffer* item = ViewOf(out);
    auto* view = dynamic_cast<MappedViewBuffer*>(item);
    ASSERT_NE(nullptr, view);  // the view buffer itself, not a part of it
    EXPECT_EQ(into, view->OffsetInView());
    EXPECT_EQ(view->ViewBase() + into, item->GetBuffer());
    EXPECT_EQ(static_cast<char>((position - into) % 251), static_cast<char>(view->ViewBase()[0]));
    // The whole buffer is the mapped bytes themselves: no copy.
    EXPECT_EQ(item->GetBuffer(), out->GetBuffer());
    EXPECT_EQ(FileBytes(position, 300), Bytes(out));
    EXPECT_EQ(E_NOTIMPL, item->Set(reinterpret_cast<const uint8_t*>("x"), 1));
    EXPECT_EQ(E_NOTIMPL, item->SetSize(1));
    item->Release();
    out->Release();
}

TEST_F(MappedFileTest, WholeFileFromTheStartThenNothingLeft) {
    OpenData();
    IQLXBuffer* out = nullptr;
    ASSERT_EQ(S_OK, file->ReadBuffer(Size(), &out));
    IQLXBuffer* item = ViewOf(out);
    EXPECT_EQ(0u, dynamic_cast<MappedViewBuffer*>(item)->OffsetInView());
    EXPECT_EQ(content, Bytes(out));
    item->Release();
    out->Release();
    EXPECT_EQ(static_cast<int32_t>(Size()), file->Tell());
    EXPECT_EQ(E_FAIL, file->ReadBuffer(1, &out));
    EXPECT_EQ(nullptr, out);
}

TEST_F(MappedFileTest, ReadPastTheEndFailsAndLeavesThePosition) {
    OpenData();
    ASSERT_EQ(S_OK, file->Seek(-10, 2));
    IQLXBuffer* out = reinterpret_cast<IQLXBuffer*>(1);
    EXPECT_EQ(QLXResultFromPlatformError(EINVAL), file->ReadBuffer(11, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(static_cast<int32_t>(Size() - 10), file->Tell());
    EXPECT_EQ(views, platform::LiveViewCount());
    EXPECT_EQ(QLXResultFromPlatformError(EINVAL), file->ReadBuffer(0xFFFFFFFFu, &out));
    EXPECT_EQ(E_INVALIDARG, file->ReadBuffer(0, &out));
    EXPECT_EQ(E_POINTER, file->ReadBuffer(1, nullptr));
    ASSERT_EQ(S_OK, file->ReadBuffer(10, &out));
    EXPECT_EQ(FileBytes(Size() - 10, 10), Bytes(out));
    out->Release();
}

TEST_F(MappedFileTest, SeekMovesFromEachOriginWithoutBoundsOnTheEnd) {
    OpenData();
    IQLXBuffer* out = nullptr;
    ASSERT_EQ(S_OK, file->Seek(10, 2));
    EXPECT_EQ(static_cast<int32_t>(Size() + 10), file->Tell());
    EXPECT_EQ(E_FAIL, file->ReadBuffer(1, &out));
    EXPECT_EQ(S_OK, file->Seek(5, 7));  // unknown origin: nothing moves
    EXPECT_EQ(static_cast<int32_t>(Size() + 10), file->Tell());
    ASSERT_EQ(S_OK, file->Seek(100, 0));
    ASSERT_EQ(S_OK, file->Seek(-40, 1));  // backwards, as the plain file does
    EXPECT_EQ(60, file->Tell());
    EXPECT_EQ(E_INVALIDARG, file->Seek(-61, 1));
    EXPECT_EQ(60, file->Tell());
    // From the start the offset is unsigned: up to 4 GiB - 1.
    ASSERT_EQ(S_OK, file->Seek(static_cast<int32_t>(0xC0000000u), 0));
    EXPECT_EQ(0xC0000000ull, file->Tell64());
    ASSERT_EQ(S_OK, file->Seek64(0, 1, 0));
    EXPECT_EQ(-1, file->Tell());
    EXPECT_EQ(0x100000000ull, file->Tell64());
    EXPECT_EQ(E_INVALIDARG, file->Seek64(0xFFFFFFFFu, 0xFFFFFFFFu, 0));
    ASSERT_EQ(S_OK, file->Seek64(0xFFFFFFF6u, 0xFFFFFFFFu, 2));  // -10 from the end
    EXPECT_EQ(Size() - 10, file->Tell64());
    ASSERT_EQ(S_OK, file->Rewind());
    EXPECT_EQ(0, file->Tell());
}

TEST_F(MappedFileTest, OnlyReadBufferIsSupported) {
    OpenData();
    char scratch[4];
    EXPECT_EQ(-1, file->Read(scratch, 4));
    EXPECT_EQ(-1, file->Write("abcd", 4));
    EXPECT_EQ(0, file->GetFileLength());
    EXPECT_EQ(static_cast<int64_t>(Size()), file->GetFileLength64());
    EXPECT_EQ(0, file->GetDescriptor());
    EXPECT_EQ(E_NOTIMPL, file->SetFileLength(4));
    EXPECT_EQ(E_NOTIMPL, file->Delete(path.c_str()));
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(0, file->GetLastErrorCode());
}

TEST_F(MappedFileTest, ChangingTheReturnedBufferNeverWritesTheFile) {
    OpenData();
    IQLXBuffer* out = nullptr;
    ASSERT_EQ(S_OK, file->ReadBuffer(20, &out));
    ASSERT_EQ(S_OK, out->Set(reinterpret_cast<const uint8_t*>("xyz"), 3));
    EXPECT_EQ("xyz" + FileBytes(3, 17), Bytes(out));
    ASSERT_EQ(S_OK, out->SetSize(5));
    EXPECT_EQ(5u, out->GetSize());
    out->Release();
    file->Close();
    std::ifstream in(path, std::ios::binary);
    std::string disk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, disk);
}

TEST_F(MappedFileTest, ABufferStaysReadableAfterTheFileIsClosedAndDestroyed) {
    OpenData();
    ASSERT_EQ(S_OK, file->Seek(static_cast<int32_t>(granularity - 50), 0));
    IQLXBuffer* out = nullptr;
    ASSERT_EQ(S_OK, file->ReadBuffer(200, &out));  // straddles a granule boundary
    EXPECT_EQ(S_OK, file->Close());
    file.reset();
    EXPECT_EQ(views + 1, platform::LiveViewCount());
    EXPECT_EQ(FileBytes(granularity - 50, 200), Bytes(out));
    EXPECT_EQ(0u, out->Release());
    EXPECT_EQ(views, platform::LiveViewCount());
}

TEST_F(MappedFileTest, EveryViewIsUnmappedWhenItsLastBufferGoes) {
    OpenData();
    std::vector<IQLXBuffer*> reads;
    for (int i = 0; i < 3; ++i) {
        IQLXBuffer* out = nullptr;
        ASSERT_EQ(S_OK, file->ReadBuffer(granularity, &out));
        reads.push_back(out);
    }
    EXPECT_EQ(views + 3, platform::LiveViewCount());
    IQLXBuffer* kept = ViewOf(reads[1]);  // someone took the view itself
    for (IQLXBuffer* read : reads) EXPECT_EQ(0u, read->Release());
    EXPECT_EQ(views + 1, platform::LiveViewCount());
    EXPECT_EQ(FileBytes(granularity, granularity), Bytes(kept));
    EXPECT_EQ(0u, kept->Release());
    EXPECT_EQ(views, platform::LiveViewCount());
}

TEST_F(MappedFileTest, MapWindowRefusesAnEmptyWindowAndRemapsOnReuse) {
    OpenData();
    IQLXBuffer* out = nullptr;
    ASSERT_EQ(S_OK, file->ReadBuffer(1, &out));  // one view, to be reused below
    auto* view = dynamic_cast<MappedViewBuffer*>(ViewOf(out));
    ASSERT_NE(nullptr, view);
    out->Release();
    EXPECT_EQ(E_INVALIDARG, view->MapWindow(nullptr, 0, 0, 10));
    EXPECT_EQ(views, platform::LiveViewCount());  // the old view went first
    EXPECT_EQ(0u, view->GetSize());
    EXPECT_EQ(nullptr, view->GetBuffer());
    view->Release();
}

TEST(MappedFileThreadsTest, ViewsMayBeReleasedOnAnyThread) {
    fs::create_directories(CONTFS_TEST_TMPDIR);
    std::string where = std::string(CONTFS_TEST_TMPDIR) + "/mmfile-threads.bin";
    std::ofstream(where, std::ios::binary) << std::string(64 * 1024, 'q');
    const int32_t before = platform::LiveViewCount();
    std::vector<IQLXBuffer*> reads;
    {
        std::unique_ptr<DataFile> file(CreateDataFile(1));
        ASSERT_EQ(S_OK, file->Open(where.c_str(), kReadOnly, 0));
        for (int i = 0; i < 8; ++i) {
            IQLXBuffer* out = nullptr;
            ASSERT_EQ(S_OK, file->ReadBuffer(8 * 1024, &out));
            reads.push_back(out);
        }
    }
    std::vector<std::thread> threads;
    for (IQLXBuffer* read : reads)
        threads.emplace_back([read] {
            EXPECT_EQ('q', read->GetBuffer()[100]);
            read->Release();
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(before, platform::LiveViewCount());
    fs::remove(where);
}

}  // namespace
