// Damage reported where it is: for each kind of damage the container
// detects, the result a caller gets stays the one the format fixes, and the
// report names the file offset, the part of the file and the reason. Then
// what recovery says it rebuilt.
#include <functional>

#include "container_test_util.h"
#include "damaged_layout.h"

namespace {

using namespace ctest;

constexpr uint32_t kHeader = DamageReport::kHeader;

std::string At(uint64_t offset) { return std::to_string(offset); }

struct Expected {
    int32_t result;
    uint64_t offset;
    uint32_t part;
    std::string reason;
};

class DamageReportTest : public ScratchTest {
protected:
    // Writes the bytes, opens them and reads the directory; then `act`
    // (when given) works on the container. The report is checked against
    // what is expected of the first damage.
    void Check(const std::string& what, const Bytes& bytes, const Expected& expected,
               const std::function<int32_t(CContainerFile*)>& act = {}) {
        const std::string path = PathOf("damaged.cfs");
        WriteFile(path, bytes);
        Held container(path, kContainerReadAccess);
        ASSERT_TRUE(container->IsOpen()) << what;
        int32_t result = container->ReadDirectory();
        if (act) {
            ASSERT_EQ(result, S_OK) << what;
            result = act(container.get());
        }
        EXPECT_EQ(result, expected.result) << what;
        const DamageReport report = container->Report();
        ASSERT_TRUE(report.HasDamage()) << what;
        EXPECT_EQ(report.Offset(), expected.offset) << what;
        EXPECT_EQ(report.Part(), expected.part) << what;
        EXPECT_EQ(std::string(report.Reason()), expected.reason) << what;
    }

    static int32_t ReadWhole(CContainerFile* container, const char* name) {
        Bytes back;
        return ReadAll(container, container->FindEntry(name), &back);
    }
    static int32_t SeekTo(CContainerFile* container, const char* name, uint64_t position) {
        EntryCursor cursor = CursorFor(container->FindEntry(name));
        return container->SeekEntry(&cursor, position);
    }

    const Layout l = MakeLayout();
};

TEST_F(DamageReportTest, AnUndamagedContainerReportsNothing) {
    const std::string path = PathOf("whole.cfs");
    WriteFile(path, l.bytes);
    Held container(path, kContainerReadAccess);
    ASSERT_EQ(container->ReadDirectory(), S_OK);
    EXPECT_EQ(ReadWhole(container.get(), "e0"), S_OK);
    EXPECT_EQ(SeekTo(container.get(), "e2", 0), E_FAIL);  // no data: nothing to seek in, and no damage
    EXPECT_FALSE(container->Report().HasDamage());
    EXPECT_FALSE(container->Report().recovery().ran);
    EXPECT_STREQ(container->Report().RecoverySummary(), "");
}

TEST_F(DamageReportTest, DamageInTheHeader) {
    Bytes magic = l.bytes;
    magic[1] = 'X';
    Check("magic", magic, {RES_BAD_FORMAT, 0, kHeader, "the file does not begin with a container's magic (.W7K or .CFS)"});

    Bytes version = l.bytes;
    version[5] = 2;
    Check("version", version,
          {RES_BAD_FORMAT, 4, kHeader, "the header at offset 0 has version 2; this reader knows versions up to 1"});

    Bytes cut(l.bytes.begin(), l.bytes.begin() + 9);
    Check("cut", cut, {E_FAIL, 0, kHeader, "the header at offset 0 runs past the end of the file"});

    Bytes empty = l.bytes;
    Put32(empty, 7, 0);
    Check("empty title", empty, {E_FAIL, 7, kHeader, "the title length at offset 7 is 0"});

    Bytes huge = l.bytes;
    Put32(huge, 7, 0xFFFFFFFFu);
    Check("huge title", huge,
          {E_FAIL, 7, kHeader,
           "the title of 4294967295 bytes at offset 7 leaves no room for a record before the end of the file"});
}

TEST_F(DamageReportTest, DamageInTheIndex) {
    Bytes first = l.bytes;
    first[l.index] = 2;
    Check("first record", first,
          {E_FAIL, l.index, 2, "the first record at offset " + At(l.index) + " has type 2, not an index record"});

    Bytes tooLong = l.bytes;
    Put32(tooLong, l.index + 1, 8008);
    Check("slots", tooLong,
          {RES_IO_ERROR, l.index, 0,
           "the index record at offset " + At(l.index) + " holds 8008 bytes of slots, more than 8000"});

    const std::string slotOf = " of the record at offset " + At(l.index);
    Bytes beyond = l.bytes;
    Put64(beyond, l.index + 5, beyond.size() + 100);
    Check("beyond", beyond,
          {E_FAIL, l.index, 0,
           "index slot 0" + slotOf + " leads to offset " + At(beyond.size() + 100) + ", outside the records of the file"});

    Bytes header = l.bytes;
    Put64(header, l.index + 5 + 8, 4);
    Check("into the header", header,
          {E_FAIL, l.index, 0, "index slot 1" + slotOf + " leads to offset 4, outside the records of the file"});

    Bytes self = l.bytes;
    Put64(self, l.index + 5 + 8 * 3, l.index);
    Check("itself", self, {E_FAIL, l.index, 0, "index slot 3" + slotOf + " leads back to itself"});

    Bytes twice = l.bytes;
    Put64(twice, l.index + 5 + 8 * 3, l.entry[0] + 16);
    Check("twice", twice,
          {E_FAIL, l.index, 0,
           "index slot 3" + slotOf + " leads to offset " + At(l.entry[0] + 16) + ", into the record at offset " +
               At(l.entry[0]) + " met before"});

    Bytes noHead = l.bytes;
    Put64(noHead, l.index + 5 + 8 * 3, noHead.size() - 2);
    Check("no head", noHead,
          {E_FAIL, l.index, 0,
           "index slot 3" + slotOf + " leads to offset " + At(noHead.size() - 2) + ", where no record head can be read"});

    Bytes data = l.bytes;
    Put64(data, l.index + 5 + 8 * 2, l.data[1]);
    Check("data", data,
          {E_FAIL, l.data[1], 2,
           "index slot 2" + slotOf + " leads to a record of type 2 at offset " + At(l.data[1]) +
               ", not an index or entry record"});

    // e2 is reached before e1, whose length now runs over e2.
    Bytes overlap = l.bytes;
    Put64(overlap, l.index + 5 + 8, l.entry[2]);
    Put64(overlap, l.index + 5 + 16, l.entry[1]);
    Put32(overlap, l.entry[1] + 1, 8022 + 10000);
    Check("overlap", overlap,
          {E_FAIL, l.entry[1], 1,
           "the record at offset " + At(l.entry[1]) + " (18027 bytes) overlaps the record at offset " + At(l.entry[2])});
}

TEST_F(DamageReportTest, DamageInEntryRecords) {
    const std::string e1 = "entry record 1 at offset " + At(l.entry[1]);
    Bytes zeroName = l.bytes;
    Put32(zeroName, l.entry[1] + 5, 0);
    Check("no name", zeroName, {E_FAIL, l.entry[1], 1, e1 + " has a name length of 0"});

    Bytes hugeName = l.bytes;
    Put32(hugeName, l.entry[1] + 5, 0xFFFFFFF0u);
    Check("huge name", hugeName, {E_FAIL, l.entry[1], 1, e1 + " runs past the end of the file"});

    Bytes shortRecord = l.bytes;
    Put32(shortRecord, l.entry[1] + 1, 100);
    Check("short record", shortRecord,
          {E_FAIL, l.entry[1], 1, e1 + " holds 100 bytes, too few for its name of 2 bytes and its tail"});

    Bytes cut(l.bytes.begin(), l.bytes.begin() + l.entry[2] + 500);
    Check("cut", cut, {E_FAIL, l.entry[2], 1, "entry record 2 at offset " + At(l.entry[2]) + " runs past the end of the file"});
}

TEST_F(DamageReportTest, DamageMetWhileReadingEntries) {
    const uint64_t chunkOf0 = l.entry[0] + 9 + Layout::kNameLength + 8;
    const uint64_t slot0Of0 = chunkOf0 + 8;
    Bytes chunk = l.bytes;
    Put64(chunk, chunkOf0, 3);
    Check("chunk size", chunk,
          {E_FAIL, l.entry[0], 1,
           "entry record 0 at offset " + At(l.entry[0]) + " has a chunk size of 3, not 25000 times a power of two"},
          [](CContainerFile* c) { return SeekTo(c, "e0", 3); });

    Bytes slot = l.bytes;
    Put64(slot, slot0Of0, slot.size() + 1000);
    Check("seek slot", slot,
          {E_FAIL, slot.size(), 2,
           "the file ends at offset " + At(slot.size()) + ", before the data of entry 0 at logical position 0"},
          [](CContainerFile* c) { return SeekTo(c, "e0", 0); });

    const uint64_t sizeOf1 = l.entry[1] + 9 + Layout::kNameLength;
    Bytes noTable = l.bytes;
    Put64(noTable, sizeOf1 + 16, 0);
    Check("no table", noTable,
          {E_FAIL, l.entry[1], 1,
           "entry record 1 at offset " + At(l.entry[1]) + " gives a size of 5 bytes but its seek table names no data record"},
          [](CContainerFile* c) { return ReadWhole(c, "e1"); });

    Bytes hugeSize = l.bytes;
    Put64(hugeSize, sizeOf1, ~uint64_t{0});
    Check("huge size", hugeSize,
          {E_FAIL, l.entry[1], 1,
           "entry record 1 at offset " + At(l.entry[1]) +
               " gives a size of 18446744073709551615 bytes, more than its seek table covers"},
          [](CContainerFile* c) { return SeekTo(c, "e1", ~uint64_t{0} - 5); });

    Bytes cut(l.bytes.begin(), l.bytes.end() - 1);
    Check("cut data", cut,
          {E_FAIL, cut.size(), 2, "the data of entry 0 runs past the end of the file at offset " + At(cut.size())},
          [](CContainerFile* c) { return ReadWhole(c, "e0"); });

    Bytes longer = l.bytes;
    Put64(longer, l.entry[0] + 9 + Layout::kNameLength, 20);
    Check("missing records", longer,
          {E_FAIL, longer.size(), 2,
           "the file ends at offset " + At(longer.size()) + ", before the data of entry 0 at logical position 7"},
          [](CContainerFile* c) { return ReadWhole(c, "e0"); });

    Bytes gap = l.bytes;
    Put64(gap, l.data[2] + 9, 7);
    Check("gap", gap,
          {E_FAIL, l.data[2], 2,
           "the data record at offset " + At(l.data[2]) +
               " of entry 0 starts at logical offset 7, beyond logical position 6, which no record of the entry holds"},
          [](CContainerFile* c) { return SeekTo(c, "e0", 6); });

    // A record that starts before where the entry's bytes reached: a seek
    // would serve its bytes elsewhere than a reader going on does.
    Bytes overlap = l.bytes;
    Put64(overlap, l.data[2] + 9, 3);
    Check("overlap", overlap,
          {E_FAIL, l.data[2], 2,
           "the data record at offset " + At(l.data[2]) +
               " of entry 0 starts at logical offset 3, where the entry's bytes before it end at 5"},
          [](CContainerFile* c) { return ReadWhole(c, "e0"); });
}

TEST_F(DamageReportTest, RecoverySaysWhatItRebuilt) {
    const std::string path = PathOf("unclean.cfs");
    Layout unclean = MakeLayout(0);
    WriteFile(path, unclean.bytes);
    {
        Held container(path, kContainerReadAccess);
        ASSERT_EQ(container->ReadDirectory(), S_OK);
        const DamageReport report = container->Report();
        EXPECT_FALSE(report.HasDamage());
        EXPECT_TRUE(report.recovery().ran);
        EXPECT_EQ(report.recovery().dataRecords, 3u);
        EXPECT_EQ(report.recovery().entries, 2u);
        EXPECT_TRUE(report.recovery().writtenBack);
        EXPECT_EQ(std::string(report.RecoverySummary()),
                  "rebuilt the sizes and seek tables of 2 entries from 3 data records; the records end at offset " +
                      At(unclean.bytes.size()) + "; written back and marked clean");
    }

    // Cut inside the last data record, and held open by a writer meanwhile.
    Bytes cut(unclean.bytes.begin(), unclean.bytes.end() - 1);
    WriteFile(path, cut);
    DataFile* other = CreateDataFile(0);
    ASSERT_EQ(other->Open(path.c_str(), kOpenReadOnly, 0), S_OK);
    Held container(path, kContainerReadAccess);
    ASSERT_EQ(container->ReadDirectory(), S_OK);
    const DamageReport report = container->Report();
    EXPECT_TRUE(report.recovery().cutShort);
    EXPECT_FALSE(report.recovery().writtenBack);
    EXPECT_EQ(std::string(report.RecoverySummary()),
              "rebuilt the sizes and seek tables of 2 entries from 3 data records; the records end at offset " +
                  At(cut.size()) +
                  ", inside a record cut short by the end of the file; not written back (another holder has the file "
                  "open, or it is read only)");
    other->Close();
    delete other;
}

}  // namespace
