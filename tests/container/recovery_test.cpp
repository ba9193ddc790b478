// Containers that were not closed: abandoned while being written, ending in a
// growing record, cut short inside a record, holding a name removed and
// added again, or still held by a writer while a reader recovers them, or
// closed by its writer while a reader was recovering it.
#include <algorithm>
#include <functional>

#include "container_test_util.h"
#include "faulty_file.h"

namespace {

using namespace ctest;

class RecoveryTest : public ScratchTest {
protected:
    // Writes three entries in interleaved pieces and copies the file while the
    // writer is still open: what a crash would leave behind.
    void WriteAbandoned(const std::string& copy) {
        Held container(PathOf("live.cfs"), kContainerWriteAccess);
        EntryCursor cursors[3] = {CursorFor(container->AddEntry("alpha")), CursorFor(container->AddEntry("beta")),
                                  CursorFor(container->AddEntry("gamma"))};
        for (int round = 0; round < 40; ++round) {
            for (int which = 0; which < 3; ++which) {
                if (which == 2 && round >= 20) continue;  // gamma stops early
                Bytes piece = Pattern(3000 + 911 * which + round, round * 3 + which);
                ASSERT_EQ(Write(container.get(), cursors[which], piece), S_OK);
                expected[which].insert(expected[which].end(), piece.begin(), piece.end());
            }
        }
        WriteFile(copy, ReadFile(PathOf("live.cfs")));
    }

    void ExpectEntries(const std::string& path) {
        Held reader(path, kContainerReadAccess);
        ASSERT_EQ(reader->ReadDirectory(), S_OK);
        const char* names[3] = {"alpha", "beta", "gamma"};
        for (int which = 0; which < 3; ++which) {
            ContainerEntry* entry = reader->FindEntry(names[which]);
            ASSERT_NE(entry, nullptr) << names[which];
            EXPECT_EQ(entry->size, expected[which].size()) << names[which];
            Bytes back;
            ASSERT_EQ(ReadAll(reader.get(), entry, &back, 1500), S_OK) << names[which];
            EXPECT_EQ(back, expected[which]) << names[which];
            // The rebuilt seek table lands every seek.
            EntryCursor cursor = CursorFor(entry);
            for (uint64_t p = 0; p < expected[which].size(); p += 7919) {
                ASSERT_EQ(reader->SeekEntry(&cursor, p), S_OK) << p;
                Bytes one;
                ASSERT_EQ(Read(reader.get(), cursor, 1, &one), S_OK);
                ASSERT_EQ(one[0], expected[which][p]) << p;
            }
        }
    }

    Bytes expected[3];
};

TEST_F(RecoveryTest, AbandonedContainerIsReadBackWhole) {
    const std::string copy = PathOf("crashed.cfs");
    WriteAbandoned(copy);
    Bytes before = ReadFile(copy);
    ASSERT_EQ(before[6], 0);                              // never closed
    const uint64_t alphaSize = 11 + 8 + 2061 + 9 + 5;  // title live.cfs, index record, alpha's head and name
    ASSERT_EQ(Get64(before, alphaSize), 0u);            // only a clean close writes sizes
    ExpectEntries(copy);
    Bytes after = ReadFile(copy);
    EXPECT_EQ(after.size(), before.size());
    EXPECT_EQ(after[6], 1);  // clean after the repair
    // The repair is on disk: a second reader does not need it.
    ExpectEntries(copy);
}

TEST_F(RecoveryTest, FileEndingInAGrowingRecordReadsToTheEnd) {
    FileBuilder b;
    b.HeaderW7K("g.cfs", 1, 0);
    uint64_t index = b.Index();
    b.SetSlot(index, 0, b.Entry("g", 0));
    b.Data(0, 0, Pattern(100, 1));
    b.Data(0, 100, Pattern(250, 2), 0);  // length field 0: up to the end of the file
    const std::string path = PathOf("g.cfs");
    WriteFile(path, b.bytes);
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    ContainerEntry* entry = reader->FindEntry("g");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->size, 350u);
    Bytes back, want = Pattern(100, 1), tail = Pattern(250, 2);
    want.insert(want.end(), tail.begin(), tail.end());
    ASSERT_EQ(ReadAll(reader.get(), entry, &back, 64), S_OK);
    EXPECT_EQ(back, want);
}

// A clean file cut inside its last record: its directory still claims the
// whole entry, so reading yields every byte before the cut and then fails.
TEST_F(RecoveryTest, CleanFileCutInsideARecordYieldsEveryByteBeforeTheCut) {
    const std::string path = PathOf("cut.cfs");
    const Bytes data = Pattern(5000, 9);
    {
        Held container(path, kContainerWriteAccess);
        EntryCursor cursor = CursorFor(container->AddEntry("c"));
        ASSERT_EQ(Write(container.get(), cursor, data), S_OK);
    }
    Bytes file = ReadFile(path);
    const size_t cutBytes = 1234;
    file.resize(file.size() - cutBytes);
    WriteFile(path, file);
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    ContainerEntry* entry = reader->FindEntry("c");
    ASSERT_NE(entry, nullptr);
    EntryCursor cursor = CursorFor(entry);
    Bytes back;
    int32_t result = S_OK;
    while (result == S_OK) result = Read(reader.get(), cursor, 100, &back);
    EXPECT_EQ(result, E_FAIL);
    ASSERT_GE(back.size(), data.size() - cutBytes - 100);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin()));
    // A read across the cut gives the bytes before it, as a file's read
    // gives what it has; the next read, at the cut, fails.
    EntryCursor across = CursorFor(entry);
    IQLXBuffer* buffer = nullptr;
    const uint32_t before = static_cast<uint32_t>(data.size() - cutBytes);
    ASSERT_EQ(reader->ReadEntry(&across, &buffer, before + 500), S_OK);
    ASSERT_NE(buffer, nullptr);
    ASSERT_EQ(buffer->GetSize(), before);
    EXPECT_TRUE(std::equal(buffer->GetBuffer(), buffer->GetBuffer() + before, data.begin()));
    buffer->Release();
    buffer = nullptr;
    EXPECT_EQ(reader->ReadEntry(&across, &buffer, 500), E_FAIL);
    ASSERT_NE(buffer, nullptr);
    buffer->Release();
    buffer = nullptr;
    // So does a read that starts inside the record the cut went through,
    // before the container has learned where that record ends.
    Held fresh(path, kContainerReadAccess);
    ASSERT_EQ(fresh->ReadDirectory(), S_OK);
    EntryCursor inside = CursorFor(fresh->FindEntry("c"));
    Bytes start;
    ASSERT_EQ(Read(fresh.get(), inside, before - 100, &start), S_OK);
    ASSERT_EQ(fresh->ReadEntry(&inside, &buffer, 500), S_OK);
    ASSERT_EQ(buffer->GetSize(), 100u);
    EXPECT_TRUE(std::equal(buffer->GetBuffer(), buffer->GetBuffer() + 100, data.begin() + (before - 100)));
    buffer->Release();
    buffer = nullptr;
    EXPECT_EQ(fresh->ReadEntry(&inside, &buffer, 500), E_FAIL);
    ASSERT_NE(buffer, nullptr);
    // A failed read hands out zeros, not stale memory.
    EXPECT_EQ(std::count(buffer->GetBuffer(), buffer->GetBuffer() + buffer->GetSize(), 0), buffer->GetSize());
    buffer->Release();
    // One read that ends exactly at the cut still succeeds.
    EntryCursor exact = CursorFor(entry);
    Bytes whole;
    ASSERT_EQ(Read(reader.get(), exact, static_cast<uint32_t>(data.size() - cutBytes), &whole), S_OK);
    EXPECT_EQ(whole, Bytes(data.begin(), data.end() - cutBytes));
}

// An unclean file cut inside a record whose length field is set: recovery
// keeps the bytes that are there and sizes the entry by them.
TEST_F(RecoveryTest, UncleanFileCutInsideARecordRecoversTheBytesThatAreThere) {
    const std::string copy = PathOf("crashed.cfs");
    WriteAbandoned(copy);
    Bytes file = ReadFile(copy);
    // The file ends in beta's growing record (3950 bytes of data) after a
    // record of alpha's with a fixed length: cut all of beta's and 1000 bytes
    // of alpha's.
    const size_t betaLast = 3000 + 911 + 39;
    ASSERT_EQ(Get32(file, file.size() - betaLast - 17 + 1), 0u);
    file.resize(file.size() - betaLast - 17 - 1000);
    WriteFile(copy, file);
    expected[0].resize(expected[0].size() - 1000);
    expected[1].resize(expected[1].size() - betaLast);
    ExpectEntries(copy);
}

// A record whose head a power cut tore may name an offset past where the
// entry's bytes reach: recovery takes only records that continue the entry,
// so the entry ends where its bytes end, with no gap inside it, and a later
// record that does continue it still counts.
TEST_F(RecoveryTest, OnlyRecordsThatContinueTheEntryAreTakenIntoIt) {
    FileBuilder f;
    f.HeaderW7K("torn.cnt", 1, 0);
    const uint64_t index = f.Index();
    f.SetSlot(index, 0, f.Entry("a", 0));
    const Bytes first = Pattern(100, 1), stray = Pattern(100, 2), next = Pattern(50, 3);
    f.Data(0, 0, first);
    f.Data(0, 300, stray);
    f.Data(0, 100, next);
    const std::string path = PathOf("torn.cnt");
    WriteFile(path, f.bytes);
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(S_OK, reader->ReadDirectory());
    ContainerEntry* entry = reader->FindEntry("a");
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(150u, entry->size);
    Bytes back;
    EXPECT_EQ(S_OK, ReadAll(reader.get(), entry, &back));
    Bytes expected = first;
    expected.insert(expected.end(), next.begin(), next.end());
    EXPECT_TRUE(back == expected) << back.size() << " bytes";
}

// A container abandoned after a name was removed and added again holds two
// entry records of that name (removed records are marked only at the
// flush). Recovery serves the entry that was added last.
TEST_F(RecoveryTest, RecoveryServesANameAddedAgainNotItsRemovedEntry) {
    const std::string path = PathOf("again.cfs");
    const std::string copy = PathOf("again-crashed.cfs");
    {
        Held container(path, kContainerWriteAccess);
        EntryCursor old = CursorFor(container->AddEntry("clip"));
        ASSERT_EQ(Write(container.get(), old, std::string("old bytes, removed")), S_OK);
        ASSERT_EQ(container->RemoveEntry("clip"), S_OK);
        EntryCursor fresh = CursorFor(container->AddEntry("clip"));
        ASSERT_EQ(Write(container.get(), fresh, std::string("new")), S_OK);
        WriteFile(copy, ReadFile(path));
    }
    for (const std::string& file : {copy, path}) {
        Held reader(file, kContainerReadAccess);
        ASSERT_EQ(reader->ReadDirectory(), S_OK) << file;
        ContainerEntry* entry = reader->FindEntry("clip");
        ASSERT_NE(entry, nullptr) << file;
        Bytes back;
        ASSERT_EQ(ReadAll(reader.get(), entry, &back), S_OK) << file;
        EXPECT_EQ(std::string(back.begin(), back.end()), "new") << file;
        uint32_t count = 0;
        reader->GetCount(&count);
        EXPECT_EQ(count, 2u) << file;  // the removed number stays in use
    }
}

// A name removed and added again before a crash is held by two entry
// records, the earlier a removed entry whose mark never reached the disk.
// Removing the name later must mark both: otherwise the earlier record
// brings the removed bytes back under the name at the next reading.
TEST_F(RecoveryTest, ANameHeldByEarlierRecordsStaysRemovedOnceRemoved) {
    auto expectGone = [](const std::string& file, uint32_t numbers, const std::string& context) {
        Held reader(file, kContainerReadAccess);
        ASSERT_EQ(reader->ReadDirectory(), S_OK) << context;
        EXPECT_EQ(reader->FindEntry("clip"), nullptr) << context;
        uint32_t count = 0;
        reader->GetCount(&count);
        EXPECT_EQ(count, numbers) << context;
    };

    // A closed container whose name "clip" has two earlier records.
    FileBuilder b;
    b.HeaderW7K("dup.cfs");
    const uint64_t root = b.Index();
    const std::vector<std::pair<std::string, std::string>> held = {
        {"clip", "first"}, {"clip", "second"}, {"keep", "kept"}, {"clip", "third"}};
    std::vector<uint64_t> records;
    for (uint32_t i = 0; i < held.size(); ++i) {
        records.push_back(b.Entry(held[i].first, held[i].second.size()));
        b.SetSlot(root, i, records.back());
    }
    for (uint32_t i = 0; i < held.size(); ++i) {
        const uint64_t data = b.Data(i, 0, Bytes(held[i].second.begin(), held[i].second.end()));
        b.Patch64(b.SeekSlotOffset(records[i], held[i].first.size(), 0), data);
    }
    const std::string clean = PathOf("dup.cfs");
    WriteFile(clean, b.bytes);
    {
        Held reader(clean, kContainerReadAccess);
        ASSERT_EQ(reader->ReadDirectory(), S_OK);
        ASSERT_EQ(reader->RemoveEntry("clip"), S_OK);
    }
    expectGone(clean, 4, "removed by a reader");
    {
        Held reader(clean, kContainerReadAccess);
        ASSERT_EQ(reader->ReadDirectory(), S_OK);
        Bytes back;
        ASSERT_EQ(ReadAll(reader.get(), reader->FindEntry("keep"), &back), S_OK);
        EXPECT_EQ(std::string(back.begin(), back.end()), "kept");
    }

    // The same left by a crash, removed by a reader that repaired the file,
    // and by a container taken up for adding.
    const std::string live = PathOf("again.cfs");
    const std::string crashed = PathOf("again-crashed.cfs");
    {
        Held container(live, kContainerWriteAccess);
        EntryCursor old = CursorFor(container->AddEntry("clip"));
        ASSERT_EQ(Write(container.get(), old, std::string("old bytes, removed")), S_OK);
        ASSERT_EQ(container->RemoveEntry("clip"), S_OK);
        EntryCursor fresh = CursorFor(container->AddEntry("clip"));
        ASSERT_EQ(Write(container.get(), fresh, std::string("new")), S_OK);
        WriteFile(crashed, ReadFile(live));
    }
    for (uint32_t access : {kContainerReadAccess, kContainerWriteAccess | kContainerAppendAccess}) {
        const std::string context = access == kContainerReadAccess ? "repaired by a reader" : "taken up for adding";
        const std::string file = PathOf("copy.cfs");
        WriteFile(file, ReadFile(crashed));
        {
            Held container(file, access);
            ASSERT_EQ(container->ReadDirectory(), S_OK) << context;
            if (access == kContainerReadAccess) {
                // The repair's write-back marked the earlier record already.
                const Bytes repaired = ReadFile(file);
                EXPECT_EQ(repaired.at(Get64(repaired, 11 + Get32(repaired, 7) + 5) + 9), 0) << context;
            }
            ASSERT_EQ(container->RemoveEntry("clip"), S_OK) << context;
        }
        expectGone(file, 2, context);
    }
}

// A reader of a container that another holder (another process, here a
// second container on the same path) is still writing finds its clean flag
// at 0. It rebuilds the directory for itself, but must not write it back
// and mark the file clean: the writer's later bytes would then be lost to
// the recovery of a crash that follows.
TEST_F(RecoveryTest, RecoveryLeavesAFileThatAnotherHolderWritesUnpatched) {
    const std::string path = PathOf("shared.cfs");
    const std::string copy = PathOf("shared-crashed.cfs");
    const Bytes first = Pattern(30000, 1);
    const Bytes second = Pattern(40000, 2);
    {
        Held writer(path, kContainerWriteAccess);
        EntryCursor cursor = CursorFor(writer->AddEntry("rec"));
        ASSERT_EQ(Write(writer.get(), cursor, first), S_OK);
        {
            Held reader(path, kContainerReadAccess);
            ASSERT_EQ(reader->ReadDirectory(), S_OK);
            ContainerEntry* entry = reader->FindEntry("rec");
            ASSERT_NE(entry, nullptr);
            Bytes back;
            ASSERT_EQ(ReadAll(reader.get(), entry, &back), S_OK);
            EXPECT_TRUE(back == first);
        }
        EXPECT_EQ(ReadFile(path).at(6), 0);  // still marked as being written
        ASSERT_EQ(Write(writer.get(), cursor, second), S_OK);
        WriteFile(copy, ReadFile(path));  // the writer dies here
    }
    Held reader(copy, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    ContainerEntry* entry = reader->FindEntry("rec");
    ASSERT_NE(entry, nullptr);
    Bytes back;
    ASSERT_EQ(ReadAll(reader.get(), entry, &back), S_OK);
    Bytes all = first;
    all.insert(all.end(), second.begin(), second.end());
    EXPECT_EQ(back.size(), all.size());
    EXPECT_TRUE(back == all);
}

// A data file that runs `before` just before the repair's open, the moment
// another program may still change the file the reader scanned.
class ChangedBeforeRepair : public ForwardingFile {
public:
    explicit ChangedBeforeRepair(std::function<void()> before) : m_before(std::move(before)) {}
    int32_t Open(const char* path, uint32_t flags, int32_t textMode) override {
        if (flags != 0x8000 && m_before) std::exchange(m_before, nullptr)();
        return m_inner->Open(path, flags, textMode);
    }

private:
    std::function<void()> m_before;
};

TEST_F(RecoveryTest, ARepairNeverWritesBackOverAWriterThatClosedAfterTheScan) {
    const std::string path = PathOf("closing.cfs");
    const Bytes first = Pattern(30000, 1);
    const Bytes second = Pattern(40000, 2);
    auto writer = std::make_unique<Held>(path, kContainerWriteAccess);
    EntryCursor cursor = CursorFor((*writer)->AddEntry("rec"));
    ASSERT_EQ(Write(writer->get(), cursor, first), S_OK);
    {
        // The writer appends and closes between the reader's scan and its
        // repair; the reader's sizes are then older than the file's.
        Held reader(path, kContainerReadAccess, new ChangedBeforeRepair([&] {
                        EXPECT_EQ(Write(writer->get(), cursor, second), S_OK);
                        writer.reset();
                    }));
        ASSERT_EQ(reader->ReadDirectory(), S_OK);
        ASSERT_EQ(writer, nullptr);  // the repair was tried
        ContainerEntry* entry = reader->FindEntry("rec");
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->size, first.size());  // what this reader saw
    }
    Held later(path, kContainerReadAccess);
    ASSERT_EQ(later->ReadDirectory(), S_OK);
    EXPECT_EQ(ReadFile(path).at(6), 1);
    ContainerEntry* entry = later->FindEntry("rec");
    ASSERT_NE(entry, nullptr);
    Bytes back;
    ASSERT_EQ(ReadAll(later.get(), entry, &back), S_OK);
    Bytes all = first;
    all.insert(all.end(), second.begin(), second.end());
    EXPECT_EQ(back.size(), all.size());
    EXPECT_TRUE(back == all);
}

}  // namespace
