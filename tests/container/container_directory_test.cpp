// The container's directory: finding, adding and removing entries, entry
// numbers, titles, enumeration, identity and the failure paths of writing.
#include <unistd.h>

#include "container_test_util.h"
#include "faulty_file.h"
#include "sparse_file.h"
#include "container/container_registry.h"

namespace {

using namespace ctest;

class ContainerDirectoryTest : public ScratchTest {
protected:
    // A closed container with entries a ("AAA"), b ("BB") and c (no data).
    std::string MakeThree() {
        const std::string path = PathOf("three.cfs");
        Held container(path, kContainerWriteAccess);
        EntryCursor a = CursorFor(container->AddEntry("a"));
        EntryCursor b = CursorFor(container->AddEntry("b"));
        container->AddEntry("c");
        EXPECT_EQ(Write(container.get(), a, "AAA"), S_OK);
        EXPECT_EQ(Write(container.get(), b, "BB"), S_OK);
        return path;
    }
    static std::string Contents(CContainerFile* container, const char* name) {
        Bytes bytes;
        ContainerEntry* entry = container->FindEntry(name);
        if (!entry || QLX_FAILED(ReadAll(container, entry, &bytes))) return "<none>";
        return std::string(bytes.begin(), bytes.end());
    }
    static uint32_t CountOf(CContainerFile* container) {
        uint32_t count = 0;
        container->GetCount(&count);
        return count;
    }
};

TEST_F(ContainerDirectoryTest, FindEntryIsCaseSensitiveAndAnEmptyNameFindsTheFirstWithData) {
    Held container(PathOf("find.cfs"), kContainerWriteAccess);
    EXPECT_EQ(container->FindEntry(""), nullptr);
    ContainerEntry* empty = container->AddEntry("Empty");
    ContainerEntry* clip = container->AddEntry("Clip");
    EXPECT_EQ(container->AddEntry("Clip"), clip);  // the existing one
    EXPECT_EQ(container->AddEntry(""), nullptr);
    EXPECT_EQ(container->FindEntry("clip"), nullptr);
    EXPECT_EQ(container->FindEntry(""), nullptr);  // only entries without data
    EntryCursor cursor = CursorFor(clip);
    ASSERT_EQ(Write(container.get(), cursor, "x"), S_OK);
    EXPECT_EQ(container->FindEntry(""), clip);
    EXPECT_NE(empty, clip);
}

TEST_F(ContainerDirectoryTest, RemovalFromAWrittenContainerLastsAcrossReopening) {
    const std::string path = PathOf("rm.cfs");
    {
        Held container(path, kContainerWriteAccess);
        EntryCursor a = CursorFor(container->AddEntry("a"));
        EntryCursor b = CursorFor(container->AddEntry("b"));
        ASSERT_EQ(Write(container.get(), a, "AAA"), S_OK);
        ASSERT_EQ(Write(container.get(), b, "BB"), S_OK);
        ASSERT_EQ(container->RemoveEntry("a"), S_OK);
        EXPECT_EQ(container->FindEntry("a"), nullptr);
        EXPECT_EQ(container->RemoveEntry("a"), E_FAIL);
        EXPECT_EQ(CountOf(container.get()), 2u);
        // A new name takes a new number and starts empty.
        ContainerEntry* d = container->AddEntry("d");
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->index, 2);
        EXPECT_EQ(d->size, 0u);
        EntryCursor cd = CursorFor(d);
        ASSERT_EQ(Write(container.get(), cd, "DDDD"), S_OK);
        EXPECT_EQ(Contents(container.get(), "d"), "DDDD");
    }
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    EXPECT_EQ(reader->FindEntry("a"), nullptr);
    EXPECT_EQ(CountOf(reader.get()), 3u);  // a's number stays in use
    EXPECT_EQ(Contents(reader.get(), "b"), "BB");
    EXPECT_EQ(Contents(reader.get(), "d"), "DDDD");
}

TEST_F(ContainerDirectoryTest, EntryRemovedBeforeAnyDataIsWrittenAsRemoved) {
    const std::string path = PathOf("early.cfs");
    {
        Held container(path, kContainerWriteAccess);
        container->AddEntry("gone");
        EntryCursor kept = CursorFor(container->AddEntry("kept"));
        ASSERT_EQ(container->RemoveEntry("gone"), S_OK);
        ASSERT_EQ(Write(container.get(), kept, "k"), S_OK);
    }
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    EXPECT_EQ(CountOf(reader.get()), 2u);
    EXPECT_EQ(reader->FindEntry("gone"), nullptr);
    ContainerEntry* kept = reader->FindEntry("kept");
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->index, 1);
    EXPECT_EQ(Contents(reader.get(), "kept"), "k");
}

TEST_F(ContainerDirectoryTest, RemovalFromAContainerOpenForReadingIsWrittenAtOnce) {
    const std::string path = MakeThree();
    const Bytes before = ReadFile(path);
    {
        Held reader(path, kContainerReadAccess);
        ASSERT_EQ(reader->ReadDirectory(), S_OK);
        ContainerEntry* a = reader->FindEntry("a");
        ASSERT_NE(a, nullptr);
        const uint64_t nameAt = a->recordOffset + 9;
        ASSERT_EQ(reader->RemoveEntry("a"), S_OK);
        Bytes now = ReadFile(path);
        ASSERT_EQ(now.size(), before.size());
        EXPECT_EQ(now[nameAt], 0);
        now[nameAt] = 'a';
        EXPECT_EQ(now, before);  // that byte and nothing else
        // The container still reads after reopening its file.
        EXPECT_TRUE(reader->IsOpen());
        EXPECT_EQ(Contents(reader.get(), "b"), "BB");
    }
    Held again(path, kContainerReadAccess);
    ASSERT_EQ(again->ReadDirectory(), S_OK);
    EXPECT_EQ(again->FindEntry("a"), nullptr);
    EXPECT_EQ(Contents(again.get(), "b"), "BB");
}

TEST_F(ContainerDirectoryTest, RemovalThatCannotReachTheDiskFailsAndKeepsTheEntry) {
    const std::string path = MakeThree();
    const Bytes before = ReadFile(path);
    Faults faults;
    faults.refusedOpenFlags = {0x8001};
    Held reader(path, kContainerReadAccess, new FaultyFile(&faults));
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    EXPECT_EQ(reader->RemoveEntry("a"), RES_OPEN_FAILED);
    EXPECT_NE(reader->FindEntry("a"), nullptr);
    EXPECT_EQ(Contents(reader.get(), "a"), "AAA");
    EXPECT_EQ(ReadFile(path), before);
}

// A removal whose file cannot be opened again at all leaves the container
// without a file: its entries then neither seek nor read, whatever their
// record maps hold, and that is not damage of the file.
TEST_F(ContainerDirectoryTest, AContainerWhoseFileIsGoneSeeksAndReadsNothing) {
    const std::string path = MakeThree();
    Faults faults;
    Held reader(path, kContainerReadAccess, new FaultyFile(&faults));
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    ASSERT_EQ(Contents(reader.get(), "b"), "BB");  // b's map now holds its record
    faults.refusedOpenFlags = {0x8001, 0x8000};
    EXPECT_EQ(reader->RemoveEntry("a"), RES_OPEN_FAILED);
    ASSERT_FALSE(reader->IsOpen());
    EntryCursor cursor = CursorFor(reader->FindEntry("b"));
    EXPECT_EQ(reader->SeekEntry(&cursor, 1), RES_IO_ERROR);
    EXPECT_EQ(Read(reader.get(), cursor, 2, nullptr), RES_IO_ERROR);
    EXPECT_FALSE(reader->Report().HasDamage());
}

TEST_F(ContainerDirectoryTest, EmptyNameRemovesTheFirstEntryWithData) {
    Held container(PathOf("x.cfs"), kContainerWriteAccess);
    container->AddEntry("nodata");
    EntryCursor cursor = CursorFor(container->AddEntry("data"));
    ASSERT_EQ(Write(container.get(), cursor, "1"), S_OK);
    EXPECT_EQ(container->RemoveEntry(""), S_OK);
    EXPECT_EQ(container->FindEntry("data"), nullptr);
    EXPECT_EQ(container->FindEntry(""), nullptr);
    EXPECT_NE(container->FindEntry("nodata"), nullptr);
}

// Entry numbers are 16 bits. A file of `slots` removed entry records, each
// named by its own index slot, uses that many numbers without holding any
// entry. Such a file has over 500 MB, nearly all zeros, so it lives in memory.
SparseFile* AllNumbersUsed(uint32_t slots) {
    FileBuilder b;
    b.HeaderW7K("full.cfs");
    std::vector<uint64_t> indexes;
    for (uint32_t group = 0; group * 256 < slots; ++group) indexes.push_back(b.Index());
    for (size_t k = 0; k + 1 < indexes.size(); ++k) b.SetSlot(indexes[k], 256, indexes[k + 1]);
    const uint64_t recordSize = 5 + 4 + 1 + 8016;
    for (uint32_t i = 0; i < slots; ++i) b.SetSlot(indexes[i / 256], i % 256, b.Size() + i * recordSize);
    const uint64_t firstRecord = b.Size();
    SparseFile* file = new SparseFile(firstRecord + slots * recordSize);
    file->Put(0, b.bytes);
    for (uint32_t i = 0; i < slots; ++i) {
        FileBuilder head;
        head.U8(1);
        head.U32(1 + 8020);
        head.U32(1);
        head.U8(0);  // a name of one zero byte: removed
        file->Put(firstRecord + i * recordSize, head.bytes);
    }
    return file;
}

TEST_F(ContainerDirectoryTest, NoEntryNumberBeyond65535) {
    const std::string path = PathOf("full.cfs");
    Held full(path, kContainerReadAccess, AllNumbersUsed(65536));
    ASSERT_EQ(full->ReadDirectory(), S_OK);
    EXPECT_EQ(CountOf(full.get()), 65536u);
    EXPECT_EQ(full->AddEntry("one more"), nullptr);

    Held over(path, kContainerReadAccess, AllNumbersUsed(65537));
    EXPECT_EQ(over->ReadDirectory(), E_FAIL);
    EXPECT_EQ(CountOf(over.get()), 65536u);
}

TEST_F(ContainerDirectoryTest, TitleIsNeverEmpty) {
    // No separator: a relative path is its own title, and reads back.
    char* previous = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    {
        Held container("rel.cfs", kContainerWriteAccess);
        EXPECT_STREQ(container->GetTitle(), "rel.cfs");
        EntryCursor cursor = CursorFor(container->AddEntry("e"));
        ASSERT_EQ(Write(container.get(), cursor, "r"), S_OK);
    }
    {
        Held reader("rel.cfs", kContainerReadAccess);
        EXPECT_EQ(reader->ReadDirectory(), S_OK);
        EXPECT_STREQ(reader->GetTitle(), "rel.cfs");
    }
    ASSERT_EQ(chdir(previous), 0);
    free(previous);

    Held mixed("C:\\x/y\\z.cfs", kContainerReadAccess);
    EXPECT_FALSE(mixed->IsOpen());
    EXPECT_STREQ(mixed->GetTitle(), "z.cfs");
    const std::string longName(300, 'n');
    Held tooLong(PathOf(longName), kContainerReadAccess);
    EXPECT_EQ(std::string(tooLong->GetTitle()), std::string(255, 'n'));
}

TEST_F(ContainerDirectoryTest, EnumerationListsEntryUrlsWithForwardSlashes) {
    Held container("C:\\x\\y.dat", kContainerReadAccess);  // never opened: the directory lives in memory
    container->AddEntry("a");
    container->AddEntry("b");
    container->AddEntry("c");
    const std::string longName = "&" + std::string(300000, '\\');  // quoted, and longer than any formatted text
    container->AddEntry(longName.c_str());
    ASSERT_EQ(container->RemoveEntry("b"), S_OK);
    uint32_t count = 0;
    EXPECT_EQ(container->GetCount(&count), S_OK);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(container->GetCount(nullptr), S_OK);
    EXPECT_EQ(container->Next(nullptr), E_INVALIDARG);

    auto text = [](IUnknown* item) {
        IQLXBuffer* buffer = nullptr;
        EXPECT_EQ(item->QueryInterface(IID_IQLXBuffer, reinterpret_cast<void**>(&buffer)), S_OK);
        std::string result(reinterpret_cast<const char*>(buffer->GetBuffer()), buffer->GetSize());
        buffer->Release();
        item->Release();
        return result;
    };
    IUnknown* item = nullptr;
    ASSERT_EQ(container->First(&item), S_OK);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(text(item), std::string("cont:///C:/x/y.dat?file=a") + '\0');
    ASSERT_EQ(container->Next(&item), S_OK);
    EXPECT_EQ(item, nullptr);  // the removed slot
    ASSERT_EQ(container->Next(&item), S_OK);
    EXPECT_EQ(text(item), std::string("cont:///C:/x/y.dat?file=c") + '\0');
    ASSERT_EQ(container->Next(&item), S_OK);
    EXPECT_EQ(text(item), "cont:///C:/x/y.dat?file=\"&" + std::string(300000, '/') + '"' + '\0');
    EXPECT_EQ(container->Next(&item), E_FAIL);
    EXPECT_EQ(item, nullptr);
    ASSERT_EQ(container->First(&item), S_OK);  // starts again
    EXPECT_EQ(text(item), std::string("cont:///C:/x/y.dat?file=a") + '\0');
}

TEST_F(ContainerDirectoryTest, InterfacesAndIdentity) {
    Held container(PathOf("id.cfs"), kContainerWriteAccess);
    IUnknown* unknown = nullptr;
    IContainerFile* face = nullptr;
    IQLXEnumeratorIUnknown* enumerator = nullptr;
    ASSERT_EQ(container->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    ASSERT_EQ(container->QueryInterface(IID_ITWContainerFile, reinterpret_cast<void**>(&face)), S_OK);
    ASSERT_EQ(face->QueryInterface(IID_IQLXEnumeratorIUnknown, reinterpret_cast<void**>(&enumerator)), S_OK);
    IUnknown* again = nullptr;
    ASSERT_EQ(enumerator->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, unknown);
    EXPECT_EQ(face, static_cast<IContainerFile*>(container.get()));
    void* none = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(container->QueryInterface(IID_IQLXBuffer, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(container->RefCount(), 5);
    for (IUnknown* held : {unknown, static_cast<IUnknown*>(face), static_cast<IUnknown*>(enumerator), again})
        held->Release();
    EXPECT_EQ(container->RefCount(), 1);
}

TEST_F(ContainerDirectoryTest, DestructionLeavesTheRegistry) {
    const std::string path = PathOf("reg.cfs");
    CContainerFile* container = new CContainerFile(path.c_str(), kContainerWriteAccess);
    container->AddRef();
    {
        RegistryHold hold;
        ASSERT_EQ(ContainerRegistry().SetAt(path.c_str(), static_cast<IContainerFile*>(container)), S_OK);
    }
    container->Release();
    RegistryHold hold;
    EXPECT_EQ(ContainerRegistry().Lookup(path.c_str(), nullptr), 0);
}

TEST_F(ContainerDirectoryTest, StatReportsTheFileAndFailsWithoutOne) {
    const std::string path = MakeThree();
    Held container(path, kContainerReadAccess);
    platform::FileStat32 stat{};
    ASSERT_EQ(container->StatContainer(&stat), S_OK);
    EXPECT_EQ(stat.size, ReadFile(path).size());
    Held missing(PathOf("missing.cfs"), kContainerReadAccess);
    EXPECT_FALSE(missing->IsOpen());
    EXPECT_EQ(missing->StatContainer(&stat), E_FAIL);
    EXPECT_EQ(missing->ReadDirectory(), E_FAIL);
}

// ---- writing that fails -------------------------------------------------------

TEST_F(ContainerDirectoryTest, ReadOnlyContainerRefusesWritesAndStaysUntouched) {
    const std::string path = MakeThree();
    const Bytes before = ReadFile(path);
    {
        Held reader(path, kContainerReadAccess);
        ASSERT_EQ(reader->ReadDirectory(), S_OK);
        EntryCursor cursor = CursorFor(reader->FindEntry("c"));
        EXPECT_EQ(Write(reader.get(), cursor, "never"), E_ACCESSDENIED);
        cursor = CursorFor(reader->FindEntry("a"));
        EXPECT_EQ(Write(reader.get(), cursor, "never"), E_ACCESSDENIED);
        EXPECT_EQ(Contents(reader.get(), "a"), "AAA");
    }
    EXPECT_EQ(ReadFile(path), before);
}

TEST_F(ContainerDirectoryTest, WriteToNoEntryWritesNothing) {
    const std::string empty = PathOf("none.cfs");
    {
        Held container(empty, kContainerWriteAccess);
        EntryCursor nowhere = CursorFor(nullptr);
        EXPECT_EQ(Write(container.get(), nowhere, "lost"), E_FAIL);
        nowhere.index = 0;
        EXPECT_EQ(Write(container.get(), nowhere, "lost"), E_FAIL);
    }
    // Nothing written, as for a container whose entries got no data; a
    // header without an index record would be a file no reader can open.
    EXPECT_TRUE(ReadFile(empty).empty());

    const std::string one = PathOf("one.cfs");
    {
        Held container(one, kContainerWriteAccess);
        ASSERT_NE(container->AddEntry("a"), nullptr);
        EntryCursor beyond;
        beyond.index = 1;
        EXPECT_EQ(Write(container.get(), beyond, "lost"), E_FAIL);
    }
    EXPECT_TRUE(ReadFile(one).empty());
}

TEST_F(ContainerDirectoryTest, FailedDirectoryWriteUndoesTheNewEntry) {
    const std::string path = PathOf("undo.cfs");
    Faults faults;
    {
        Held container(path, kContainerWriteAccess, new FaultyFile(&faults));
        EntryCursor a = CursorFor(container->AddEntry("a"));
        ASSERT_EQ(Write(container.get(), a, "first"), S_OK);
        faults.writeBudget = 100;  // the entry record of the next entry cannot be written whole
        EXPECT_EQ(container->AddEntry("b"), nullptr);
        EXPECT_EQ(container->FindEntry("b"), nullptr);
        EXPECT_EQ(CountOf(container.get()), 1u);
        faults.writeBudget = -1;
        ContainerEntry* c = container->AddEntry("c");
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->index, 1);
        EntryCursor cc = CursorFor(c);
        ASSERT_EQ(Write(container.get(), cc, "third"), S_OK);
        ASSERT_EQ(Write(container.get(), a, "+more"), S_OK);
    }
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    EXPECT_EQ(CountOf(reader.get()), 2u);
    EXPECT_EQ(Contents(reader.get(), "a"), "first+more");
    EXPECT_EQ(Contents(reader.get(), "c"), "third");
}

TEST_F(ContainerDirectoryTest, FailedDirectoryWriteLeavesAReadableFile) {
    const std::string path = PathOf("undo1.cfs");
    Faults faults;
    {
        Held container(path, kContainerWriteAccess, new FaultyFile(&faults));
        EntryCursor a = CursorFor(container->AddEntry("a"));
        ASSERT_EQ(Write(container.get(), a, "first"), S_OK);
        // Length fix, index slot, record head, name and size pass; the seek
        // table fails; the undo gets through.
        faults.writesBeforeFailure = 5;
        EXPECT_EQ(container->AddEntry("b"), nullptr);
        ASSERT_EQ(Write(container.get(), a, "+more"), S_OK);
    }
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    EXPECT_EQ(CountOf(reader.get()), 1u);
    EXPECT_EQ(Contents(reader.get(), "a"), "first+more");
}

TEST_F(ContainerDirectoryTest, FailedFlushLeavesTheFileUncleanAndTheNextReaderRecovers) {
    const std::string path = PathOf("flush.cfs");
    Faults faults;
    {
        Held container(path, kContainerWriteAccess, new FaultyFile(&faults));
        EntryCursor a = CursorFor(container->AddEntry("a"));
        ASSERT_EQ(Write(container.get(), a, "payload"), S_OK);
        faults.writeBudget = 4;  // the open record's length, and no tail
    }
    Bytes file = ReadFile(path);
    ASSERT_GT(file.size(), 6u);
    EXPECT_EQ(file[6], 0);
    Held reader(path, kContainerReadAccess);
    ASSERT_EQ(reader->ReadDirectory(), S_OK);
    EXPECT_EQ(Contents(reader.get(), "a"), "payload");
    EXPECT_EQ(ReadFile(path)[6], 1);
}

TEST_F(ContainerDirectoryTest, FailedStartOfWritingStaysFailed) {
    const std::string path = PathOf("start.cfs");
    Faults faults;
    faults.writeBudget = 5;  // not even the header
    {
        Held container(path, kContainerWriteAccess, new FaultyFile(&faults));
        EntryCursor a = CursorFor(container->AddEntry("a"));
        EXPECT_EQ(Write(container.get(), a, "x"), E_FAIL);
        faults.writeBudget = -1;
        EXPECT_EQ(Write(container.get(), a, "x"), E_FAIL);  // no data without a directory
        EXPECT_EQ(container->AddEntry("b"), nullptr);
    }
    // The broken file is never marked clean.
    Bytes file = ReadFile(path);
    EXPECT_LE(file.size(), 5u);
}

}  // namespace
