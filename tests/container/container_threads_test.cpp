// Several threads on one container: each adds and writes its own entry while
// reading another thread's entry as it grows. Run under ThreadSanitizer too.
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "container_test_util.h"

namespace {

using namespace ctest;

class ContainerThreadsTest : public ScratchTest {
protected:
    static uint8_t ByteOf(int entry, uint64_t position) {
        return static_cast<uint8_t>((position * 131 + entry * 71 + (position >> 9)) & 0xFF);
    }
    static std::string NameOf(int entry) { return "entry" + std::to_string(entry); }
    // Each thread writes its own entry (gathering or not) and reads
    // another's as it grows; gathering, they all fall silent once for
    // longer than the gathering delay, so the flusher thread writes out
    // what they gathered while the readers go on.
    void FourThreads(bool gather);
};

TEST_F(ContainerThreadsTest, FourThreadsWriteAndReadDifferentEntriesAtOnce) { FourThreads(false); }

TEST_F(ContainerThreadsTest, FourThreadsGatherAndReadWhileTheFlusherWritesOut) { FourThreads(true); }

void ContainerThreadsTest::FourThreads(bool gather) {
    constexpr int kThreads = 4;
    constexpr int kPieces = 150;
    const std::string path = PathOf("threads.cfs");
    std::atomic<int> failures{0};
    std::atomic<uint64_t> verified{0};
    {
        Held container(path, kContainerWriteAccess);
        CContainerFile* shared = container.get();
        auto work = [&](int self) {
            ContainerEntry* mine = shared->AddEntry(NameOf(self).c_str());
            if (!mine) {
                ++failures;
                return;
            }
            EntryCursor writer = CursorFor(mine);
            writer.gather = gather;
            const int other = (self + 1) % kThreads;
            ContainerEntry* theirs = nullptr;
            EntryCursor reader{};
            uint64_t written = 0;
            for (int piece = 0; piece < kPieces; ++piece) {
                if (gather && piece == kPieces / 2)
                    std::this_thread::sleep_for(std::chrono::milliseconds(kGatherDelayMs + 200));
                Bytes bytes(100 + (piece * 37 + self * 11) % 900);
                for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = ByteOf(self, written + k);
                if (Write(shared, writer, bytes) != S_OK) ++failures;
                written += bytes.size();

                if (!theirs && (theirs = shared->FindEntry(NameOf(other).c_str()))) reader = CursorFor(theirs);
                if (!theirs) continue;
                Bytes got;
                uint64_t from = reader.logicalPosition;
                int32_t result = Read(shared, reader, 700, &got);
                if (result == RES_END_OF_DATA) continue;
                if (result == E_FAIL && from == 0) continue;  // nothing written there yet
                if (result != S_OK) ++failures;
                for (size_t k = 0; k < got.size(); ++k)
                    if (got[k] != ByteOf(other, from + k)) ++failures;
                verified += got.size();
                // Now and then, jump back and read a few bytes again.
                if (piece % 10 == 9 && from > 0) {
                    EntryCursor seeker = CursorFor(theirs);
                    if (shared->SeekEntry(&seeker, from / 2) != S_OK) ++failures;
                    Bytes again;
                    if (Read(shared, seeker, 16, &again) != S_OK) ++failures;
                    for (size_t k = 0; k < again.size(); ++k)
                        if (again[k] != ByteOf(other, from / 2 + k)) ++failures;
                }
            }
        };
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
        for (auto& thread : threads) thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(verified.load(), 0u);  // the threads did read each other's entries

    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    for (int t = 0; t < kThreads; ++t) {
        ContainerEntry* entry = reader->FindEntry(NameOf(t).c_str());
        ASSERT_NE(entry, nullptr) << t;
        Bytes back;
        ASSERT_EQ(ReadAll(reader.get(), entry, &back, 10000), S_OK);
        ASSERT_EQ(back.size(), entry->size);
        for (size_t k = 0; k < back.size(); ++k) ASSERT_EQ(back[k], ByteOf(t, k)) << t << " at " << k;
    }
}

// One writer lengthens a single growing record (no other entry writes in
// between) while a reader on another thread follows it to its end, through
// the record the writer keeps lengthening in the entry's map, and seeks back
// into what it has read.
TEST_F(ContainerThreadsTest, AReaderFollowsAGrowingRecordOnAnotherThread) {
    constexpr uint64_t kTotal = 3 << 20;
    const std::string path = PathOf("growing.cfs");
    Held container(path, kContainerWriteAccess);
    CContainerFile* shared = container.get();
    ContainerEntry* entry = shared->AddEntry(NameOf(0).c_str());
    ASSERT_NE(entry, nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::atomic<uint64_t> total{0};
    std::thread writer([&] {
        EntryCursor cursor = CursorFor(entry);
        uint64_t written = 0;
        while (written < kTotal) {
            Bytes bytes(1000 + written % 3000);
            for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = ByteOf(0, written + k);
            if (Write(shared, cursor, bytes) != S_OK) ++failures;
            written += bytes.size();
        }
        total = written;
        done = true;
    });
    EntryCursor reader = CursorFor(entry);
    EntryCursor seeker = CursorFor(entry);
    std::mt19937_64 random(3);
    for (;;) {
        const bool finished = done;
        Bytes got;
        const uint64_t from = reader.logicalPosition;
        const int32_t result = Read(shared, reader, 5000, &got);
        if (result != S_OK && result != RES_END_OF_DATA && !(result == E_FAIL && from == 0)) ++failures;
        for (size_t k = 0; k < got.size(); ++k)
            if (got[k] != ByteOf(0, from + k)) ++failures;
        if (from > 16) {
            const uint64_t back = random() % (from - 16);
            Bytes again;
            if (shared->SeekEntry(&seeker, back) != S_OK || Read(shared, seeker, 16, &again) != S_OK) ++failures;
            for (size_t k = 0; k < again.size(); ++k)
                if (again[k] != ByteOf(0, back + k)) ++failures;
        }
        if (finished && result == RES_END_OF_DATA) break;
    }
    writer.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(reader.logicalPosition, total.load());
}

}  // namespace
