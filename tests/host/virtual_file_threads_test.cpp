// Host threads sharing one container: each worker has its own file object
// and entry, while the host's main thread keeps opening and releasing other
// file objects on the same container and on containers of their own; and
// one thread's Stat and reads of an entry that another thread is writing.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host_file.h"

namespace {

constexpr int kWorkers = 4;
constexpr int kRounds = 40;
constexpr size_t kPiece = 1500;

std::string Piece(int worker, int round) {
    std::string bytes(kPiece, '\0');
    for (size_t i = 0; i < kPiece; ++i) bytes[i] = static_cast<char>('A' + worker + (round * 31 + i) % 23);
    return bytes;
}

std::string WorkerEntry(int worker) { return "w" + std::to_string(worker); }

class VirtualFileThreadsTest : public host::HostTest {};

// Each worker writes its entry a piece at a time, and after every write
// reads the whole entry back from the start through the same file object.
// Failures are counted, not asserted: gtest assertions belong to the main
// thread.
void Work(host::LoadedModule* module, const std::string& path, int worker, std::atomic<int>* opened,
          std::atomic<int>* failures) {
    host::HostFile file(module->NewFileObject(), host::ContUrl(path, WorkerEntry(worker)));
    int32_t result = file.Open(ReadAccess | WriteAccess);
    ++*opened;
    if (result != S_OK) {
        ++*failures;
        return;
    }
    std::string expected;
    for (int round = 0; round < kRounds; ++round) {
        const std::string piece = Piece(worker, round);
        if (file.Write(piece) != S_OK) ++*failures;
        expected += piece;
        if (round % 4 != 3) continue;
        if (file.file->Seek(0, 0) != S_OK) ++*failures;
        int32_t last = S_OK;
        if (file.ReadToEnd(1000, &last) != expected || last != RES_END_OF_DATA) ++*failures;
        // Back at the end, where the next piece goes: a relative step of
        // nothing stays there.
        if (file.file64->Seek64(0, 0, 1) != S_OK) ++*failures;
    }
}

TEST_F(VirtualFileThreadsTest, WorkersShareOneContainerWhileTheHostOpensAndReleases) {
    // The shared container is created for writing with one entry that the
    // host reads. Its creator holds it until every worker has joined, then
    // lets go, so the container's last release may fall on any worker thread
    // while the host keeps opening it.
    const std::string base(5000, 'b');
    auto creator = std::make_unique<host::HostFile>(module.NewFileObject(), host::ContUrl(path, "base"));
    ASSERT_EQ(S_OK, creator->Open(ReadAccess | WriteAccess));
    ASSERT_EQ(S_OK, creator->Write(base));

    std::atomic<int> failures{0};
    std::atomic<int> opened{0};
    std::atomic<int> running{kWorkers};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            Work(&module, path, w, &opened, &failures);
            --running;
        });
    }

    int hostFailures = 0;
    int opens = 0;
    for (int i = 0; running.load() > 0 || i < 20; ++i) {
        if (creator && opened.load() == kWorkers) creator.reset();
        // Another object on the shared container.
        {
            host::HostFile reader(module.NewFileObject(), host::ContUrl(path, "base"));
            if (reader.Open(ReadAccess) != S_OK || reader.ReadToEnd(4096) != base) ++hostFailures;
            host::ExistsResponse exists;
            auto* check = reader.As<IQLXFileExists>(IID_IQLXFileExists);
            check->CheckExistence(host::ContUrl(path, "base").c_str(), &exists);
            check->Release();
            if (exists.exists == 0) ++hostFailures;
            ++opens;
        }
        // And a container of its own, made and destroyed at once.
        {
            const std::string own = dir + "/own" + std::to_string(i % 3) + ".cnt";
            host::HostFile writer(module.NewFileObject(), host::ContUrl(own, "x"));
            if (writer.Open(WriteAccess) != S_OK || writer.Write("own") != S_OK) ++hostFailures;
        }
    }
    for (std::thread& t : workers) t.join();
    creator.reset();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0, hostFailures);
    EXPECT_GE(opens, 20);

    // Once everything is released, every entry is in the file.
    for (int w = 0; w < kWorkers; ++w) {
        std::string expected;
        for (int round = 0; round < kRounds; ++round) expected += Piece(w, round);
        host::HostFile file(module.NewFileObject(), host::ContUrl(path, WorkerEntry(w)));
        ASSERT_EQ(S_OK, file.Open(ReadAccess));
        EXPECT_EQ(expected, file.ReadToEnd(65536)) << WorkerEntry(w);
    }
    host::HostFile file(module.NewFileObject(), host::ContUrl(path, "base"));
    ASSERT_EQ(S_OK, file.Open(ReadAccess));
    EXPECT_EQ(base, file.ReadToEnd(65536));
}

// Many threads opening and releasing file objects on the same few paths:
// containers are made, shared and destroyed on every thread, and each
// release of a last reference races with other threads' lookups.
TEST_F(VirtualFileThreadsTest, OpeningAndReleasingOnManyThreadsKeepsTheRegistrySound) {
    constexpr int kPaths = 2;
    for (int p = 0; p < kPaths; ++p) {
        host::HostFile creator(module.NewFileObject(), host::ContUrl(dir + "/c" + std::to_string(p), "e"));
        ASSERT_EQ(S_OK, creator.Open(WriteAccess));
        ASSERT_EQ(S_OK, creator.Write("entry " + std::to_string(p)));
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kWorkers; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 150; ++i) {
                const int p = (i + t) % kPaths;
                host::HostFile file(module.NewFileObject(), host::ContUrl(dir + "/c" + std::to_string(p), "e"));
                if (file.Open(ReadAccess) != S_OK || file.ReadToEnd(100) != "entry " + std::to_string(p))
                    ++failures;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(0, failures.load());
}

// A container closed on one thread while another opens its path for writing:
// the new writer must not empty the file before the old container has
// written its directory back, or the old one's late writes land in the new
// file.
TEST_F(VirtualFileThreadsTest, WritingAPathWaitsForTheOldContainerToClose) {
    constexpr int kEntries = 150;  // each entry's directory tail is about 8 KB
    auto old = std::make_unique<std::vector<std::unique_ptr<host::HostFile>>>();
    for (int e = 0; e < kEntries; ++e) {
        old->push_back(std::make_unique<host::HostFile>(module.NewFileObject(),
                                                        host::ContUrl(path, "old" + std::to_string(e))));
        ASSERT_EQ(S_OK, old->back()->Open(WriteAccess));
        ASSERT_EQ(S_OK, old->back()->Write("x"));
    }
    host::HostFile asker(module.NewFileObject(), "");
    auto* exists = asker.As<IQLXFileExists>(IID_IQLXFileExists);
    const std::string oldUrl = host::ContUrl(path, "old0");

    std::thread closer([&] { old.reset(); });
    // As soon as the old container no longer counts as open, write anew.
    for (;;) {
        host::ExistsResponse response;
        exists->CheckExistence(oldUrl.c_str(), &response);
        if (!response.exists) break;
    }
    {
        host::HostFile fresh(module.NewFileObject(), host::ContUrl(path, "fresh"));
        ASSERT_EQ(S_OK, fresh.Open(WriteAccess));
        ASSERT_EQ(S_OK, fresh.Write("new bytes"));
    }
    closer.join();
    exists->Release();

    // The file holds the new container alone: one small entry.
    EXPECT_LT(std::filesystem::file_size(path), 20000u);
    host::HostFile reader(module.NewFileObject(), host::ContUrl(path, "fresh"));
    ASSERT_EQ(S_OK, reader.Open(ReadAccess));
    EXPECT_EQ("new bytes", reader.ReadToEnd(100));
    auto* list = reader.As<IQLXEnumeratorIUnknown>(IID_IQLXEnumeratorIUnknown);
    EXPECT_EQ(std::vector<std::string>{host::ContUrl(path, "fresh")}, host::ListUrls(list));
    list->Release();
}

// Stat reads the size of an entry that another thread is writing through
// its own file object on the same container.
TEST_F(VirtualFileThreadsTest, StatWhileTheEntryGrows) {
    auto writer = OpenEntry("grows", ReadAccess | WriteAccess);
    auto watcher = OpenEntry("grows", 0);
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
TEST_F(VirtualFileThreadsTest, ReaderFollowsAnEntryGrowingOnAnotherThread) {
    auto writer = OpenEntry("live", ReadAccess | WriteAccess);
    auto other = OpenEntry("other", ReadAccess | WriteAccess);
    ASSERT_EQ(S_OK, writer->Write("start;"));
    auto reader = OpenEntry("live", ReadAccess);
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

// A player that hands each read buffer to a decoding thread, which looks at
// its bytes and lets go of it later: the file object fills a buffer again
// only once nobody else holds it, so the decoder always sees the bytes its
// read delivered, and the file object's writes never race the decoder's
// reads (ThreadSanitizer).
class HandingOnResponse : public host::ReadResponse {
public:
    int32_t ReadFinished(int32_t status, IQLXBuffer* data) override {
        if (status != S_OK || !data) return S_OK;
        data->AddRef();
        std::lock_guard<std::mutex> lock(mutex);
        handed.push_back(data);
        ready.notify_one();
        return S_OK;
    }

    std::mutex mutex;
    std::condition_variable ready;
    std::deque<IQLXBuffer*> handed;
    bool finished = false;
};

TEST_F(VirtualFileThreadsTest, ReadBuffersReleasedOnADecodingThreadKeepTheirBytes) {
    std::string bytes(600000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 131 + i / 4096);
    OpenEntry("clip", ReadAccess | WriteAccess)->Write(bytes);
    auto file = NewHostFile(module, host::ContUrl(path, "clip"));
    HandingOnResponse response;
    ASSERT_EQ(S_OK, file->Open(ReadAccess, &response));

    std::string decoded;
    std::thread decoder([&] {
        for (;;) {
            IQLXBuffer* data = nullptr;
            {
                std::unique_lock<std::mutex> lock(response.mutex);
                response.ready.wait(lock, [&] { return !response.handed.empty() || response.finished; });
                if (response.handed.empty()) return;
                data = response.handed.front();
                response.handed.pop_front();
            }
            decoded += host::BytesOf(data);
            // Held a while, so reads go on meanwhile.
            std::this_thread::yield();
            data->Release();
        }
    });
    int32_t result;
    while ((result = file->file->Read(3000)) == S_OK) {
    }
    {
        std::lock_guard<std::mutex> lock(response.mutex);
        response.finished = true;
        response.ready.notify_one();
    }
    decoder.join();
    EXPECT_EQ(RES_END_OF_DATA, result);
    EXPECT_EQ(bytes.size(), decoded.size());
    EXPECT_TRUE(decoded == bytes);
    file->file->Close();
}

}  // namespace
