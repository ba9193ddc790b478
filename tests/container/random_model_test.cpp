// Several cursors per entry on one container, driven at random against a
// model of every entry's bytes: writes at any position (overwriting and
// appending), seeks, reads, entries added while writing, removal and
// re-adding of a name. The file is checked through the live container,
// through a copy taken before the close (recovery) and after the close.
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

}  // namespace
