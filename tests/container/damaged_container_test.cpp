// Damaged containers: each kind of damage on its own with the result it
// must give, then many randomly damaged files that must only ever give
// result codes (the sanitizer build checks for crashes, leaks and reads out
// of bounds; every loop here must end on its own).
#include <map>

#include "container_test_util.h"
#include "damaged_layout.h"

namespace {

using namespace ctest;

class DamagedContainerTest : public ScratchTest {
protected:
    // Opens the bytes as a container and reads every entry the directory
    // holds, by name and through seeks; returns ReadDirectory's result.
    int32_t OpenAndReadEverything(const Bytes& bytes, std::map<std::string, std::string>* contents = nullptr) {
        const std::string path = PathOf("damaged.cfs");
        WriteFile(path, bytes);
        Held container(path, kContainerReadAccess);
        if (!container->IsOpen()) return RES_OPEN_FAILED;
        int32_t result = container->ReadDirectory();
        ReadEveryEntry(container.get(), contents);
        return result;
    }

    static void ReadEveryEntry(CContainerFile* container, std::map<std::string, std::string>* contents) {
        IUnknown* item = nullptr;
        for (int32_t r = container->First(&item); QLX_SUCCEEDED(r); r = container->Next(&item)) {
            if (!item) continue;
            IQLXBuffer* url = static_cast<IQLXBuffer*>(item);
            std::string text(reinterpret_cast<const char*>(url->GetBuffer()));
            item->Release();
            std::string name = text.substr(text.find("?file=") + 6);
            ContainerEntry* entry = container->FindEntry(name.c_str());
            if (!entry) {
                ADD_FAILURE() << "listed but not found: " << name;
                continue;
            }
            Bytes back;
            int32_t read = ReadAll(container, entry, &back, 4096);
            if (contents) (*contents)[name] = QLX_SUCCEEDED(read) ? std::string(back.begin(), back.end()) : "<fail>";
            EntryCursor cursor = CursorFor(entry);
            for (uint64_t p : {uint64_t{0}, entry->size / 2, entry->size, entry->size + 1}) {
                if (QLX_SUCCEEDED(container->SeekEntry(&cursor, p))) Read(container, cursor, 4096, nullptr);
            }
        }
    }
};

TEST_F(DamagedContainerTest, TheUndamagedLayoutReadsBack) {
    std::map<std::string, std::string> contents;
    EXPECT_EQ(OpenAndReadEverything(MakeLayout().bytes, &contents), S_OK);
    EXPECT_EQ(contents["e0"], "hello!!");
    EXPECT_EQ(contents["e1"], "world");
    EXPECT_EQ(contents.count("e2"), 1u);
}

// A file not closed cleanly may lack records whose slots reached the disk
// (the page cache writes back in any order): such a slot is damage of its
// entry alone, and the file is not marked clean with it in place.
TEST_F(DamagedContainerTest, AnUncleanFileWhoseSlotsLeadNowhereKeepsEveryOtherEntry) {
    Layout l = MakeLayout(0);
    Bytes zeros = l.bytes;  // an added entry's slot and the file's growth written, its record not
    Put64(zeros, l.index + 5 + 8 * 3, zeros.size());
    zeros.resize(zeros.size() + 8100, 0);
    Bytes beyond = l.bytes;  // an added entry's slot written, the file's growth lost
    Put64(beyond, l.index + 5 + 8 * 3, beyond.size() + 100);
    for (const Bytes* bytes : {&zeros, &beyond}) {
        std::map<std::string, std::string> contents;
        EXPECT_EQ(OpenAndReadEverything(*bytes, &contents), S_OK);
        EXPECT_EQ(contents["e0"], "hello!!");
        EXPECT_EQ(contents["e1"], "world");
        EXPECT_EQ(contents.count("e2"), 1u);
        EXPECT_TRUE(ReadFile(PathOf("damaged.cfs")) == *bytes) << "written back with the damage in it";
        Held adder(PathOf("damaged.cfs"), kContainerWriteAccess | kContainerAppendAccess);
        EXPECT_EQ(adder->ReadDirectory(), E_FAIL);
    }
}

TEST_F(DamagedContainerTest, IndexCyclesAndStrayIndexSlotsEndTheWalk) {
    Layout l = MakeLayout();
    std::map<std::string, std::string> contents;
    Bytes self = l.bytes;
    Put64(self, l.index + 5 + 8 * 3, l.index);  // the slot after the entries leads back to the root
    EXPECT_EQ(OpenAndReadEverything(self, &contents), E_FAIL);
    EXPECT_EQ(contents["e0"], "hello!!");  // entries met before the cycle stay loaded

    Bytes header = l.bytes;
    Put64(header, l.index + 5 + 8 * 1, 4);  // a slot into the header
    EXPECT_EQ(OpenAndReadEverything(header), E_FAIL);

    Bytes beyond = l.bytes;
    Put64(beyond, l.index + 5, beyond.size() + 100);
    EXPECT_EQ(OpenAndReadEverything(beyond), E_FAIL);

    Bytes dataSlot = l.bytes;
    Put64(dataSlot, l.index + 5 + 8 * 2, l.data[1]);  // a data record is no directory record
    EXPECT_EQ(OpenAndReadEverything(dataSlot), E_FAIL);

    Bytes longIndex = l.bytes;
    Put32(longIndex, l.index + 1, 8008);  // more than 1000 slots
    EXPECT_EQ(OpenAndReadEverything(longIndex), RES_IO_ERROR);

    // Two index records that name each other, and one named twice.
    FileBuilder b;
    b.HeaderW7K("loop.cfs");
    uint64_t first = b.Index(), second = b.Index();
    b.SetSlot(first, 0, second);
    b.SetSlot(second, 0, first);
    EXPECT_EQ(OpenAndReadEverything(b.bytes), E_FAIL);
    b.SetSlot(second, 0, 0);
    b.SetSlot(first, 1, second);
    EXPECT_EQ(OpenAndReadEverything(b.bytes), E_FAIL);
}

TEST_F(DamagedContainerTest, LongIndexChainIsWalkedWithoutRecursion) {
    // Legal but deep: every index record's link slot leads to the next, and
    // only the last names an entry.
    FileBuilder b;
    b.HeaderW7K("deep.cfs");
    const int depth = 20000;
    std::vector<uint64_t> chain;
    for (int i = 0; i < depth; ++i) chain.push_back(b.Index(1));
    for (int i = 0; i + 1 < depth; ++i) b.SetSlot(chain[i], 0, chain[i + 1]);
    b.SetSlot(chain.back(), 0, b.Entry("deep", 0));
    std::map<std::string, std::string> contents;
    EXPECT_EQ(OpenAndReadEverything(b.bytes, &contents), S_OK);
    EXPECT_EQ(contents.count("deep"), 1u);
}

TEST_F(DamagedContainerTest, DamagedEntryRecordsEndTheWalk) {
    Layout l = MakeLayout();
    Bytes zeroName = l.bytes;
    Put32(zeroName, l.entry[1] + 5, 0);
    EXPECT_EQ(OpenAndReadEverything(zeroName), E_FAIL);
    Bytes hugeName = l.bytes;
    Put32(hugeName, l.entry[1] + 5, 0xFFFFFFF0u);
    EXPECT_EQ(OpenAndReadEverything(hugeName), E_FAIL);
    Bytes shortRecord = l.bytes;
    Put32(shortRecord, l.entry[1] + 1, 100);  // the tail would lie outside the record
    EXPECT_EQ(OpenAndReadEverything(shortRecord), E_FAIL);
    Bytes cut = l.bytes;
    cut.resize(l.entry[2] + 500);
    EXPECT_EQ(OpenAndReadEverything(cut), E_FAIL);
}

TEST_F(DamagedContainerTest, BadChunkSizesAndSeekSlotsFailOnlyTheirOperations) {
    Layout l = MakeLayout();
    const uint64_t chunkAt = l.entry[0] + 9 + Layout::kNameLength + 8;
    for (uint64_t chunk : {uint64_t{0}, uint64_t{3}, uint64_t{75000}, ~uint64_t{0}}) {
        Bytes bytes = l.bytes;
        Put64(bytes, chunkAt, chunk);
        const std::string path = PathOf("chunk.cfs");
        WriteFile(path, bytes);
        Held container(path, kContainerReadAccess);
        ASSERT_EQ(container->ReadDirectory(), S_OK);
        ContainerEntry* e0 = container->FindEntry("e0");
        ASSERT_NE(e0, nullptr);
        EntryCursor cursor = CursorFor(e0);
        EXPECT_EQ(container->SeekEntry(&cursor, 3), E_FAIL) << chunk;
        Bytes back;
        ASSERT_EQ(ReadAll(container.get(), e0, &back), S_OK) << chunk;  // reading needs no division
        EXPECT_EQ(std::string(back.begin(), back.end()), "hello!!");
    }

    Bytes outside = l.bytes;
    Put64(outside, l.entry[0] + 9 + Layout::kNameLength + 16, outside.size() + 1000);
    const std::string path = PathOf("slot.cfs");
    WriteFile(path, outside);
    Held container(path, kContainerReadAccess);
    ASSERT_EQ(container->ReadDirectory(), S_OK);
    ContainerEntry* e0 = container->FindEntry("e0");
    EntryCursor cursor = CursorFor(e0);
    EXPECT_EQ(container->SeekEntry(&cursor, 0), E_FAIL);
    EXPECT_EQ(Read(container.get(), cursor, 10, nullptr), E_FAIL);
    EXPECT_EQ(container->FindEntry("e1")->size, 5u);
}

TEST_F(DamagedContainerTest, DataRecordsOfUnknownEntriesOrAbsurdLengthsAreHarmless) {
    Layout l = MakeLayout(0);  // unclean: recovery walks every data record
    Bytes stranger = l.bytes;
    Put32(stranger, l.data[1] + 5, 999);  // e1's bytes now belong to no entry
    std::map<std::string, std::string> contents;
    EXPECT_EQ(OpenAndReadEverything(stranger, &contents), S_OK);
    EXPECT_EQ(contents["e0"], "hello!!");
    EXPECT_NE(contents["e1"], "world");

    Bytes absurd = MakeLayout(0).bytes;
    Put32(absurd, l.data[1] + 1, 0xFFFFFFFFu);  // runs far past the end of the file
    contents.clear();
    EXPECT_EQ(OpenAndReadEverything(absurd, &contents), S_OK);
    EXPECT_EQ(contents["e0"], "hello");  // d2 is swallowed by d1's length...
    const Bytes& file = absurd;
    EXPECT_EQ(contents["e1"], std::string(file.begin() + l.data[1] + 17, file.end()));  // ...up to the end of the file
    Bytes tooShort = MakeLayout(0).bytes;
    Put32(tooShort, l.data[0] + 1, 3);  // shorter than a data head
    EXPECT_EQ(OpenAndReadEverything(tooShort), S_OK);

    Bytes hugeOffset = MakeLayout(0).bytes;
    Put64(hugeOffset, l.data[2] + 9, ~uint64_t{0} - 1);  // logical offset + length overflows
    contents.clear();
    EXPECT_EQ(OpenAndReadEverything(hugeOffset, &contents), S_OK);
    EXPECT_EQ(contents["e0"], "hello");
}

TEST_F(DamagedContainerTest, AbsurdSizesOnACleanFileFailReadsWithoutHugeAllocations) {
    Layout l = MakeLayout();
    Bytes bytes = l.bytes;
    Put64(bytes, l.entry[1] + 9 + Layout::kNameLength, ~uint64_t{0});
    const std::string path = PathOf("size.cfs");
    WriteFile(path, bytes);
    Held container(path, kContainerReadAccess);
    ASSERT_EQ(container->ReadDirectory(), S_OK);
    EntryCursor cursor = CursorFor(container->FindEntry("e1"));
    Bytes back;
    // The bytes the entry has, then the damage.
    EXPECT_EQ(Read(container.get(), cursor, 0xFFFFFFFFu, &back), S_OK);
    EXPECT_LT(back.size(), bytes.size());
    EXPECT_EQ(Read(container.get(), cursor, 0xFFFFFFFFu, &back), E_FAIL);
    EXPECT_EQ(container->SeekEntry(&cursor, ~uint64_t{0} - 5), E_FAIL);
}

// A damaged seek-table slot of one entry aimed into its own data, where the
// bytes happen to read as a data record of another entry (an entry that
// holds a container of its own): the scan that seek makes must not teach
// the other entry that record, which would then read bytes of the first.
TEST_F(DamagedContainerTest, ASlotAimedIntoDataTeachesNoOtherEntry) {
    FileBuilder b;
    b.HeaderW7K("nested.cfs");
    const uint64_t index = b.Index();
    const uint64_t a = b.Entry("a", 30000);
    const uint64_t bee = b.Entry("b", 5);
    b.SetSlot(index, 0, a);
    b.SetSlot(index, 1, bee);
    Bytes inner(30000, 'a');
    FileBuilder fake;
    fake.Data(1, 0, {'X', 'X', 'X', 'X', 'X'});
    std::copy(fake.bytes.begin(), fake.bytes.end(), inner.begin() + 25000);
    const uint64_t dataA = b.Data(0, 0, inner);
    const uint64_t dataB = b.Data(1, 0, {'h', 'e', 'l', 'l', 'o'});
    b.Patch64(b.SeekSlotOffset(a, 1, 0), dataA);
    b.Patch64(b.SeekSlotOffset(a, 1, 1), dataA + 17 + 25000);  // into a's bytes, at the fake head
    b.Patch64(b.SeekSlotOffset(bee, 1, 0), dataB);
    const std::string path = PathOf("nested.cfs");
    WriteFile(path, b.bytes);

    Held container(path, kContainerReadAccess);
    ASSERT_EQ(container->ReadDirectory(), S_OK);
    EntryCursor cursorA = CursorFor(container->FindEntry("a"));
    EXPECT_EQ(container->SeekEntry(&cursorA, 25001), E_FAIL);
    Bytes back;
    ASSERT_EQ(ReadAll(container.get(), container->FindEntry("b"), &back), S_OK);
    EXPECT_EQ(std::string(back.begin(), back.end()), "hello");
}

// ---- random damage -------------------------------------------------------------

// Offsets of the fields whose damage matters most: heads, lengths, slots,
// sizes, chunk sizes, first seek slots, data heads.
std::vector<uint64_t> StructuralOffsets(const Bytes& file) {
    std::vector<uint64_t> offsets;
    for (uint64_t i = 0; i < 16 && i < file.size(); ++i) offsets.push_back(i);
    uint64_t at = 11 + big_endian::Get32(&file[7]);
    while (at + 5 <= file.size()) {
        uint32_t length = big_endian::Get32(&file[at + 1]);
        for (uint64_t k = 0; k < 17; ++k) offsets.push_back(at + k);
        if (file[at] == 0) {
            for (uint64_t k = 0; k < 8; ++k) offsets.push_back(at + 5 + 8 * 256 + k);
        } else if (file[at] == 1 && at + 9 <= file.size()) {
            uint64_t tail = at + 9 + big_endian::Get32(&file[at + 5]);
            for (uint64_t k = 0; k < 40; ++k) offsets.push_back(tail + k);
        }
        if (length == 0) break;
        at += 5 + length;
    }
    std::vector<uint64_t> inside;
    for (uint64_t o : offsets)
        if (o < file.size()) inside.push_back(o);
    return inside;
}

TEST_F(DamagedContainerTest, ThousandsOfRandomlyDamagedContainersGiveOnlyResultCodes) {
    // Base files from the real writer: one closed cleanly, one abandoned
    // (recovery runs on it), with interleaved entries spanning several slots.
    std::vector<Bytes> bases;
    {
        const std::string live = PathOf("base.cfs");
        Held writer(live, kContainerWriteAccess);
        EntryCursor cursors[3] = {CursorFor(writer->AddEntry("a")), CursorFor(writer->AddEntry("bb")),
                                  CursorFor(writer->AddEntry("ccc"))};
        for (int round = 0; round < 12; ++round)
            for (int w = 0; w < 3; ++w) ASSERT_EQ(Write(writer.get(), cursors[w], Pattern(700 + 300 * w, round)), S_OK);
        bases.push_back(ReadFile(live));  // abandoned
        writer.Close();
        bases.push_back(ReadFile(live));  // clean
    }
    bases.push_back(MakeLayout(1).bytes);
    bases.push_back(MakeLayout(0).bytes);

    std::mt19937_64 random(20261207);
    const int kFiles = 1000;
    int opened = 0;
    for (int n = 0; n < kFiles; ++n) {
        SCOPED_TRACE("damaged file " + std::to_string(n));
        Bytes bytes = bases[n % bases.size()];
        std::vector<uint64_t> fields = StructuralOffsets(bytes);
        switch (random() % 6) {
        case 0:  // flip bytes anywhere
            for (int k = 1 + random() % 8; k > 0; --k) bytes[random() % bytes.size()] ^= 1 << (random() % 8);
            break;
        case 1:  // flip bytes of structural fields
            for (int k = 1 + random() % 4; k > 0; --k) bytes[fields[random() % fields.size()]] ^= 1 << (random() % 8);
            break;
        case 2:  // cut short
            bytes.resize(random() % bytes.size());
            break;
        case 3: {  // an 8-byte field aimed back at a record, the header or beyond the end
            uint64_t at = fields[random() % fields.size()];
            if (at + 8 > bytes.size()) break;
            uint64_t targets[] = {fields[random() % fields.size()], random() % 16, bytes.size() + random() % 100,
                                  uint64_t{11} + big_endian::Get32(&bytes[7])};
            Put64(bytes, at, targets[random() % 4]);
            break;
        }
        case 4: {  // absurd 4- or 8-byte values in structural fields
            uint64_t at = fields[random() % fields.size()];
            uint64_t values[] = {0, 0xFFFFFFFFu, 0x7FFFFFFFu, ~uint64_t{0}, uint64_t{1} << 40, 12, 11, 8020, 8001};
            uint64_t v = values[random() % 9];
            if (random() % 2 && at + 8 <= bytes.size()) Put64(bytes, at, v);
            else if (at + 4 <= bytes.size()) Put32(bytes, at, static_cast<uint32_t>(v));
            break;
        }
        default:  // several kinds at once
            for (int k = 0; k < 3; ++k) {
                uint64_t at = fields[random() % fields.size()];
                if (at + 4 <= bytes.size()) Put32(bytes, at, static_cast<uint32_t>(random()));
            }
            if (random() % 2) bytes.resize(bytes.size() - random() % (bytes.size() / 4 + 1));
            break;
        }
        int32_t result = OpenAndReadEverything(bytes);
        if (QLX_SUCCEEDED(result)) ++opened;
        ASSERT_TRUE(result == S_OK || result == E_FAIL || result == RES_BAD_FORMAT || result == RES_IO_ERROR ||
                    result == RES_OPEN_FAILED)
            << std::hex << result;
    }
    // The damage must not be so heavy that nothing is ever read.
    EXPECT_GT(opened, kFiles / 10);
}

}  // namespace
