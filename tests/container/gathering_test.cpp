// Gathered writes: a gathering cursor's appends held in memory, read from
// there by every cursor, written out as large records at the size bound,
// the time bound, the memory bound, on the writer's seek and on Sync and
// the close; and what a write-out that fails costs.
#include <atomic>
#include <chrono>
#include <thread>

#include "container/gather_flusher.h"
#include "container_test_util.h"
#include "faulty_file.h"

namespace {

using namespace ctest;

// Read by the flusher thread too.
std::atomic<int64_t> g_now{0};
int64_t TestClock() { return g_now.load(); }

class GatheringTest : public ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        g_now = 1000;
        SetGatherClockForTests(TestClock);
    }
    void TearDown() override {
        SetGatherClockForTests(nullptr);
        ScratchTest::TearDown();
    }
};

EntryCursor GatheringCursorFor(const ContainerEntry* entry) {
    EntryCursor cursor = CursorFor(entry);
    cursor.gather = true;
    return cursor;
}

uint64_t DataBytesInFile(const std::string& path, uint32_t entry) {
    const Bytes file = ReadFile(path);
    uint64_t total = 0;
    for (const DataRecord& record : DataRecords(file)) {
        // A growing record runs to the end of the file.
        if (record.entry == entry) total += record.length ? record.length - 12 : file.size() - record.offset - 17;
    }
    return total;
}

// Eight writers in 1,316-byte pieces: every byte readable at once by another
// cursor, none in the file until a record's worth is gathered, and then the
// file holds each entry in records of the size bound.
TEST_F(GatheringTest, InterleavedSmallWritesBecomeLargeRecordsAndReadAtOnce) {
    const std::string path = PathOf("eight.cnt");
    constexpr int kEntries = 8;
    constexpr uint32_t kPiece = 1316;
    const uint32_t pieces = 2 * kGatherRecordBytes / kPiece + 7;
    Bytes expected[kEntries];
    {
        Held container(path, kContainerWriteAccess);
        EntryCursor writers[kEntries], readers[kEntries];
        for (int i = 0; i < kEntries; ++i) {
            ContainerEntry* entry = container->AddEntry(("cam" + std::to_string(i)).c_str());
            writers[i] = GatheringCursorFor(entry);
            readers[i] = CursorFor(entry);
        }
        Bytes seen[kEntries];
        std::vector<Bytes> patterns;
        for (int k = 0; k < 61; ++k) patterns.push_back(Pattern(kPiece, k));
        for (uint32_t p = 0; p < pieces; ++p) {
            for (int i = 0; i < kEntries; ++i) {
                const Bytes& piece = patterns[(p * kEntries + i) % patterns.size()];
                ASSERT_EQ(Write(container.get(), writers[i], piece), S_OK);
                expected[i].insert(expected[i].end(), piece.begin(), piece.end());
                // The reader follows the writer byte for byte.
                ASSERT_EQ(Read(container.get(), readers[i], kPiece, &seen[i]), S_OK);
            }
            if (p == 10) {
                EXPECT_EQ(DataRecords(ReadFile(path)).size(), 0u) << "gathered bytes wait in memory";
            }
        }
        for (int i = 0; i < kEntries; ++i) EXPECT_EQ(seen[i], expected[i]) << i;
        EXPECT_LE(container->GatheredMemory(), kEntries * uint64_t{kGatherRecordBytes});
    }
    const std::vector<DataRecord> records = DataRecords(ReadFile(path));
    ASSERT_EQ(records.size(), 3u * kEntries);  // two full records and the rest, each
    for (const DataRecord& record : records) EXPECT_LE(record.length - 12, kGatherRecordBytes);
    for (size_t i = 0; i < 2 * kEntries; ++i) EXPECT_GT(records[i].length - 12, kGatherRecordBytes - kPiece) << i;
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    for (int i = 0; i < kEntries; ++i) {
        Bytes back;
        ASSERT_EQ(ReadAll(reader.get(), reader->FindEntry(("cam" + std::to_string(i)).c_str()), &back, 65536), S_OK);
        EXPECT_EQ(back, expected[i]) << i;
    }
}

// A reader seeks and reads across the line between bytes in the file and
// bytes in memory, and goes on reading once they were written out.
TEST_F(GatheringTest, ReaderSeeksAcrossWrittenAndGatheredBytes) {
    Held container(PathOf("seek.cnt"), kContainerWriteAccess);
    ContainerEntry* entry = container->AddEntry("a");
    EntryCursor writer = GatheringCursorFor(entry);
    const Bytes first = Pattern(3000, 1), second = Pattern(5000, 2);
    ASSERT_EQ(Write(container.get(), writer, first), S_OK);
    ASSERT_EQ(container->Sync(), S_OK);  // the first 3000 bytes go to the file
    ASSERT_EQ(Write(container.get(), writer, second), S_OK);
    Bytes all = first;
    all.insert(all.end(), second.begin(), second.end());

    EntryCursor reader = CursorFor(entry);
    for (uint64_t at : {uint64_t{2900}, uint64_t{3000}, uint64_t{0}, uint64_t{7999}, uint64_t{1}}) {
        ASSERT_EQ(container->SeekEntry(&reader, at), S_OK) << at;
        Bytes got;
        ASSERT_EQ(Read(container.get(), reader, 500, &got), S_OK) << at;
        EXPECT_EQ(got, Bytes(all.begin() + at, all.begin() + std::min<uint64_t>(at + 500, all.size()))) << at;
    }
    ASSERT_EQ(container->SeekEntry(&reader, 3500), S_OK);
    ASSERT_EQ(container->Sync(), S_OK);  // now in the file, where the reader was placed among them
    Bytes got;
    ASSERT_EQ(Read(container.get(), reader, 1000, &got), S_OK);
    EXPECT_EQ(got, Bytes(all.begin() + 3500, all.begin() + 4500));
}

// Whatever would touch bytes behind the gathered ones writes them out
// first: the writer's own seek and read, another cursor's overwrite, a
// removal; and the result reads as written.
TEST_F(GatheringTest, AnythingButAnAppendWritesGatheredBytesOutFirst) {
    const std::string path = PathOf("order.cnt");
    Held container(path, kContainerWriteAccess | kContainerReadAccess);
    ContainerEntry* entry = container->AddEntry("a");
    EntryCursor writer = GatheringCursorFor(entry);
    ASSERT_EQ(Write(container.get(), writer, Pattern(1000, 1)), S_OK);
    EXPECT_EQ(DataBytesInFile(path, 0), 0u);
    ASSERT_EQ(container->SeekEntry(&writer, 1000), S_OK);
    EXPECT_EQ(DataBytesInFile(path, 0), 1000u);

    ASSERT_EQ(Write(container.get(), writer, Pattern(1000, 2)), S_OK);
    EntryCursor other = CursorFor(entry);
    ASSERT_EQ(container->SeekEntry(&other, 1500), S_OK);
    ASSERT_EQ(Write(container.get(), other, Bytes(200, 0xAB)), S_OK);  // amid the gathered bytes
    Bytes expected = Pattern(1000, 1);
    Bytes second = Pattern(1000, 2);
    std::fill(second.begin() + 500, second.begin() + 700, 0xAB);
    expected.insert(expected.end(), second.begin(), second.end());

    ASSERT_EQ(Write(container.get(), writer, Pattern(10, 3)), S_OK);  // gathered again, at the end
    const Bytes third = Pattern(10, 3);
    expected.insert(expected.end(), third.begin(), third.end());
    Bytes back;
    ASSERT_EQ(container->SeekEntry(&writer, 0), S_OK);
    ASSERT_EQ(Read(container.get(), writer, 4096, &back), S_OK);
    EXPECT_EQ(back, expected);
    EXPECT_EQ(DataBytesInFile(path, 0), expected.size());

    ASSERT_EQ(container->SeekEntry(&writer, expected.size()), S_OK);
    ASSERT_EQ(Write(container.get(), writer, Pattern(10, 4)), S_OK);
    ASSERT_EQ(container->RemoveEntry("a"), S_OK);
    EXPECT_EQ(DataBytesInFile(path, 0), expected.size() + 10);
}

// The time bound: bytes that have waited kGatherDelayMs go out at the next
// write to the container, whichever entry it is for.
TEST_F(GatheringTest, BytesThatWaitedTheirTimeGoOutAtTheNextWrite) {
    const std::string path = PathOf("time.cnt");
    Held container(path, kContainerWriteAccess);
    EntryCursor a = GatheringCursorFor(container->AddEntry("a"));
    EntryCursor b = GatheringCursorFor(container->AddEntry("b"));
    ASSERT_EQ(Write(container.get(), a, Pattern(100, 1)), S_OK);
    g_now += kGatherDelayMs / 2;
    ASSERT_EQ(Write(container.get(), b, Pattern(100, 2)), S_OK);
    g_now += kGatherDelayMs / 2 - 1;
    ASSERT_EQ(Write(container.get(), b, Pattern(100, 3)), S_OK);
    EXPECT_EQ(DataBytesInFile(path, 0), 0u);
    g_now += 1;
    ASSERT_EQ(Write(container.get(), b, Pattern(100, 4)), S_OK);
    EXPECT_EQ(DataBytesInFile(path, 0), 100u);
    EXPECT_EQ(DataBytesInFile(path, 1), 0u);
    // The flusher's own call does the same, and says when to come again.
    EXPECT_EQ(container->WriteOutAged(g_now), g_now - kGatherDelayMs / 2 + kGatherDelayMs);
    EXPECT_EQ(container->WriteOutAged(g_now + kGatherDelayMs), -1);
    EXPECT_EQ(DataBytesInFile(path, 1), 300u);
}

// The memory bound: with more writers than it can hold a record each, the
// oldest gathered bytes go out first and memory stays under the bound.
TEST_F(GatheringTest, ManyWritersStayUnderTheMemoryBoundOldestFirst) {
    const std::string path = PathOf("many.cnt");
    constexpr int kEntries = 1000;
    constexpr uint32_t kPiece = 1316;
    Held container(path, kContainerWriteAccess);
    std::vector<EntryCursor> writers;
    for (int i = 0; i < kEntries; ++i)
        writers.push_back(GatheringCursorFor(container->AddEntry(("e" + std::to_string(i)).c_str())));
    uint64_t peak = 0;
    for (int round = 0; round < 20; ++round) {
        const Bytes piece = Pattern(kPiece, round);
        for (int i = 0; i < kEntries; ++i) {
            ASSERT_EQ(Write(container.get(), writers[i], piece), S_OK);
            peak = std::max(peak, container->GatheredMemory());
        }
    }
    EXPECT_LE(peak, kGatherMemoryBytes);
    // The first entry's bytes went out before the last one's.
    const std::vector<DataRecord> records = DataRecords(ReadFile(path));
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front().entry, 0u);
    container.Close();
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    Bytes back;
    ASSERT_EQ(ReadAll(reader.get(), reader->FindEntry("e999"), &back), S_OK);
    ASSERT_EQ(back.size(), 20u * kPiece);
    EXPECT_EQ(Bytes(back.end() - kPiece, back.end()), Pattern(kPiece, 19));
}

// A write-out that fails loses the gathered bytes, which their writes had
// acknowledged: the entry ends where its bytes in the file end, its writer
// has every later append fail, Sync fails, and readers see no hole.
TEST_F(GatheringTest, AWriteOutThatFailsLosesTheBytesAndSaysSo) {
    const std::string path = PathOf("full.cnt");
    Faults faults;
    Held container(path, kContainerWriteAccess | kContainerReadAccess, new FaultyFile(&faults));
    ContainerEntry* entry = container->AddEntry("a");
    EntryCursor writer = GatheringCursorFor(entry);
    ASSERT_EQ(Write(container.get(), writer, Pattern(4000, 1)), S_OK);
    ASSERT_EQ(container->Sync(), S_OK);
    ASSERT_EQ(Write(container.get(), writer, Pattern(4000, 2)), S_OK);
    faults.writeBudget = 0;
    EXPECT_TRUE(QLX_FAILED(container->Sync()));
    faults.writeBudget = -1;
    EXPECT_EQ(container->EntrySize(entry), 4000u);
    EXPECT_TRUE(QLX_FAILED(Write(container.get(), writer, Pattern(10, 3))));
    EXPECT_TRUE(QLX_FAILED(container->WriteOutGathered(&writer)));
    EXPECT_TRUE(QLX_FAILED(container->Sync()));
    Bytes back;
    ASSERT_EQ(ReadAll(container.get(), entry, &back), S_OK);
    EXPECT_EQ(back, Pattern(4000, 1));
}

// The flusher thread runs while a container has gathered, writes out a
// silent writer's bytes within the bound, and is gone with the container.
TEST_F(GatheringTest, TheFlusherWritesOutASilentWritersBytesAndLeavesWithTheContainer) {
    SetGatherClockForTests(nullptr);
    const std::string path = PathOf("silent.cnt");
    Held container(path, kContainerWriteAccess);
    EXPECT_FALSE(gather_flusher::Running());
    EntryCursor writer = GatheringCursorFor(container->AddEntry("a"));
    ASSERT_EQ(Write(container.get(), writer, Pattern(1316, 1)), S_OK);
    EXPECT_TRUE(gather_flusher::Running());
    EXPECT_EQ(DataBytesInFile(path, 0), 0u);
    // Up to 20 times the bound: the thread may be slow to get a core here.
    for (int i = 0; i < 200 && DataBytesInFile(path, 0) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(kGatherDelayMs / 10));
    EXPECT_EQ(DataBytesInFile(path, 0), 1316u);
    container.Close();
    EXPECT_FALSE(gather_flusher::Running());
}

}  // namespace
