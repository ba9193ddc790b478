// The bytes a container writes, checked one by one, and the header variants
// a reader accepts.
#include "container_test_util.h"

namespace {

using namespace ctest;

class ContainerFormatTest : public ScratchTest {};

const Bytes kHeaderACfs = {0x2E, 0x57, 0x37, 0x4B, 0x00, 0x01, 0x00, 0x00,
                           0x00, 0x00, 0x05, 0x61, 0x2E, 0x63, 0x66, 0x73};

TEST_F(ContainerFormatTest, HeaderOfACfsIsSixteenBytesAndCleanAfterClose) {
    const std::string path = PathOf("a.cfs");
    Held container(path, kContainerWriteAccess);
    ASSERT_TRUE(container->IsOpen());
    EntryCursor cursor = CursorFor(container->AddEntry("clip"));
    ASSERT_EQ(Write(container.get(), cursor, "x"), S_OK);
    Bytes file = ReadFile(path);
    ASSERT_GE(file.size(), 16u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 16), kHeaderACfs);
    container.Close();
    file = ReadFile(path);
    Bytes clean = kHeaderACfs;
    clean[6] = 0x01;
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 16), clean);
}

TEST_F(ContainerFormatTest, OneEntryWithThreeBytesIsExactlyTheDocumentedFile) {
    const std::string path = PathOf("a.cfs");
    {
        Held container(path, kContainerWriteAccess);
        EntryCursor cursor = CursorFor(container->AddEntry("a"));
        ASSERT_EQ(Write(container.get(), cursor, "xyz"), S_OK);
    }
    const Bytes file = ReadFile(path);
    const uint64_t L = 5, index = 11 + L, entry = index + 5 + 2056, data = entry + 5 + 4 + 1 + 8 + 8 + 8000;
    ASSERT_EQ(file.size(), data + 17 + 3);
    Bytes header = kHeaderACfs;
    header[6] = 0x01;
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 16), header);

    EXPECT_EQ(file[index], 0);
    EXPECT_EQ(Get32(file, index + 1), 2056u);
    EXPECT_EQ(Get64(file, index + 5), entry);  // slot 0
    for (uint64_t slot = 1; slot <= 256; ++slot) ASSERT_EQ(Get64(file, index + 5 + 8 * slot), 0u) << slot;

    EXPECT_EQ(file[entry], 1);
    EXPECT_EQ(Get32(file, entry + 1), 1u + 8020);
    EXPECT_EQ(Get32(file, entry + 5), 1u);
    EXPECT_EQ(file[entry + 9], 'a');
    EXPECT_EQ(Get64(file, entry + 10), 3u);       // size
    EXPECT_EQ(Get64(file, entry + 18), 25000u);   // chunk size
    EXPECT_EQ(Get64(file, entry + 26), data);     // seek-table slot 0
    for (uint64_t slot = 1; slot < 1000; ++slot) ASSERT_EQ(Get64(file, entry + 26 + 8 * slot), 0u) << slot;

    EXPECT_EQ(file[data], 2);
    EXPECT_EQ(Get32(file, data + 1), 15u);
    EXPECT_EQ(Get32(file, data + 5), 0u);  // entry index
    EXPECT_EQ(Get64(file, data + 9), 0u);  // logical offset
    EXPECT_EQ(std::string(file.begin() + data + 17, file.end()), "xyz");
}

TEST_F(ContainerFormatTest, EntriesWithoutDataLeaveAnEmptyFile) {
    const std::string path = PathOf("empty.cfs");
    {
        Held container(path, kContainerWriteAccess);
        ASSERT_NE(container->AddEntry("one"), nullptr);
        ASSERT_NE(container->AddEntry("two"), nullptr);
    }
    EXPECT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(ReadFile(path).size(), 0u);
}

TEST_F(ContainerFormatTest, The257thEntryStartsASecondIndexRecordLinkedFromSlot256) {
    const std::string path = PathOf("a.cfs");
    {
        Held container(path, kContainerWriteAccess);
        for (int i = 0; i <= 256; ++i) {
            char name[8];
            snprintf(name, sizeof name, "e%03d", i);
            ASSERT_NE(container->AddEntry(name), nullptr) << i;
        }
        EntryCursor cursor = CursorFor(container->FindEntry("e256"));
        ASSERT_EQ(cursor.index, 256u);
        ASSERT_EQ(Write(container.get(), cursor, "last"), S_OK);
    }
    const Bytes file = ReadFile(path);
    const uint64_t firstIndex = 16, firstEntry = firstIndex + 2061, entrySize = 5 + 4 + 4 + 8016;
    const uint64_t secondIndex = firstEntry + 256 * entrySize;
    ASSERT_GT(file.size(), secondIndex + 2061 + entrySize);
    for (uint64_t i = 0; i < 256; ++i) ASSERT_EQ(Get64(file, firstIndex + 5 + 8 * i), firstEntry + i * entrySize) << i;
    EXPECT_EQ(Get64(file, firstIndex + 5 + 2048), secondIndex);  // slot 256: the link
    EXPECT_EQ(file[secondIndex], 0);
    EXPECT_EQ(Get32(file, secondIndex + 1), 2056u);
    EXPECT_EQ(Get64(file, secondIndex + 5), secondIndex + 2061);  // entry 256
    for (uint64_t slot = 1; slot <= 256; ++slot) ASSERT_EQ(Get64(file, secondIndex + 5 + 8 * slot), 0u);
    EXPECT_EQ(std::string(file.begin() + secondIndex + 2061 + 9, file.begin() + secondIndex + 2061 + 13), "e256");

    // And the reader numbers the entries the same way.
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    uint32_t count = 0;
    reader->GetCount(&count);
    EXPECT_EQ(count, 257u);
    ContainerEntry* last = reader->FindEntry("e256");
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->index, 256);
    Bytes back;
    ASSERT_EQ(ReadAll(reader.get(), last, &back), S_OK);
    EXPECT_EQ(std::string(back.begin(), back.end()), "last");
}

// A small ".CFS" file: header, index, one entry, one data record.
Bytes SmallCfs(uint8_t clean) {
    FileBuilder b;
    b.HeaderCFS("old.cfs", clean);
    uint64_t index = b.Index();
    uint64_t entry = b.Entry("song", 5);
    b.SetSlot(index, 0, entry);
    uint64_t data = b.Data(0, 0, {'h', 'e', 'l', 'l', 'o'});
    b.Patch64(b.SeekSlotOffset(entry, 4, 0), data);
    return b.bytes;
}

TEST_F(ContainerFormatTest, CfsVariantIsRead) {
    const std::string path = PathOf("old.cfs");
    WriteFile(path, SmallCfs(1));
    Held container(path, kContainerReadAccess);
    ASSERT_EQ(container->ReadDirectory(), S_OK);
    EXPECT_STREQ(container->GetTitle(), "old.cfs");
    ContainerEntry* entry = container->FindEntry("song");
    ASSERT_NE(entry, nullptr);
    Bytes back;
    ASSERT_EQ(ReadAll(container.get(), entry, &back), S_OK);
    EXPECT_EQ(std::string(back.begin(), back.end()), "hello");
}

TEST_F(ContainerFormatTest, UncleanCfsIsRecoveredWithItsFlagAtOffsetFour) {
    const std::string path = PathOf("old.cfs");
    Bytes bytes = SmallCfs(0);
    WriteFile(path, bytes);
    {
        Held container(path, kContainerReadAccess);
        ASSERT_EQ(container->ReadDirectory(), S_OK);
        ContainerEntry* entry = container->FindEntry("song");
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->size, 5u);
    }
    Bytes after = ReadFile(path);
    ASSERT_EQ(after.size(), bytes.size());
    EXPECT_EQ(after[4], 1);
    after[4] = 0;
    EXPECT_EQ(after, bytes);  // nothing else changed: the tail was rewritten as it was
}

TEST_F(ContainerFormatTest, VersionAboveOneAndUnknownMagicAreRefused) {
    const std::string path = PathOf("v.cfs");
    for (uint16_t version : {0, 1, 2, 0x100}) {
        FileBuilder b;
        b.HeaderW7K("v.cfs", version);
        uint64_t index = b.Index();
        b.SetSlot(index, 0, b.Entry("e", 0));
        WriteFile(path, b.bytes);
        Held container(path, kContainerReadAccess);
        EXPECT_EQ(container->ReadDirectory(), version <= 1 ? S_OK : RES_BAD_FORMAT) << version;
    }
    WriteFile(path, {'.', 'W', '7', 'X', 0, 1, 1, 0, 0, 0, 1, 'v'});
    Held other(path, kContainerReadAccess);
    EXPECT_EQ(other->ReadDirectory(), RES_BAD_FORMAT);
}

TEST_F(ContainerFormatTest, ShortHeadersAndBadTitleLengthsFail) {
    const std::string path = PathOf("short.cfs");
    auto readWith = [&](const Bytes& bytes) {
        WriteFile(path, bytes);
        Held container(path, kContainerReadAccess);
        return container->ReadDirectory();
    };
    EXPECT_EQ(readWith({}), E_FAIL);
    EXPECT_EQ(readWith({'.', 'W', '7'}), E_FAIL);
    EXPECT_EQ(readWith({'.', 'W', '7', 'K', 0, 1}), E_FAIL);
    FileBuilder zeroTitle;
    zeroTitle.HeaderW7K("");
    zeroTitle.Index();
    EXPECT_EQ(readWith(zeroTitle.bytes), E_FAIL);
    FileBuilder longTitle;
    longTitle.HeaderW7K("t");
    longTitle.Patch32(7, 1u + 5);  // reaches the end of the file exactly
    longTitle.Raw({0, 0, 0, 0, 0});
    EXPECT_EQ(readWith(longTitle.bytes), E_FAIL);
    FileBuilder notIndex;
    notIndex.HeaderW7K("t");
    notIndex.Entry("e", 0);
    EXPECT_EQ(readWith(notIndex.bytes), E_FAIL);
}

}  // namespace

namespace {

using namespace ctest;

class LargeContainerTest : public ScratchTest {};

// Entries added while data is being written get their directory records at
// once, between data records, and a new index record every 256 entries.
TEST_F(LargeContainerTest, EntriesAddedWhileWritingCrossIndexRecords) {
    const std::string path = PathOf("grow.cfs");
    const int kEntries = 600;
    {
        Held container(path, kContainerWriteAccess);
        for (int i = 0; i < kEntries; ++i) {
            ContainerEntry* entry = container->AddEntry(("n" + std::to_string(i)).c_str());
            ASSERT_NE(entry, nullptr) << i;
            EntryCursor cursor = CursorFor(entry);
            ASSERT_EQ(Write(container.get(), cursor, "#" + std::to_string(i)), S_OK) << i;
        }
    }
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    for (int i = 0; i < kEntries; ++i) {
        ContainerEntry* entry = reader->FindEntry(("n" + std::to_string(i)).c_str());
        ASSERT_NE(entry, nullptr) << i;
        ASSERT_EQ(entry->index, i);
        Bytes back;
        ASSERT_EQ(ReadAll(reader.get(), entry, &back), S_OK);
        ASSERT_EQ(std::string(back.begin(), back.end()), "#" + std::to_string(i));
    }
}

// A sparse file whose one data record lies beyond 4 GiB and is still growing
// (length field 0): its position and its length, taken from the file's true
// length, need all 64 bits. Holes are bridged by filler data records of an
// entry that does not exist, so that recovery's walk reaches it too.
Bytes SparsePrefix(uint8_t clean, uint64_t dataAt, const Bytes& data, std::vector<uint64_t>* fillers) {
    FileBuilder b;
    b.HeaderW7K("far.cfs", 1, clean);
    uint64_t index = b.Index();
    uint64_t entry = b.Entry("far", data.size(), 25000, dataAt);
    b.SetSlot(index, 0, entry);
    // Fillers: heads only; their payloads are the holes.
    uint64_t at = b.Size();
    while (at < dataAt) {
        uint64_t payload = std::min<uint64_t>(dataAt - at - 5, 0xF0000000u);
        fillers->push_back(at);
        at += 5 + payload;
    }
    return b.bytes;
}

void WriteSparse(const std::string& path, const Bytes& prefix, const std::vector<uint64_t>& fillers, uint64_t dataAt,
                 const Bytes& data) {
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(prefix.data()), static_cast<std::streamsize>(prefix.size()));
    for (size_t i = 0; i < fillers.size(); ++i) {
        uint64_t next = i + 1 < fillers.size() ? fillers[i + 1] : dataAt;
        FileBuilder head;
        head.U8(2);
        head.U32(static_cast<uint32_t>(next - fillers[i] - 5));
        head.U32(0xFFFFu);  // no such entry
        head.U64(0);
        out.seekp(static_cast<std::streamoff>(fillers[i]));
        out.write(reinterpret_cast<const char*>(head.bytes.data()), 17);
    }
    FileBuilder record;
    record.Data(0, 0, data, 0);
    out.seekp(static_cast<std::streamoff>(dataAt));
    out.write(reinterpret_cast<const char*>(record.bytes.data()), static_cast<std::streamsize>(record.bytes.size()));
}

TEST_F(LargeContainerTest, GrowingRecordBeyondFourGiBIsFoundAndRead) {
    const uint64_t dataAt = (5ull << 30) + 123;
    const Bytes data = Pattern(3000, 5);
    for (uint8_t clean : {1, 0}) {
        const std::string path = PathOf("far.cfs");
        std::vector<uint64_t> fillers;
        WriteSparse(path, SparsePrefix(clean, dataAt, data, &fillers), fillers, dataAt, data);
        ASSERT_EQ(std::filesystem::file_size(path), dataAt + 17 + data.size());
        Held reader(path, kContainerReadAccess);
        ASSERT_EQ(reader->ReadDirectory(), S_OK) << int(clean);
        ContainerEntry* entry = reader->FindEntry("far");
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->size, data.size());
        EXPECT_EQ(Stored(entry)->seekTable.First(), dataAt);
        Bytes back;
        ASSERT_EQ(ReadAll(reader.get(), entry, &back, 1000), S_OK) << int(clean);
        EXPECT_EQ(back, data);
        EntryCursor cursor = CursorFor(entry);
        ASSERT_EQ(reader->SeekEntry(&cursor, 2999), S_OK);
        EXPECT_EQ(cursor.filePosition, dataAt + 17 + 2999);
        reader.Close();
        std::filesystem::remove(path);
    }
}

}  // namespace
