// Several cursors per entry on one container, driven at random against a
// model of every entry's bytes: writes at any position (overwriting and
// appending), seeks, reads, entries added while writing, removal and
// re-adding of a name. The file is checked through the live container,
// through a copy taken before the close (recovery) and after the close.
#include <map>
#include <memory>

#include "container_test_util.h"
#include "faulty_file.h"

namespace {

using namespace ctest;

class RandomModelTest : public ScratchTest {
protected:
    struct Cursor {
        std::string name;
        EntryCursor cursor;
    };

    ContainerEntry* Add(CContainerFile* container, const std::string& name) {
        ContainerEntry* entry = container->AddEntry(name.c_str());
        if (entry) model[name];  // an entry added under a new name starts empty
        return entry;
    }

    void ExpectModel(CContainerFile* container, const char* stage) {
        for (const auto& [name, bytes] : model) {
            ContainerEntry* entry = container->FindEntry(name.c_str());
            ASSERT_NE(entry, nullptr) << stage << " " << name;
            ASSERT_EQ(entry->size, bytes.size()) << stage << " " << name;
            if (bytes.empty()) continue;
            Bytes back;
            ASSERT_EQ(ReadAll(container, entry, &back, 3001), S_OK) << stage << " " << name;
            ASSERT_TRUE(back == bytes) << stage << " " << name;
        }
    }

    std::map<std::string, Bytes> model;
};

TEST_F(RandomModelTest, CursorsAtRandomAgreeWithTheModelLiveRecoveredAndReopened) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        model.clear();
        const std::string path = PathOf("m" + std::to_string(seed) + ".cfs");
        const std::string copy = path + ".copy";
        std::mt19937 random(seed);
        {
            Held container(path, kContainerWriteAccess);
            std::vector<Cursor> cursors;
            for (int e = 0; e < 3; ++e) {
                std::string name = "e" + std::to_string(e);
                ContainerEntry* entry = Add(container.get(), name);
                ASSERT_NE(entry, nullptr);
                cursors.push_back({name, CursorFor(entry)});
                cursors.push_back({name, CursorFor(entry)});
            }
            int added = 3;
            for (int step = 0; step < 400; ++step) {
                Cursor& c = cursors[random() % cursors.size()];
                Bytes& bytes = model[c.name];
                const uint64_t at = c.cursor.logicalPosition;
                switch (random() % 8) {
                    case 0:
                    case 1:
                    case 2: {  // write at the cursor
                        Bytes piece = Pattern(1 + random() % 7000, static_cast<uint32_t>(random()));
                        ASSERT_EQ(Write(container.get(), c.cursor, piece), S_OK) << seed << "/" << step;
                        if (bytes.size() < at + piece.size()) bytes.resize(at + piece.size());
                        std::copy(piece.begin(), piece.end(), bytes.begin() + static_cast<ptrdiff_t>(at));
                        ASSERT_EQ(c.cursor.logicalPosition, at + piece.size());
                        break;
                    }
                    case 3:
                    case 4: {  // seek anywhere in the entry
                        uint64_t to = bytes.empty() ? 0 : random() % (bytes.size() + 1);
                        if (to == at) break;
                        ASSERT_EQ(container->SeekEntry(&c.cursor, to), S_OK) << seed << "/" << step;
                        break;
                    }
                    case 5:
                    case 6: {  // read at the cursor
                        uint32_t count = 1 + random() % 9000;
                        Bytes got;
                        int32_t result = Read(container.get(), c.cursor, count, &got);
                        if (bytes.empty()) {
                            ASSERT_TRUE(result == E_FAIL || result == RES_END_OF_DATA) << seed << "/" << step;
                            break;
                        }
                        if (at >= bytes.size()) {
                            ASSERT_EQ(result, RES_END_OF_DATA) << seed << "/" << step;
                            break;
                        }
                        ASSERT_EQ(result, S_OK) << seed << "/" << step;
                        size_t n = std::min<size_t>(count, bytes.size() - at);
                        ASSERT_TRUE(got == Bytes(bytes.begin() + static_cast<ptrdiff_t>(at),
                                                 bytes.begin() + static_cast<ptrdiff_t>(at + n)))
                            << seed << "/" << step;
                        break;
                    }
                    case 7: {  // a new entry while writing, or a name removed and added again
                        if (random() % 2) {
                            std::string name = "e" + std::to_string(added++);
                            ContainerEntry* entry = Add(container.get(), name);
                            ASSERT_NE(entry, nullptr);
                            cursors.push_back({name, CursorFor(entry)});
                        } else {
                            std::string name = c.name;
                            ASSERT_EQ(container->RemoveEntry(name.c_str()), S_OK);
                            model.erase(name);
                            ContainerEntry* entry = Add(container.get(), name);
                            ASSERT_NE(entry, nullptr);
                            for (Cursor& other : cursors) {
                                if (other.name == name) other.cursor = CursorFor(entry);
                            }
                        }
                        break;
                    }
                }
            }
            ExpectModel(container.get(), "live");
            WriteFile(copy, ReadFile(path));
        }
        {
            Held reader(copy, kContainerReadAccess);
            ASSERT_EQ(reader->ReadDirectory(), S_OK) << seed;
            ExpectModel(reader.get(), "recovered");
        }
        {
            Held reader(path, kContainerReadAccess);
            ASSERT_EQ(reader->ReadDirectory(), S_OK) << seed;
            ExpectModel(reader.get(), "reopened");
        }
    }
}

// A container abandoned after a name was removed and added again holds two
// entry records of that name (removed records are marked only at the
// flush). Recovery serves the entry that was added last.
TEST_F(RandomModelTest, RecoveryServesANameAddedAgainNotItsRemovedEntry) {
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

// A reader of a container that another holder (another process, here a
// second container on the same path) is still writing finds its clean flag
// at 0. It rebuilds the directory for itself, but must not write it back
// and mark the file clean: the writer's later bytes would then be lost to
// the recovery of a crash that follows.
TEST_F(RandomModelTest, RecoveryLeavesAFileThatAnotherHolderWritesUnpatched) {
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

// A plain data file that, while armed, copies the file on disk before each
// write: every copy is what a crash at that moment would leave behind.
class CrashSnapshots : public ctest::ForwardingFile {
public:
    explicit CrashSnapshots(std::vector<Bytes>* snapshots) : m_snapshots(snapshots) {}

    int32_t Create(const char* path, uint32_t mode, uint32_t ignored) override {
        m_path = path;
        return m_inner->Create(path, mode, ignored);
    }
    int32_t Open(const char* path, uint32_t flags, int32_t textMode) override {
        m_path = path;
        return m_inner->Open(path, flags, textMode);
    }
    int32_t Write(const void* src, uint32_t count) override {
        if (armed) m_snapshots->push_back(ReadFile(m_path));
        return m_inner->Write(src, count);
    }

    bool armed = false;

private:
    std::vector<Bytes>* m_snapshots;
    std::string m_path;
};

// Entries added while a container is being written get their directory
// records at once, between data records. A crash at any write of that
// leaves a file whose earlier entries still read back whole.
TEST_F(RandomModelTest, CrashWhileAddingAnEntryLeavesTheEarlierEntriesReadable) {
    const std::string path = PathOf("adding.cfs");
    std::vector<Bytes> snapshots;
    const Bytes first = Pattern(5000, 7);
    {
        CrashSnapshots* file = new CrashSnapshots(&snapshots);
        Held container(path, kContainerWriteAccess, file);
        EntryCursor cursor = CursorFor(container->AddEntry("first"));
        ASSERT_EQ(Write(container.get(), cursor, first), S_OK);
        // 255 more entries fill the first index record; the next one starts
        // a second, linked from slot 256 of the first.
        for (int i = 1; i < 256; ++i) ASSERT_NE(container->AddEntry(("n" + std::to_string(i)).c_str()), nullptr);
        // Number 256 starts the second index record; 257 takes its slot 1.
        for (const char* name : {"linking", "plain"}) {
            file->armed = true;
            EntryCursor added = CursorFor(container->AddEntry(name));
            file->armed = false;
            ASSERT_EQ(Write(container.get(), added, std::string("x")), S_OK);
        }
    }
    ASSERT_FALSE(snapshots.empty());
    for (size_t i = 0; i < snapshots.size(); ++i) {
        const std::string crashed = PathOf("crashed" + std::to_string(i) + ".cfs");
        WriteFile(crashed, snapshots[i]);
        Held reader(crashed, kContainerReadAccess);
        ASSERT_EQ(reader->ReadDirectory(), S_OK) << "crash before write " << i;
        ContainerEntry* entry = reader->FindEntry("first");
        ASSERT_NE(entry, nullptr) << i;
        Bytes back;
        ASSERT_EQ(ReadAll(reader.get(), entry, &back), S_OK) << i;
        EXPECT_TRUE(back == first) << i;
    }
}

// A crash at any write of an interleaved run - data records started and
// continued, lengths fixed, entries added, the close's write-back - leaves
// a file from which every entry reads back a prefix of what was written.
TEST_F(RandomModelTest, CrashAtAnyWriteLeavesEveryEntryAPrefixOfItsBytes) {
    const std::string path = PathOf("run.cfs");
    std::vector<Bytes> snapshots;
    std::map<std::string, Bytes> written;
    size_t firstData = 0;
    {
        CrashSnapshots* file = new CrashSnapshots(&snapshots);
        Held container(path, kContainerWriteAccess, file);
        file->armed = true;
        std::vector<std::pair<std::string, EntryCursor>> cursors;
        std::mt19937 random(5);
        for (int step = 0; step < 60; ++step) {
            if (step % 15 == 0) {
                std::string name = "s" + std::to_string(step);
                cursors.emplace_back(name, CursorFor(container->AddEntry(name.c_str())));
            }
            auto& [name, cursor] = cursors[random() % cursors.size()];
            Bytes piece = Pattern(1 + random() % 3000, static_cast<uint32_t>(step));
            ASSERT_EQ(Write(container.get(), cursor, piece), S_OK);
            written[name].insert(written[name].end(), piece.begin(), piece.end());
            // Before the first data write is through there are no bytes to lose.
            if (step == 0) firstData = snapshots.size();
        }
    }  // the close writes back under the snapshots too
    ASSERT_GT(snapshots.size(), 60u);
    for (size_t i = firstData; i < snapshots.size(); ++i) {
        const std::string crashed = PathOf("crash.cfs");
        WriteFile(crashed, snapshots[i]);
        Held reader(crashed, kContainerReadAccess);
        ASSERT_EQ(reader->ReadDirectory(), S_OK) << "crash before write " << i;
        for (const auto& [name, bytes] : written) {
            ContainerEntry* entry = reader->FindEntry(name.c_str());
            // Not complete yet, or no data yet (an empty entry reads as E_FAIL).
            if (!entry || entry->size == 0) continue;
            Bytes back;
            ASSERT_EQ(ReadAll(reader.get(), entry, &back), S_OK) << i << " " << name;
            ASSERT_LE(back.size(), bytes.size()) << i << " " << name;
            ASSERT_TRUE(std::equal(back.begin(), back.end(), bytes.begin())) << i << " " << name;
        }
    }
}

}  // namespace
