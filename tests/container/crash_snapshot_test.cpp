// A crash at any write: a data file that copies the file on disk before
// each write it passes on, and readers of every copy, each what a crash at
// that moment would have left behind.
#include <map>

#include "container_test_util.h"
#include "faulty_file.h"

namespace {

using namespace ctest;

class CrashSnapshotTest : public ScratchTest {};

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
TEST_F(CrashSnapshotTest, CrashWhileAddingAnEntryLeavesTheEarlierEntriesReadable) {
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
TEST_F(CrashSnapshotTest, CrashAtAnyWriteLeavesEveryEntryAPrefixOfItsBytes) {
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

// A crash at any write of a session that adds to a container a crash had
// already left unclean - the clean flag, the growing record given its
// length, an entry replaced (removed and added again), entries written in
// turn, the close's write-back - leaves a file from which every entry that
// was there reads back whole (the replaced one: whole, or a prefix of its
// new bytes), every added one a prefix of its bytes; and which can be added
// to again, keeping all that.
TEST_F(CrashSnapshotTest, CrashWhileAddingLeavesOldEntriesWholeAndAddedOnesPrefixes) {
    const std::map<std::string, Bytes> old = {{"a", Pattern(40000, 1)}, {"b", Pattern(5000, 2)}, {"c", Pattern(30000, 3)}};
    const std::string base = PathOf("base.cfs");
    {
        Held writer(base, kContainerWriteAccess);
        for (const auto& [name, bytes] : old) {
            EntryCursor cursor = CursorFor(writer->AddEntry(name.c_str()));
            ASSERT_EQ(Write(writer.get(), cursor, bytes), S_OK);
        }
        WriteFile(PathOf("session.cfs"), ReadFile(base));  // as a crash leaves it
    }
    std::vector<Bytes> snapshots;
    std::map<std::string, Bytes> added;
    {
        CrashSnapshots* file = new CrashSnapshots(&snapshots);
        file->armed = true;
        Held adder(PathOf("session.cfs"), kContainerWriteAccess | kContainerAppendAccess, file);
        ASSERT_EQ(S_OK, adder->ReadDirectory());
        ASSERT_EQ(S_OK, adder->RemoveEntry("b"));
        EntryCursor b = CursorFor(adder->AddEntry("b"));
        EntryCursor d = CursorFor(adder->AddEntry("d"));
        std::mt19937 random(9);
        for (int step = 0; step < 12; ++step) {
            const std::string name = step % 3 == 0 ? "d" : "b";
            Bytes piece = Pattern(1 + random() % 9000, 100 + step);
            ASSERT_EQ(S_OK, Write(adder.get(), name == "b" ? b : d, piece));
            added[name].insert(added[name].end(), piece.begin(), piece.end());
        }
    }
    ASSERT_GT(snapshots.size(), 20u);

    auto isPrefix = [](const Bytes& part, const Bytes& whole) {
        return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
    };
    auto check = [&](const std::string& path, const std::string& context) {
        Held reader(path, kContainerReadAccess);
        ASSERT_EQ(S_OK, reader->ReadDirectory()) << context;
        for (const char* name : {"a", "c"}) {
            Bytes back;
            ASSERT_EQ(S_OK, ReadAll(reader.get(), reader->FindEntry(name), &back)) << context << " " << name;
            EXPECT_TRUE(back == old.at(name)) << context << " " << name;
        }
        for (const char* name : {"b", "d"}) {
            ContainerEntry* entry = reader->FindEntry(name);
            if (!entry || entry->size == 0) continue;
            Bytes back;
            ASSERT_EQ(S_OK, ReadAll(reader.get(), entry, &back)) << context << " " << name;
            EXPECT_TRUE(isPrefix(back, added[name]) || (std::string(name) == "b" && back == old.at("b")))
                << context << " " << name;
        }
    };
    for (size_t i = 0; i < snapshots.size(); ++i) {
        const std::string crashed = PathOf("crashed.cfs");
        WriteFile(crashed, snapshots[i]);
        check(crashed, "crash before write " + std::to_string(i));
        {
            Held again(crashed, kContainerWriteAccess | kContainerAppendAccess);
            ASSERT_EQ(S_OK, again->ReadDirectory()) << i;
            EntryCursor e = CursorFor(again->AddEntry("e"));
            ASSERT_EQ(S_OK, Write(again.get(), e, Pattern(3000, 5))) << i;
        }
        check(crashed, "added to after the crash before write " + std::to_string(i));
        Held reader(crashed, kContainerReadAccess);
        ASSERT_EQ(S_OK, reader->ReadDirectory());
        Bytes back;
        ASSERT_EQ(S_OK, ReadAll(reader.get(), reader->FindEntry("e"), &back)) << i;
        EXPECT_TRUE(back == Pattern(3000, 5)) << i;
    }
}

}  // namespace
