// Host-facing cases around the file object's contract: every write that
// reaches the container is reported on the response, a name removed and
// written again keeps only its new bytes, and Stat on one thread while the
// entry grows on another.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "host_file.h"

namespace {

using host::FileResponse;
using host::HostFile;

class FileContractTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = host::MakeScratchDir();
        ASSERT_FALSE(dir.empty());
        path = dir + "/review.cnt";
    }
    void TearDown() override {
        EXPECT_EQ(S_OK, module.canUnload());
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    std::unique_ptr<HostFile> Open(const std::string& entry, uint32_t access) {
        auto file = host::NewHostFile(module, host::ContUrl(path, entry));
        EXPECT_EQ(S_OK, file->Open(access)) << entry;
        return file;
    }

    host::LoadedModule module;
    std::string dir;
    std::string path;
};

// A host that waits for WriteFinished must get it for a write without a
// buffer too, with the status the call returns.
TEST_F(FileContractTest, WriteWithoutBufferIsReportedOnTheResponse) {
    auto file = Open("e", ReadAccess | WriteAccess);
    size_t before = file->response.calls.size();
    EXPECT_EQ(E_POINTER, file->file->Write(nullptr));
    ASSERT_EQ(before + 1, file->response.calls.size());
    EXPECT_EQ(FileResponse::kWrite, file->response.Last().kind);
    EXPECT_EQ(E_POINTER, file->response.Last().status);
    // The file is unharmed.
    EXPECT_EQ(S_OK, file->Write("after"));
    EXPECT_EQ(S_OK, file->file->Seek(0, 0));
    EXPECT_EQ("after", file->ReadToEnd(100));
}

TEST_F(FileContractTest, NameRemovedAndWrittenAgainKeepsOnlyItsNewBytes) {
    {
        auto old = Open("clip", ReadAccess | WriteAccess);
        ASSERT_EQ(S_OK, old->Write("old bytes of the clip"));
        auto* remove = old->As<IQLXFileRemove>(IID_IQLXFileRemove);
        ASSERT_EQ(S_OK, remove->Remove());
        remove->Release();
        auto fresh = Open("clip", ReadAccess | WriteAccess);
        ASSERT_EQ(S_OK, fresh->Write("new"));
        EXPECT_EQ(S_OK, fresh->file->Seek(0, 0));
        EXPECT_EQ("new", fresh->ReadToEnd(100));
    }
    auto reader = Open("clip", ReadAccess);
    EXPECT_EQ("new", reader->ReadToEnd(100));
}

class FileContractThreadsTest : public FileContractTest {};

// Stat reads the size of an entry that another thread is writing through
// its own file object on the same container.
TEST_F(FileContractThreadsTest, StatWhileTheEntryGrows) {
    auto writer = Open("grows", ReadAccess | WriteAccess);
    auto watcher = Open("grows", 0);
    auto* stat = watcher->As<IQLXFileStat>(IID_IQLXFileStat);
    ASSERT_NE(nullptr, stat);
    constexpr int kPieces = 2000;
    std::atomic<bool> started{false};
    std::atomic<bool> done{false};
    std::thread writing([&] {
        while (!started) std::this_thread::yield();
        for (int i = 0; i < kPieces; ++i) writer->Write(std::string(100, 'w'));
        done = true;
    });
    uint32_t last = 0;
    bool shrank = false;
    while (!done) {
        started = true;
        host::StatResponse response;
        stat->Stat(&response);
        if (response.status == S_OK) {
            shrank |= response.size < last;
            last = response.size;
        }
    }
    writing.join();
    host::StatResponse final;
    stat->Stat(&final);
    stat->Release();
    EXPECT_FALSE(shrank);
    EXPECT_EQ(S_OK, final.status);
    EXPECT_EQ(100u * kPieces, final.size);
}

// A reader on one thread follows an entry that a writer on another thread
// is still appending to, interleaved with a second writer, through its own
// file object: it ends with exactly the bytes written, in order.
TEST_F(FileContractThreadsTest, ReaderFollowsAnEntryGrowingOnAnotherThread) {
    auto writer = Open("live", ReadAccess | WriteAccess);
    auto other = Open("other", ReadAccess | WriteAccess);
    ASSERT_EQ(S_OK, writer->Write("start;"));
    auto reader = Open("live", ReadAccess);
    constexpr int kPieces = 300;
    std::string expected = "start;";
    for (int i = 0; i < kPieces; ++i) expected += std::to_string(i) + std::string(i % 37, 'a' + i % 26) + ";";
    std::atomic<bool> done{false};
    std::thread writing([&] {
        for (int i = 0; i < kPieces; ++i) {
            std::string piece = std::to_string(i) + std::string(i % 37, 'a' + i % 26) + ";";
            writer->Write(piece);
            if (i % 3 == 0) other->Write(std::string(50, 'o'));
        }
        done = true;
    });
    std::string got;
    for (;;) {
        const bool finished = done;
        int32_t last = S_OK;
        got += reader->ReadToEnd(97, &last);
        if (last != RES_END_OF_DATA) break;
        if (finished) break;
        std::this_thread::yield();
    }
    writing.join();
    EXPECT_EQ(expected.size(), got.size());
    EXPECT_EQ(expected, got);
}

}  // namespace
