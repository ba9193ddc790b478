// A writer streaming large pieces into one record moves on, once, to a record
// whose bytes start on a 64 KiB boundary, behind a filler record of no entry;
// every reader (directory, seeks, recovery) passes over the filler.
#include "container_test_util.h"
#include "faulty_file.h"

namespace {

using namespace ctest;

constexpr uint64_t kBlock = 64 << 10;
constexpr uint64_t kShownAfter = 4 << 20;
constexpr uint32_t kNoEntry = 0xFFFFFFFFu;

class StreamAlignmentTest : public ScratchTest {
protected:
    // Writes `total` bytes to one entry in pieces of `piece` bytes; the bytes
    // are kept in `written`. When `abandonedCopy` is given, the file is copied
    // before the container is closed.
    void Stream(const std::string& path, uint64_t total, uint32_t piece, const std::string& abandonedCopy = "") {
        written = Pattern(total, 5);
        Held container(path, kContainerWriteAccess);
        EntryCursor cursor = CursorFor(container->AddEntry("stream"));
        for (uint64_t at = 0; at < total; at += piece) {
            Bytes bytes(written.begin() + at, written.begin() + std::min(total, at + piece));
            ASSERT_EQ(Write(container.get(), cursor, bytes), S_OK) << at;
        }
        if (!abandonedCopy.empty()) WriteFile(abandonedCopy, ReadFile(path));
    }

    void ExpectReadBack(const std::string& path) {
        Held reader(path, kContainerReadAccess);
        ASSERT_EQ(reader->ReadDirectory(), S_OK);
        ContainerEntry* entry = reader->FindEntry("stream");
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->size, written.size());
        Bytes back;
        ASSERT_EQ(ReadAll(reader.get(), entry, &back, 300000), S_OK);
        EXPECT_TRUE(back == written);
        // Seeks on both sides of the switch and at random land on the right bytes.
        std::vector<uint64_t> positions = {0, kShownAfter - 1, kShownAfter, kShownAfter + 1, written.size() - 1};
        std::mt19937_64 random(3);
        for (int i = 0; i < 200; ++i) positions.push_back(random() % written.size());
        EntryCursor seeker = CursorFor(entry);
        for (uint64_t p : positions) {
            ASSERT_EQ(reader->SeekEntry(&seeker, p), S_OK) << p;
            Bytes got;
            ASSERT_EQ(Read(reader.get(), seeker, 100, &got), S_OK) << p;
            ASSERT_TRUE(std::equal(got.begin(), got.end(), written.begin() + p)) << p;
        }
    }

    Bytes written;
};

TEST_F(StreamAlignmentTest, StreamMovesOnceToAnAlignedRecordBehindAFiller) {
    const std::string path = PathOf("stream.cfs");
    const std::string copy = PathOf("abandoned.cfs");
    Stream(path, 12 << 20, kBlock, copy);

    for (const std::string& file : {copy, path}) {
        SCOPED_TRACE(file);
        auto data = DataRecords(ReadFile(file));
        ASSERT_EQ(data.size(), 3u);
        EXPECT_EQ(data[0].entry, 0u);
        EXPECT_EQ(data[0].length, 12 + kShownAfter);
        // The filler carries its length from the start and belongs to no entry.
        EXPECT_EQ(data[1].entry, kNoEntry);
        EXPECT_EQ(data[1].offset, data[0].offset + 5 + data[0].length);
        EXPECT_GE(data[1].length, 12u);
        EXPECT_LT(data[1].length, 12 + kBlock);
        EXPECT_EQ(data[2].offset, data[1].offset + 5 + data[1].length);
        EXPECT_EQ(data[2].entry, 0u);
        EXPECT_EQ(data[2].logical, kShownAfter);
        EXPECT_EQ((data[2].offset + 17) % kBlock, 0u);
    }
    EXPECT_EQ(DataRecords(ReadFile(copy))[2].length, 0u);  // still growing when copied
    EXPECT_EQ(DataRecords(ReadFile(path))[2].length, 12 + (8u << 20));

    ExpectReadBack(path);
    ExpectReadBack(copy);  // recovery counts none of the filler's bytes
    EXPECT_EQ(ReadFile(copy)[6], 1);
}

TEST_F(StreamAlignmentTest, PiecesThatKeepMissingTheBoundaryGetOneFillerOnly) {
    const std::string path = PathOf("odd.cfs");
    Stream(path, 12 << 20, 100000);
    auto data = DataRecords(ReadFile(path));
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(data[1].entry, kNoEntry);
    EXPECT_EQ((data[2].offset + 17) % kBlock, 0u);
    ExpectReadBack(path);
}

TEST_F(StreamAlignmentTest, SmallPiecesAndInterleavedStreamsGetNoFiller) {
    const std::string small = PathOf("small.cfs");
    Stream(small, 6 << 20, 16 << 10);
    EXPECT_EQ(DataRecords(ReadFile(small)).size(), 1u);

    const std::string mixed = PathOf("mixed.cfs");
    {
        Held container(mixed, kContainerWriteAccess);
        EntryCursor cursors[2] = {CursorFor(container->AddEntry("a")), CursorFor(container->AddEntry("b"))};
        Bytes piece = Pattern(kBlock, 9);
        for (int i = 0; i < 160; ++i) ASSERT_EQ(Write(container.get(), cursors[i % 2], piece), S_OK);
    }
    for (const DataRecord& record : DataRecords(ReadFile(mixed))) EXPECT_NE(record.entry, kNoEntry);
}

TEST_F(StreamAlignmentTest, FailedFillerLeavesTheStreamWhereItWasAndTheNextWriteGoesOn) {
    const std::string path = PathOf("full.cfs");
    Faults faults;
    Bytes expected;
    {
        Held container(path, kContainerWriteAccess, new FaultyFile(&faults));
        EntryCursor cursor = CursorFor(container->AddEntry("stream"));
        for (uint64_t at = 0; at < kShownAfter; at += kBlock) {
            Bytes piece = Pattern(kBlock, static_cast<uint32_t>(at / kBlock));
            ASSERT_EQ(Write(container.get(), cursor, piece), S_OK);
            expected.insert(expected.end(), piece.begin(), piece.end());
        }
        // The open record's length and the filler's head get through; its zeros do not.
        faults.writesBeforeFailure = 2;
        Bytes next = Pattern(kBlock, 999);
        EXPECT_NE(Write(container.get(), cursor, next), S_OK);
        faults.writesBeforeFailure = -1;
        ASSERT_EQ(Write(container.get(), cursor, next), S_OK);
        expected.insert(expected.end(), next.begin(), next.end());
    }
    auto data = DataRecords(ReadFile(path));
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[1].entry, 0u);
    EXPECT_EQ(data[1].offset, data[0].offset + 5 + data[0].length);
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    Bytes back;
    ASSERT_EQ(ReadAll(reader.get(), reader->FindEntry("stream"), &back, 100000), S_OK);
    EXPECT_TRUE(back == expected);
}

}  // namespace
