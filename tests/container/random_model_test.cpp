// Several cursors per entry on one container, driven at random against a
// model of every entry's bytes: writes at any position (overwriting and
// appending, in pieces from a few bytes, which the record map keeps only in
// part, to several kilobytes), seeks, reads, entries added while writing,
// removal and re-adding of a name. The file is checked through the live
// container, through a copy taken before the close (recovery) and after the
// close.
//
// Every so often a read or a seek is done twice from the same cursor: once
// through the record map as the container has learned it (from its writer,
// its recovery or its scans), and once more after the container dropped
// every map, so that it finds its records by scanning. Both must agree with
// each other byte for byte, and with the model.
#include <map>
#include <memory>

#include "container_test_util.h"

namespace {

using namespace ctest;

class RandomModelTest : public ScratchTest {
protected:
    struct Cursor {
        std::string name;
        EntryCursor cursor;
    };
    struct Outcome {
        int32_t result;
        Bytes bytes;
        uint64_t position;
    };

    ContainerEntry* Add(CContainerFile* container, const std::string& name) {
        ContainerEntry* entry = container->AddEntry(name.c_str());
        if (entry) model[name];  // an entry added under a new name starts empty
        return entry;
    }

    static Outcome ReadOnce(CContainerFile* container, EntryCursor& cursor, uint32_t count) {
        Outcome outcome;
        outcome.result = Read(container, cursor, count, &outcome.bytes);
        outcome.position = cursor.logicalPosition;
        return outcome;
    }

    static Outcome SeekOnce(CContainerFile* container, EntryCursor& cursor, uint64_t to) {
        Outcome outcome;
        outcome.result = container->SeekEntry(&cursor, to);
        outcome.position = cursor.logicalPosition;
        return outcome;
    }

    // The operation through the map, then from the same cursor through
    // scans; the map's outcome, after both were held against each other.
    template <class Operation>
    static Outcome Twice(CContainerFile* container, EntryCursor& cursor, bool twin, Operation operation,
                         const std::string& where) {
        EntryCursor scanning = cursor;
        Outcome viaMap = operation(container, cursor);
        if (!twin) return viaMap;
        container->ForgetRecords();
        Outcome viaScan = operation(container, scanning);
        EXPECT_EQ(viaMap.result, viaScan.result) << where;
        EXPECT_EQ(viaMap.position, viaScan.position) << where;
        EXPECT_TRUE(viaMap.bytes == viaScan.bytes) << where;
        return viaMap;
    }

    // A read of count bytes at the cursor, checked against the model.
    void ExpectRead(CContainerFile* container, EntryCursor& cursor, const Bytes& bytes, uint32_t count, bool twin,
                    const std::string& where) {
        const uint64_t at = cursor.logicalPosition;
        Outcome got = Twice(
            container, cursor, twin,
            [count](CContainerFile* c, EntryCursor& k) { return ReadOnce(c, k, count); }, where);
        if (bytes.empty()) {
            ASSERT_TRUE(got.result == E_FAIL || got.result == RES_END_OF_DATA) << where;
            return;
        }
        if (at >= bytes.size()) {
            ASSERT_EQ(got.result, RES_END_OF_DATA) << where;
            return;
        }
        ASSERT_EQ(got.result, S_OK) << where;
        size_t n = std::min<size_t>(count, bytes.size() - at);
        ASSERT_TRUE(got.bytes == Bytes(bytes.begin() + static_cast<ptrdiff_t>(at),
                                       bytes.begin() + static_cast<ptrdiff_t>(at + n)))
            << where;
    }

    void ExpectSeek(CContainerFile* container, EntryCursor& cursor, uint64_t to, bool twin, const std::string& where) {
        Outcome got = Twice(
            container, cursor, twin, [to](CContainerFile* c, EntryCursor& k) { return SeekOnce(c, k, to); }, where);
        ASSERT_EQ(got.result, S_OK) << where;
        ASSERT_EQ(got.position, to) << where;
    }

    // Every entry read through whole, then seeks and reads at random, every
    // one done through the map and through scans.
    void ExpectModel(CContainerFile* container, const std::string& stage, std::mt19937& random) {
        for (const auto& [name, bytes] : model) {
            const std::string where = stage + " " + name;
            ContainerEntry* entry = container->FindEntry(name.c_str());
            ASSERT_NE(entry, nullptr) << where;
            ASSERT_EQ(entry->size, bytes.size()) << where;
            if (bytes.empty()) continue;
            EntryCursor cursor = CursorFor(entry);
            while (cursor.logicalPosition < bytes.size()) {
                ASSERT_NO_FATAL_FAILURE(ExpectRead(container, cursor, bytes, 3001, true, where));
            }
            for (int k = 0; k < 20; ++k) {
                ASSERT_NO_FATAL_FAILURE(ExpectSeek(container, cursor, random() % (bytes.size() + 1), true, where));
                ASSERT_NO_FATAL_FAILURE(ExpectRead(container, cursor, bytes, 1 + random() % 9000, true, where));
            }
        }
    }

    std::map<std::string, Bytes> model;
};

TEST_F(RandomModelTest, CursorsAtRandomAgreeWithTheModelAndTheScansLiveRecoveredAndReopened) {
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
                const std::string where = std::to_string(seed) + "/" + std::to_string(step);
                const bool twin = random() % 4 == 0;
                switch (random() % 8) {
                    case 0:
                    case 1:
                    case 2: {  // write at the cursor
                        const size_t size = random() % 3 == 0 ? 1 + random() % 64 : 1 + random() % 7000;
                        Bytes piece = Pattern(size, static_cast<uint32_t>(random()));
                        ASSERT_EQ(Write(container.get(), c.cursor, piece), S_OK) << where;
                        if (bytes.size() < at + piece.size()) bytes.resize(at + piece.size());
                        std::copy(piece.begin(), piece.end(), bytes.begin() + static_cast<ptrdiff_t>(at));
                        ASSERT_EQ(c.cursor.logicalPosition, at + piece.size());
                        break;
                    }
                    case 3:
                    case 4: {  // seek anywhere in the entry
                        uint64_t to = bytes.empty() ? 0 : random() % (bytes.size() + 1);
                        if (to == at) break;
                        ASSERT_NO_FATAL_FAILURE(ExpectSeek(container.get(), c.cursor, to, twin, where));
                        break;
                    }
                    case 5:
                    case 6:  // read at the cursor
                        ASSERT_NO_FATAL_FAILURE(
                            ExpectRead(container.get(), c.cursor, bytes, 1 + random() % 9000, twin, where));
                        break;
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
            ASSERT_NO_FATAL_FAILURE(ExpectModel(container.get(), "live", random));
            WriteFile(copy, ReadFile(path));
        }
        {
            Held reader(copy, kContainerReadAccess);
            ASSERT_EQ(reader->ReadDirectory(), S_OK) << seed;
            ASSERT_NO_FATAL_FAILURE(ExpectModel(reader.get(), "recovered " + std::to_string(seed), random));
        }
        {
            Held reader(path, kContainerReadAccess);
            ASSERT_EQ(reader->ReadDirectory(), S_OK) << seed;
            ASSERT_NO_FATAL_FAILURE(ExpectModel(reader.get(), "reopened " + std::to_string(seed), random));
        }
    }
}

}  // namespace
