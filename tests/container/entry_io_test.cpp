// Writing, reading and seeking entry bytes: interleaved records, in-place
// overwrites, the seek table across chunk doubling, and the ends of an entry.
#include "container_test_util.h"

namespace {

using namespace ctest;

using EntryIoTest = ScratchTest;

TEST_F(EntryIoTest, AlternatingWritersMakeAlternatingRecordsWithFixedLengths) {
    const std::string path = PathOf("mix.cfs");
    Bytes expected[2];
    {
        Held container(path, kContainerWriteAccess);
        EntryCursor cursors[2] = {CursorFor(container->AddEntry("left")), CursorFor(container->AddEntry("right"))};
        for (int round = 0; round < 6; ++round) {
            for (int which = 0; which < 2; ++which) {
                Bytes piece = Pattern(100 + 37 * round + which, round * 2 + which);
                ASSERT_EQ(Write(container.get(), cursors[which], piece), S_OK);
                expected[which].insert(expected[which].end(), piece.begin(), piece.end());
                // The record just left behind already carries its length.
                Bytes file = ReadFile(path);
                auto records = DataRecords(file);
                ASSERT_EQ(records.size(), static_cast<size_t>(round * 2 + which + 1));
                for (size_t i = 0; i + 1 < records.size(); ++i) EXPECT_NE(records[i].length, 0u) << i;
                EXPECT_EQ(records.back().length, 0u);  // still growing
            }
        }
    }
    auto records = DataRecords(ReadFile(path));
    ASSERT_EQ(records.size(), 12u);
    uint64_t logical[2] = {0, 0};
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].entry, i % 2);
        EXPECT_EQ(records[i].logical, logical[i % 2]);
        logical[i % 2] += records[i].length - 12;
    }
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    for (int which = 0; which < 2; ++which) {
        Bytes back;
        ContainerEntry* entry = reader->FindEntry(which == 0 ? "left" : "right");
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->size, expected[which].size());
        ASSERT_EQ(ReadAll(reader.get(), entry, &back, 77), S_OK);
        EXPECT_EQ(back, expected[which]);
    }
}

TEST_F(EntryIoTest, RepeatedWritesToOneEntryExtendOneRecord) {
    const std::string path = PathOf("one.cfs");
    Bytes expected;
    {
        Held container(path, kContainerWriteAccess);
        EntryCursor cursor = CursorFor(container->AddEntry("solo"));
        for (int i = 0; i < 50; ++i) {
            Bytes piece = Pattern(1000 + i, i);
            ASSERT_EQ(Write(container.get(), cursor, piece), S_OK);
            expected.insert(expected.end(), piece.begin(), piece.end());
        }
    }
    auto records = DataRecords(ReadFile(path));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].length, 12 + expected.size());
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    Bytes back;
    ASSERT_EQ(ReadAll(reader.get(), reader->FindEntry("solo"), &back, 3001), S_OK);
    EXPECT_EQ(back, expected);
}

TEST_F(EntryIoTest, ReadsFollowARecordAnotherCursorIsStillGrowing) {
    Held container(PathOf("live.cfs"), kContainerWriteAccess);
    ContainerEntry* entry = container->AddEntry("live");
    EntryCursor writer = CursorFor(entry);
    EntryCursor reader = CursorFor(entry);
    Bytes all, back;
    for (int i = 0; i < 10; ++i) {
        Bytes piece = Pattern(500, i);
        ASSERT_EQ(Write(container.get(), writer, piece), S_OK);
        all.insert(all.end(), piece.begin(), piece.end());
        ASSERT_EQ(Read(container.get(), reader, 10000, &back), S_OK);
        EXPECT_EQ(back, all);
        EXPECT_EQ(Read(container.get(), reader, 10, &back), RES_END_OF_DATA);
    }
}

TEST_F(EntryIoTest, EndsOfAnEntry) {
    Held container(PathOf("ends.cfs"), kContainerWriteAccess);
    ContainerEntry* entry = container->AddEntry("e");
    EntryCursor cursor = CursorFor(entry);
    Bytes none;
    // No data yet: a read asks for bytes of an empty entry.
    EXPECT_EQ(Read(container.get(), cursor, 10, &none), E_FAIL);
    EXPECT_EQ(Read(container.get(), cursor, 0, &none), RES_END_OF_DATA);
    ASSERT_EQ(Write(container.get(), cursor, "0123456789"), S_OK);

    EntryCursor reading = CursorFor(entry);
    Bytes got;
    ASSERT_EQ(Read(container.get(), reading, 4, &got), S_OK);
    ASSERT_EQ(Read(container.get(), reading, 100, &got), S_OK);  // exactly what is left
    EXPECT_EQ(std::string(got.begin(), got.end()), "0123456789");
    IQLXBuffer* buffer = reinterpret_cast<IQLXBuffer*>(0x1);
    EXPECT_EQ(container->ReadEntry(&reading, &buffer, 5), RES_END_OF_DATA);
    EXPECT_EQ(buffer, reinterpret_cast<IQLXBuffer*>(0x1));  // untouched

    EXPECT_EQ(container->SeekEntry(&reading, 10), S_OK);
    EXPECT_EQ(reading.bytesLeft, 0u);
    EXPECT_EQ(container->SeekEntry(&reading, 11), E_FAIL);
    EXPECT_EQ(container->SeekEntry(nullptr, 0), E_FAIL);
    EXPECT_EQ(container->ReadEntry(nullptr, &buffer, 1), E_FAIL);
    EXPECT_EQ(container->WriteEntry(nullptr, nullptr), E_FAIL);
    EntryCursor stranger;
    stranger.index = 7;
    EXPECT_EQ(Write(container.get(), stranger, "x"), E_FAIL);
    EXPECT_EQ(container->SeekEntry(&stranger, 0), E_FAIL);
}

TEST_F(EntryIoTest, OverwriteInTheMiddleKeepsTheSizeAndRunningPastTheEndAppends) {
    const std::string path = PathOf("over.cfs");
    {
        Held container(path, kContainerWriteAccess);
        ContainerEntry* a = container->AddEntry("a");
        ContainerEntry* b = container->AddEntry("b");
        EntryCursor ca = CursorFor(a), cb = CursorFor(b);
        // Entry a in three records, interleaved with b.
        ASSERT_EQ(Write(container.get(), ca, "aaaa"), S_OK);
        ASSERT_EQ(Write(container.get(), cb, "bb"), S_OK);
        ASSERT_EQ(Write(container.get(), ca, "AAAA"), S_OK);
        ASSERT_EQ(Write(container.get(), cb, "BB"), S_OK);
        ASSERT_EQ(Write(container.get(), ca, "cccc"), S_OK);

        EntryCursor over = CursorFor(a);
        ASSERT_EQ(container->SeekEntry(&over, 2), S_OK);
        ASSERT_EQ(Write(container.get(), over, "123456"), S_OK);  // spans records 1 and 2
        EXPECT_EQ(a->size, 12u);
        EXPECT_EQ(over.logicalPosition, 8u);

        // A fresh cursor overwrites from the start.
        EntryCursor fresh = CursorFor(a);
        ASSERT_EQ(Write(container.get(), fresh, "<"), S_OK);
        EXPECT_EQ(a->size, 12u);

        ASSERT_EQ(container->SeekEntry(&over, 10), S_OK);
        ASSERT_EQ(Write(container.get(), over, "xyz!"), S_OK);  // 2 in place, 2 appended
        EXPECT_EQ(a->size, 14u);
        Bytes back;
        ASSERT_EQ(ReadAll(container.get(), a, &back, 5), S_OK);
        EXPECT_EQ(std::string(back.begin(), back.end()), "<a123456ccxyz!");
    }
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    Bytes back;
    ASSERT_EQ(ReadAll(reader.get(), reader->FindEntry("a"), &back), S_OK);
    EXPECT_EQ(std::string(back.begin(), back.end()), "<a123456ccxyz!");
    back.clear();
    ASSERT_EQ(ReadAll(reader.get(), reader->FindEntry("b"), &back), S_OK);
    EXPECT_EQ(std::string(back.begin(), back.end()), "bbBB");
}

// An entry that grows to 1000 x 25000 bytes, in records interleaved with a
// second entry so that seeks must scan past foreign records.
TEST_F(EntryIoTest, ChunkDoublesAtTwentyFiveMillionAndSeeksStillLand) {
    const std::string path = PathOf("big.cfs");
    const uint64_t total = 1000ull * 25000 + 12345;
    auto byteAt = [](uint64_t p) { return static_cast<uint8_t>((p * 2654435761u) >> 13); };
    Held container(path, kContainerWriteAccess);
    ContainerEntry* big = container->AddEntry("big");
    EntryCursor cursor = CursorFor(big), other = CursorFor(container->AddEntry("other"));
    uint64_t beforeHalving[record_format::kSeekTableSlots] = {};
    Bytes piece;
    for (uint64_t written = 0; written < total;) {
        uint64_t n = std::min<uint64_t>(total - written, 1 << 20);
        piece.resize(n);
        for (uint64_t i = 0; i < n; ++i) piece[i] = byteAt(written + i);
        if (written < 25000000 && written + n >= 25000000)
            for (uint32_t i = 0; i < record_format::kSeekTableSlots; ++i) beforeHalving[i] = Stored(big)->seekTable[i];
        ASSERT_EQ(Write(container.get(), cursor, piece), S_OK);
        ASSERT_EQ(Write(container.get(), other, "-"), S_OK);
        written += n;
        if (written < 25000000) {
            ASSERT_EQ(Stored(big)->seekTable.chunkSize, 25000u);
        }
    }
    ASSERT_EQ(big->size, total);
    EXPECT_EQ(Stored(big)->seekTable.chunkSize, 50000u);
    // Slot i is the old slot 2i wherever the old table was set.
    for (uint32_t i = 0; i < 500; ++i) {
        if (beforeHalving[2 * i] != 0) {
            ASSERT_EQ(Stored(big)->seekTable[i], beforeHalving[2 * i]) << i;
        }
    }
    EXPECT_NE(beforeHalving[900], 0u);

    auto checkSeeks = [&](CContainerFile* on, ContainerEntry* entry) {
        std::mt19937_64 random(42);
        EntryCursor seeker = CursorFor(entry);
        for (int i = 0; i < 1000; ++i) {
            uint64_t p = random() % (total + 1);
            ASSERT_EQ(on->SeekEntry(&seeker, p), S_OK) << p;
            ASSERT_EQ(seeker.logicalPosition, p);
            Bytes got;
            int32_t result = Read(on, seeker, 64, &got);
            if (p == total) {
                ASSERT_EQ(result, RES_END_OF_DATA);
                continue;
            }
            ASSERT_EQ(result, S_OK) << p;
            ASSERT_EQ(got.size(), std::min<uint64_t>(64, total - p));
            for (size_t k = 0; k < got.size(); ++k) ASSERT_EQ(got[k], byteAt(p + k)) << p << "+" << k;
        }
    };
    checkSeeks(container.get(), big);
    container.Close();
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    ContainerEntry* back = reader->FindEntry("big");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(Stored(back)->seekTable.chunkSize, 50000u);
    checkSeeks(reader.get(), back);
}

}  // namespace

namespace {

// A container just opened learns where each entry's records lie from the
// reads and seeks made in it. Seeks in random order teach the map runs of
// records amid those learned before, and every later read is placed from
// it: each must still find its bytes where the entry has them.
TEST_F(EntryIoTest, SeeksInRandomOrderInAContainerJustOpenedReadEveryByteWhereItIs) {
    const std::string path = PathOf("learn.cfs");
    Bytes expected[3];
    std::mt19937 random(11);
    {
        Held container(path, kContainerWriteAccess);
        EntryCursor cursors[3];
        for (int i = 0; i < 3; ++i) cursors[i] = CursorFor(container->AddEntry(("e" + std::to_string(i)).c_str()));
        // Records of uneven sizes, below and above 4 KiB, interleaved.
        for (int round = 0; round < 400; ++round) {
            const int which = static_cast<int>(random() % 3);
            Bytes piece = Pattern(1 + random() % (random() % 2 ? 9000 : 700), round);
            ASSERT_EQ(Write(container.get(), cursors[which], piece), S_OK);
            expected[which].insert(expected[which].end(), piece.begin(), piece.end());
        }
    }
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    for (int step = 0; step < 600; ++step) {
        const int which = static_cast<int>(random() % 3);
        const Bytes& bytes = expected[which];
        EntryCursor cursor = CursorFor(reader->FindEntry(("e" + std::to_string(which)).c_str()));
        const uint64_t at = random() % bytes.size();
        ASSERT_EQ(reader->SeekEntry(&cursor, at), S_OK) << step;
        Bytes back;
        const uint32_t count = 1 + random() % 20000;
        ASSERT_EQ(Read(reader.get(), cursor, count, &back), S_OK) << step;
        const uint64_t end = std::min<uint64_t>(bytes.size(), at + count);
        ASSERT_TRUE(back == Bytes(bytes.begin() + static_cast<ptrdiff_t>(at), bytes.begin() + static_cast<ptrdiff_t>(end)))
            << "entry " << which << " at " << at << ", step " << step;
    }
}

}  // namespace
