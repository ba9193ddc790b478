// The exact bytes of containers written through a fixed run of operations,
// held against committed files (gzip, in golden/). Every path of the writer
// takes part: interleaved entries, a second index record, an entry added
// between data records, an overwrite in place, a removal, a stream long
// enough to move to a block-aligned record behind a filler, and the close;
// then recovery of a copy left unclean and a removal by a reader.
//
// A mismatch leaves the file written at the path printed, to compare and,
// when the change is meant, to gzip over the committed file.
#include <zlib.h>

#include "container_test_util.h"

namespace {

using namespace ctest;

const std::string kGoldenDir = std::string(CONTFS_SOURCE_DIR) + "/tests/container/golden/";

// Bytes 0, 1, ... 250 over and over: no run repeats within the entry, and
// the committed file compresses well.
Bytes Counting(size_t count, uint8_t start) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>((start + i) % 251);
    return bytes;
}

Bytes ReadGzip(const std::string& path) {
    Bytes bytes;
    gzFile in = gzopen(path.c_str(), "rb");
    if (!in) return bytes;
    uint8_t piece[1 << 16];
    int got;
    while ((got = gzread(in, piece, sizeof piece)) > 0) bytes.insert(bytes.end(), piece, piece + got);
    gzclose(in);
    return bytes;
}

class GoldenFileTest : public ScratchTest {
protected:
    // Compares a written file with golden/<name>.gz; on a mismatch the
    // written file is kept beside the build for a look.
    void ExpectGolden(const std::string& written, const std::string& name) {
        const Bytes actual = ReadFile(written);
        const Bytes golden = ReadGzip(kGoldenDir + name + ".gz");
        size_t first = 0;
        while (first < actual.size() && first < golden.size() && actual[first] == golden[first]) ++first;
        if (first == actual.size() && first == golden.size()) return;
        const std::string kept = std::string(CONTFS_TEST_TMPDIR) + "/" + name;
        std::filesystem::create_directories(CONTFS_TEST_TMPDIR);
        WriteFile(kept, actual);
        ADD_FAILURE() << name << ": " << actual.size() << " bytes written, " << golden.size()
                      << " expected; first difference at offset " << first << "; written file kept at " << kept;
    }

    EntryCursor Add(CContainerFile* container, const char* name) {
        ContainerEntry* entry = container->AddEntry(name);
        EXPECT_NE(entry, nullptr) << name;
        return CursorFor(entry);
    }
};

TEST_F(GoldenFileTest, WriterAndRecoveryKeepTheirBytes) {
    const std::string path = PathOf("golden.cnt");
    const std::string unclean = PathOf("unclean.cnt");
    {
        Held container(path, kContainerWriteAccess);
        EntryCursor alpha = Add(container.get(), "alpha");
        EntryCursor beta = Add(container.get(), "beta");
        EntryCursor digits = Add(container.get(), "2024");
        for (int round = 0; round < 3; ++round) {
            ASSERT_EQ(Write(container.get(), alpha, Counting(700 + round, 1)), S_OK);
            ASSERT_EQ(Write(container.get(), beta, Counting(300, 2)), S_OK);
            ASSERT_EQ(Write(container.get(), digits, Counting(90, 3)), S_OK);
        }
        // Enough names for a second index record, added after data.
        for (int i = 3; i <= 257; ++i) Add(container.get(), ("e" + std::to_string(i)).c_str());
        EntryCursor late = Add(container.get(), "late");
        ASSERT_EQ(Write(container.get(), late, Counting(40, 4)), S_OK);
        ASSERT_EQ(Write(container.get(), alpha, Counting(60, 5)), S_OK);
        // In place, across the first two records of alpha.
        ASSERT_EQ(container->SeekEntry(&alpha, 690), S_OK);
        ASSERT_EQ(Write(container.get(), alpha, Bytes(20, 0xEE)), S_OK);
        ASSERT_EQ(container->RemoveEntry("beta"), S_OK);
        WriteFile(unclean, ReadFile(path));

        // A stream of 64 KiB pieces, past the 4 MiB after which it moves to
        // a record aligned behind a filler.
        EntryCursor stream = Add(container.get(), "stream");
        for (int piece = 0; piece < 66; ++piece) ASSERT_EQ(Write(container.get(), stream, Counting(65536, 6)), S_OK);
        ASSERT_EQ(Write(container.get(), digits, Counting(10, 7)), S_OK);
    }
    bool filler = false;
    for (const DataRecord& record : DataRecords(ReadFile(path))) filler |= record.entry == 0xFFFFFFFFu;
    EXPECT_TRUE(filler) << "the stream never moved behind a filler record";
    ExpectGolden(path, "written.cnt");

    {
        Held reader(unclean, kContainerReadAccess);
        ASSERT_EQ(reader->ReadDirectory(), S_OK);
        ASSERT_EQ(reader->RemoveEntry("2024"), S_OK);
    }
    ExpectGolden(unclean, "recovered.cnt");
}

}  // namespace
