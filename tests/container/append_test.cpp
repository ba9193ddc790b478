// Containers taken up for adding (WriteAccess with AppendAccess): what was in
// the file stays, new entries are appended behind it, the file is held
// against other writers, and any reader of the format reads the result.
#include <map>

#include "container_test_util.h"
#include "damaged_layout.h"
#include "faulty_file.h"

namespace {

using namespace ctest;

constexpr uint32_t kAppend = kContainerWriteAccess | kContainerAppendAccess;

using Contents = std::map<std::string, Bytes>;

class AppendTest : public ScratchTest {
protected:
    // A container closed cleanly, holding the entries in the order given.
    void Make(const std::string& path, const std::vector<std::pair<std::string, Bytes>>& entries) {
        Held container(path, kContainerWriteAccess);
        for (const auto& [name, bytes] : entries) {
            EntryCursor cursor = CursorFor(container->AddEntry(name.c_str()));
            ASSERT_EQ(S_OK, Write(container.get(), cursor, bytes)) << name;
        }
    }

    // Adds the entries to the container at `path`, one after another.
    void Add(const std::string& path, const std::vector<std::pair<std::string, Bytes>>& entries) {
        Held container(path, kAppend);
        ASSERT_TRUE(container->IsOpen());
        ASSERT_EQ(S_OK, container->ReadDirectory());
        for (const auto& [name, bytes] : entries) {
            ContainerEntry* entry = container->AddEntry(name.c_str());
            ASSERT_NE(nullptr, entry) << name;
            EntryCursor cursor = CursorFor(entry);
            if (!bytes.empty()) {
                ASSERT_EQ(S_OK, Write(container.get(), cursor, bytes)) << name;
            }
        }
    }

    // A reader of the file finds exactly these entries, byte for byte, and
    // the container closed cleanly. Its records follow one another to the
    // end of the file, each with its true length, so that a scan or a
    // recovery finds every one.
    static void ExpectHolds(const std::string& path, const Contents& expected) {
        const Bytes file = ReadFile(path);
        EXPECT_EQ(1, file.at(6)) << "clean flag";
        uint64_t at = 11 + Get32(file, 7);
        while (at + 5 <= file.size() && Get32(file, at + 1) != 0) at += 5 + Get32(file, at + 1);
        EXPECT_EQ(file.size(), at) << "the records end short of the file, or run past it";
        Held reader(path, kContainerReadAccess);
        ASSERT_EQ(S_OK, reader->ReadDirectory());
        uint32_t numbers = 0;
        reader->GetCount(&numbers);
        size_t live = 0;
        for (uint32_t i = 0; i < numbers; ++i) {
            IUnknown* item = nullptr;
            if ((i == 0 ? reader->First(&item) : reader->Next(&item)) == S_OK && item) {
                ++live;
                item->Release();
            }
        }
        EXPECT_EQ(expected.size(), live);
        for (const auto& [name, bytes] : expected) {
            ContainerEntry* entry = reader->FindEntry(name.c_str());
            ASSERT_NE(nullptr, entry) << name;
            EXPECT_EQ(bytes.size(), entry->size) << name;
            if (bytes.empty()) continue;
            Bytes back;
            EXPECT_EQ(S_OK, ReadAll(reader.get(), entry, &back, 7000)) << name;
            EXPECT_TRUE(back == bytes) << name;
        }
    }
};

TEST_F(AppendTest, AddingRewritesNothingButTheSlotsThatLinkTheNewEntries) {
    const std::string path = PathOf("c.cnt");
    const Contents before = {{"a", Pattern(30000, 1)}, {"b", Pattern(70000, 2)}};
    Make(path, {{"a", before.at("a")}, {"b", before.at("b")}});
    const Bytes old = ReadFile(path);

    Add(path, {{"c", Pattern(90000, 3)}, {"empty", {}}});

    const Bytes now = ReadFile(path);
    ASSERT_GT(now.size(), old.size());
    // Slots 2 and 3 of the root index record, which follows the header.
    const uint64_t slot2 = 11 + Get32(old, 7) + 5 + 2 * 8;
    for (uint64_t i = 0; i < old.size(); ++i) {
        if (i < slot2 || i >= slot2 + 16) {
            ASSERT_EQ(old[i], now[i]) << "byte " << i;
        }
    }
    ExpectHolds(path, {{"a", before.at("a")}, {"b", before.at("b")}, {"c", Pattern(90000, 3)}, {"empty", {}}});
}

// New entries go on from the first free slot of the last index record of the
// chain, and a full one gets the next linked from its slot 256.
TEST_F(AppendTest, AddingGoesOnInTheLastIndexRecordOrLinksANewOne) {
    const std::string path = PathOf("many.cnt");
    Contents expected;
    std::vector<std::pair<std::string, Bytes>> first;
    for (int i = 0; i < 256; ++i) first.emplace_back("n" + std::to_string(i), Pattern(1 + i % 5, i));
    Make(path, first);
    expected.insert(first.begin(), first.end());
    // The first index record is full: 256 and 257 go into a second one;
    // then a session goes on in that one.
    std::vector<std::pair<std::string, Bytes>> more = {{"x256", Pattern(40000, 256)}, {"x257", Pattern(3, 257)}};
    Add(path, more);
    Add(path, {{"x258", Pattern(10, 258)}});
    expected.insert(more.begin(), more.end());
    expected["x258"] = Pattern(10, 258);
    ExpectHolds(path, expected);

    // A root index record with no entry at all takes the first one itself.
    const std::string bare = PathOf("bare.cnt");
    FileBuilder f;
    f.HeaderW7K("bare.cnt");
    f.Index();
    WriteFile(bare, f.bytes);
    Add(bare, {{"a", Pattern(10, 1)}, {"b", Pattern(20, 2)}});
    ExpectHolds(bare, {{"a", Pattern(10, 1)}, {"b", Pattern(20, 2)}});
}

// A file whose writer never closed it: its directory is rebuilt from the
// data records, and whatever its last record is, what is added behind it
// is found by every reader.
TEST_F(AppendTest, AContainerLeftUncleanIsRepairedBeforeAdding) {
    const std::string original = PathOf("live.cnt");
    Bytes unclean;
    const Bytes a = Pattern(50000, 1), b = Pattern(20000, 2);
    {
        Held writer(original, kContainerWriteAccess);
        EntryCursor ca = CursorFor(writer->AddEntry("a"));
        EntryCursor cb = CursorFor(writer->AddEntry("b"));
        ASSERT_EQ(S_OK, Write(writer.get(), ca, a));
        ASSERT_EQ(S_OK, Write(writer.get(), cb, b));
        unclean = ReadFile(original);  // flag 0, b's record still growing
    }
    ASSERT_EQ(0, unclean.at(6));
    ASSERT_EQ(0u, DataRecords(unclean).back().length);

    // What a crash may leave after the last record: nothing, the start of a
    // data record's head, the start of an entry record no slot leads to yet.
    const std::vector<std::pair<std::string, Bytes>> tails = {
        {"growing", {}}, {"cut head", {2, 0, 0}}, {"cut entry record", {1, 0, 0, 0x1F, 0x55, 0, 0, 0, 1, 'z'}}};
    for (const auto& [label, tail] : tails) {
        SCOPED_TRACE(label);
        const std::string path = PathOf("crashed.cnt");
        Bytes file = unclean;
        if (!tail.empty()) {
            // The growing record ends where the tail begins.
            const DataRecord last = DataRecords(file).back();
            big_endian::Put32(&file.at(last.offset + 1), static_cast<uint32_t>(file.size() - last.offset - 5));
            file.insert(file.end(), tail.begin(), tail.end());
        }
        WriteFile(path, file);
        Add(path, {{"c", Pattern(30000, 3)}});
        ExpectHolds(path, {{"a", a}, {"b", b}, {"c", Pattern(30000, 3)}});
    }
}

TEST_F(AppendTest, WhatCannotBeAddedToIsRefusedAndLeftAsItWas) {
    const Bytes slots = [] {
        // An entry in slot 1 behind an empty slot 0: readers stop at slot 0.
        FileBuilder f;
        f.HeaderW7K("gap.cnt");
        const uint64_t index = f.Index();
        f.SetSlot(index, 1, f.Entry("hidden", 0));
        return f.bytes;
    }();
    const Bytes shortIndex = [] {
        // Index records of 10 slots: no room where a writer puts slot 256.
        FileBuilder f;
        f.HeaderW7K("short.cnt");
        const uint64_t index = f.Index(10);
        f.SetSlot(index, 0, f.Entry("a", 0));
        return f.bytes;
    }();
    const Bytes swallowing = [] {
        // The last entry record's length reaches into the first data record
        // after it: a walk by lengths ends inside bytes a reader serves.
        Layout l = MakeLayout();
        Put32(l.bytes, l.entry[2] + 1, Get32(l.bytes, l.entry[2] + 1) + 20);
        return l.bytes;
    }();
    const Bytes strayNumber = [] {
        // A data record naming the last entry number: no adder that died
        // leaves that, and keeping every number below it from new entries
        // would write 65,535 entry records.
        FileBuilder f;
        f.HeaderW7K("stray.cnt");
        const uint64_t index = f.Index();
        f.SetSlot(index, 0, f.Entry("a", 0));
        f.Data(65535, 0, Pattern(10, 3));
        return f.bytes;
    }();
    Bytes uncleanSlots = slots;
    uncleanSlots[6] = 0;  // a refusal repairs nothing either
    const std::vector<std::tuple<std::string, Bytes, int32_t>> cases = {
        {"gap.cnt", slots, RES_BAD_FORMAT},
        {"gap-unclean.cnt", uncleanSlots, RES_BAD_FORMAT},
        {"swallowing.cnt", swallowing, RES_BAD_FORMAT},
        {"short.cnt", shortIndex, RES_BAD_FORMAT},
        {"stray.cnt", strayNumber, RES_BAD_FORMAT},
        {"notes.txt", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}, RES_BAD_FORMAT},
        {"future.cnt", Bytes{'.', 'W', '7', 'K', 0, 2, 1, 0, 0, 0, 1, 'f', 0, 0, 0, 0, 0}, RES_BAD_FORMAT},
    };
    for (const auto& [name, bytes, expected] : cases) {
        SCOPED_TRACE(name);
        const std::string path = PathOf(name);
        WriteFile(path, bytes);
        {
            Held container(path, kAppend);
            ASSERT_TRUE(container->IsOpen());
            EXPECT_EQ(expected, container->ReadDirectory());
            EXPECT_EQ(nullptr, container->AddEntry("new"));
        }
        EXPECT_TRUE(ReadFile(path) == bytes);
    }
    // A directory never read: nothing may be written over the file.
    const std::string kept = PathOf("kept.cnt");
    Make(kept, {{"a", Pattern(100, 1)}});
    const Bytes before = ReadFile(kept);
    {
        Held container(kept, kAppend);
        EXPECT_EQ(nullptr, container->AddEntry("new"));
    }
    EXPECT_TRUE(ReadFile(kept) == before);
}

// An adder killed after its entry's records reached the disk but before the
// slot that leads to them did leaves data records of a number the directory
// lacks. The next entry added must not take that number, or their bytes
// would be read as its own.
TEST_F(AppendTest, ANumberTheDataNamesButTheDirectoryLacksIsNeverGivenOut) {
    const std::string path = PathOf("orphans.cnt");
    Make(path, {{"a", Pattern(300, 1)}});
    Bytes file = ReadFile(path);
    const Bytes orphan = Pattern(40, 9);
    FileBuilder tail;
    tail.Data(1, 0, orphan);
    file.insert(file.end(), tail.bytes.begin(), tail.bytes.end());
    WriteFile(path, file);
    const std::string crashed = PathOf("crashed.cnt");
    {
        Held container(path, kAppend);
        ASSERT_EQ(S_OK, container->ReadDirectory());
        EntryCursor cursor = CursorFor(container->AddEntry("b"));
        ASSERT_EQ(S_OK, Write(container.get(), cursor, Pattern(500, 2)));
        // What a crash now would leave: the next reader recovers it.
        WriteFile(crashed, ReadFile(path));
    }
    ExpectHolds(path, {{"a", Pattern(300, 1)}, {"b", Pattern(500, 2)}});
    Held reader(crashed, kContainerReadAccess);
    ASSERT_EQ(S_OK, reader->ReadDirectory());
    Bytes back;
    ASSERT_EQ(S_OK, ReadAll(reader.get(), reader->FindEntry("b"), &back));
    EXPECT_TRUE(back == Pattern(500, 2)) << back.size() << " bytes";
}

TEST_F(AppendTest, AnEmptyOrMissingFileBecomesANewContainer) {
    const std::string empty = PathOf("empty.cnt");
    WriteFile(empty, {});
    Add(empty, {{"a", Pattern(10, 1)}, {"none", {}}});
    ExpectHolds(empty, {{"a", Pattern(10, 1)}, {"none", {}}});
    const std::string missing = PathOf("missing.cnt");
    Add(missing, {{"b", Pattern(20, 2)}});
    ExpectHolds(missing, {{"b", Pattern(20, 2)}});
}

TEST_F(AppendTest, AnAdderHoldsTheFileAgainstWritersButLetsReadersIn) {
    const std::string path = PathOf("held.cnt");
    const Bytes a = Pattern(5000, 1);
    Make(path, {{"a", a}});
    {
        Held reader(path, kContainerReadAccess);
        Held refused(path, kAppend);
        EXPECT_FALSE(refused->IsOpen());
    }
    Held adder(path, kAppend);
    ASSERT_TRUE(adder->IsOpen());
    ASSERT_EQ(S_OK, adder->ReadDirectory());
    EntryCursor cursor = CursorFor(adder->AddEntry("b"));
    ASSERT_EQ(S_OK, Write(adder.get(), cursor, Pattern(3000, 2)));
    {
        // The file is unclean while entries are added; a reader rebuilds
        // its directory and finds the bytes so far.
        Held reader(path, kContainerReadAccess);
        ASSERT_TRUE(reader->IsOpen());
        ASSERT_EQ(S_OK, reader->ReadDirectory());
        Bytes back;
        ASSERT_EQ(S_OK, ReadAll(reader.get(), reader->FindEntry("b"), &back));
        EXPECT_TRUE(back == Pattern(3000, 2));
        Held second(path, kAppend);
        EXPECT_FALSE(second->IsOpen());
        Held creator(path, kContainerWriteAccess);
        EXPECT_FALSE(creator->IsOpen());
    }
    adder.Close();
    ExpectHolds(path, {{"a", a}, {"b", Pattern(3000, 2)}});
}

TEST_F(AppendTest, RemovalsLastAndANameRemovedMayBeAddedAgain) {
    const std::string path = PathOf("rm.cnt");
    Make(path, {{"a", Pattern(100, 1)}, {"b", Pattern(200, 2)}, {"c", Pattern(300, 3)}});
    {
        Held container(path, kAppend);
        ASSERT_EQ(S_OK, container->ReadDirectory());
        ASSERT_EQ(S_OK, container->RemoveEntry("a"));
    }
    ExpectHolds(path, {{"b", Pattern(200, 2)}, {"c", Pattern(300, 3)}});
    {
        Held container(path, kAppend);
        ASSERT_EQ(S_OK, container->ReadDirectory());
        ASSERT_EQ(S_OK, container->RemoveEntry("b"));
        EntryCursor cursor = CursorFor(container->AddEntry("b"));
        ASSERT_EQ(S_OK, Write(container.get(), cursor, Pattern(250, 22)));
    }
    ExpectHolds(path, {{"b", Pattern(250, 22)}, {"c", Pattern(300, 3)}});
    // A replacement whose every write failed (a full disk) keeps the old
    // entry: its name is given back, and the new record is marked instead.
    {
        Faults faults;
        Held container(path, kAppend, new FaultyFile(&faults));
        ASSERT_EQ(S_OK, container->ReadDirectory());
        ASSERT_EQ(S_OK, container->RemoveEntry("c"));
        EntryCursor cursor = CursorFor(container->AddEntry("c"));
        faults.writesBeforeFailure = 0;
        EXPECT_NE(S_OK, Write(container.get(), cursor, Pattern(50, 33)));
    }
    ExpectHolds(path, {{"b", Pattern(250, 22)}, {"c", Pattern(300, 3)}});
}

}  // namespace
