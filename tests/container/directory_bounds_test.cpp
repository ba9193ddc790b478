// Directories that claim more than their file holds: records that overlap,
// one record named by every slot, nestings of the smallest records. Reading
// any directory reads each record once and takes memory bounded by the
// file's size.
#include <filesystem>

#include "container_test_util.h"
#include "faulty_file.h"
#include "support/allocation_watch.h"

namespace {

using namespace ctest;

class CountingFile : public ForwardingFile {
public:
    explicit CountingFile(uint64_t* bytesRead) : m_bytesRead(bytesRead) {}
    int32_t Read(void* dst, uint32_t count) override {
        int32_t got = ForwardingFile::Read(dst, count);
        if (got > 0) *m_bytesRead += static_cast<uint32_t>(got);
        return got;
    }

private:
    uint64_t* m_bytesRead;
};

struct DirectoryRead {
    int32_t result = S_OK;
    uint32_t entryNumbers = 0;
    uint64_t peakBytes = 0;
    uint64_t bytesRead = 0;
    uint64_t fileSize = 0;
};

// A file of 8000 slots would take 64 KB; the fixed part of the bound is the
// record window, made at the first record read whatever the file's size,
// and room for the scratch and bookkeeping of one container.
constexpr uint64_t kFixedBytes = RecordFile::kWindowSize + 64 * 1024;

class DirectoryBoundsTest : public ScratchTest {
protected:
    DirectoryRead ReadWatched(const std::string& path) {
        DirectoryRead read;
        read.fileSize = std::filesystem::file_size(path);
        {
            AllocationWatch watch;
            Held container(path, kContainerReadAccess, new CountingFile(&read.bytesRead));
            EXPECT_TRUE(container->IsOpen());
            read.result = container->ReadDirectory();
            container->GetCount(&read.entryNumbers);
            read.peakBytes = watch.PeakBytes();
        }
        return read;
    }

    static void ExpectBounded(const DirectoryRead& read) {
        EXPECT_LE(read.peakBytes, DirectoryReader::kBytesPerFileByte * read.fileSize + kFixedBytes)
            << "file of " << read.fileSize << " bytes";
        // Each record once; an unclean file is read once more by recovery.
        EXPECT_LE(read.bytesRead, 2 * read.fileSize);
    }

    // The walk loads the first entry record and stops at the first record
    // that overlaps it, before reading that one.
    static void ExpectOnlyTheFirstLoaded(const DirectoryRead& read) {
        EXPECT_EQ(read.result, E_FAIL);
        EXPECT_EQ(read.entryNumbers, 1u);
        ExpectBounded(read);
        EXPECT_LE(read.bytesRead, read.fileSize);
    }
};

TEST_F(DirectoryBoundsTest, EntryRecordsOverlappingEachOtherLoadOnlyTheFirst) {
    // 4096 entry records 16 bytes apart, each claiming a name of 1 MB.
    const std::string path = PathOf("overlapping.cfs");
    std::filesystem::copy_file(std::string(CONTFS_SOURCE_DIR) + "/fuzz/corpus/container/overlapping-entry-records",
                               path);
    ExpectOnlyTheFirstLoaded(ReadWatched(path));
}

TEST_F(DirectoryBoundsTest, EveryIndexSlotNamingOneEntryRecordLoadsItOnce) {
    // 65536 slots lead to one entry record with a name of 16 MB.
    FileBuilder b;
    b.HeaderW7K("shared.cfs");
    std::vector<uint64_t> indexes;
    for (int k = 0; k < 256; ++k) indexes.push_back(b.Index());
    for (int k = 0; k + 1 < 256; ++k) b.SetSlot(indexes[k], 256, indexes[k + 1]);
    const uint64_t shared = b.Entry(std::string(CompactString::kMaxLength, 'n'), 0);
    for (uint32_t i = 0; i < 65536; ++i) b.SetSlot(indexes[i / 256], i % 256, shared);
    const std::string path = PathOf("shared.cfs");
    WriteFile(path, b.bytes);
    b.bytes = Bytes();

    ExpectOnlyTheFirstLoaded(ReadWatched(path));
}

TEST_F(DirectoryBoundsTest, IndexRecordsMayNotOverlapEntryRecords) {
    // An index record's slots lie inside the entry record it names.
    FileBuilder b;
    b.HeaderW7K("inside.cfs");
    const uint64_t root = b.Index(1);
    const uint64_t entry = b.Entry("abc", 0);
    b.SetSlot(root, 0, entry);
    const std::string path = PathOf("inside.cfs");
    WriteFile(path, b.bytes);
    ASSERT_EQ(ReadWatched(path).result, S_OK);

    const uint64_t nested = b.SeekSlotOffset(entry, 3, 10);  // in the entry's (empty) seek table
    b.bytes[nested] = 0;
    b.Patch32(nested + 1, 8);
    b.Patch64(nested + 5, entry);
    b.SetSlot(root, 0, nested);
    WriteFile(path, b.bytes);
    DirectoryRead overlapping = ReadWatched(path);
    EXPECT_EQ(overlapping.result, E_FAIL);
    EXPECT_EQ(overlapping.entryNumbers, 0u);
}

TEST_F(DirectoryBoundsTest, TheDensestDirectoryStaysWithinTheBound) {
    // The records that take most memory for their bytes: index records of
    // one slot each, nested one in the next, and index records of no slot.
    FileBuilder b;
    b.HeaderW7K("dense.cfs");
    std::vector<uint64_t> chain;
    for (int i = 0; i < 50000; ++i) chain.push_back(b.Index(1));
    for (size_t i = 0; i + 1 < chain.size(); ++i) b.SetSlot(chain[i], 0, chain[i + 1]);
    const uint64_t fan = b.Index(1000);
    b.SetSlot(chain.back(), 0, fan);
    for (uint32_t i = 0; i < 1000; ++i) {
        const uint64_t empty = b.Size();
        b.U8(0);
        b.U32(1);
        b.U8(0);
        b.SetSlot(fan, i, empty);
    }
    const std::string path = PathOf("dense.cfs");
    WriteFile(path, b.bytes);
    DirectoryRead read = ReadWatched(path);
    EXPECT_EQ(read.result, S_OK);
    ExpectBounded(read);
}

TEST_F(DirectoryBoundsTest, EveryCorpusFileStaysWithinTheBound) {
    const std::filesystem::path corpus = std::filesystem::path(CONTFS_SOURCE_DIR) / "fuzz/corpus/container";
    int files = 0;
    for (const auto& input : std::filesystem::directory_iterator(corpus)) {
        SCOPED_TRACE(input.path().filename().string());
        const std::string path = PathOf("corpus.cfs");
        std::filesystem::copy_file(input.path(), path, std::filesystem::copy_options::overwrite_existing);
        ExpectBounded(ReadWatched(path));
        ++files;
    }
    EXPECT_GE(files, 14);
}

TEST_F(DirectoryBoundsTest, RunningOutOfMemoryIsNotDamage) {
    // A sound file with two entries: whichever allocation of the read fails,
    // ReadDirectory says so, and it never calls the file damaged.
    const std::string path = PathOf("sound.cfs");
    {
        Held writer(path, kContainerWriteAccess);
        EntryCursor a = CursorFor(writer->AddEntry("a-name-longer-than-inline"));
        EntryCursor b = CursorFor(writer->AddEntry("b"));
        ASSERT_EQ(Write(writer.get(), a, "aaa"), S_OK);
        ASSERT_EQ(Write(writer.get(), b, "bb"), S_OK);
    }
    const Bytes sound = ReadFile(path);
    uint64_t allocations = 0;
    {
        Held container(path, kContainerReadAccess);
        AllocationWatch watch;
        ASSERT_EQ(container->ReadDirectory(), S_OK);
        allocations = watch.Allocations();
    }
    ASSERT_GT(allocations, 3u);
    for (uint64_t n = 1; n <= allocations; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        int32_t result;
        {
            Held container(path, kContainerReadAccess);
            AllocationWatch watch;
            watch.FailAllocation(n);
            result = container->ReadDirectory();
        }
        EXPECT_EQ(result, E_OUTOFMEMORY);
        EXPECT_EQ(ReadFile(path), sound);
    }
}

}  // namespace
