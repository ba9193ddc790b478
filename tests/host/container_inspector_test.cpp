// IQLXContainerInspector seen from a host: what a container found damaged,
// what its recovery rebuilt, its header and its entries' sizes, asked of
// the file object (also after an Open that failed on the damage) and of the
// container's enumerator.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host_file.h"
#include "support/container_bytes.h"

namespace {

struct Damage {
    int32_t found = -1;
    uint64_t offset = 0;
    uint32_t part = 0;
    std::string reason;
};

struct Recovery {
    int32_t ran = -1;
    uint32_t dataRecords = 0;
    uint32_t entries = 0;
    int32_t writtenBack = -1;
    std::string summary;
};

Damage DamageOf(IQLXContainerInspector* inspector) {
    Damage d;
    const char* reason = nullptr;
    EXPECT_EQ(S_OK, inspector->GetFirstDamage(&d.found, &d.offset, &d.part, &reason));
    d.reason = reason ? reason : "<null>";
    return d;
}

struct Header {
    uint32_t magic = 0;
    uint32_t version = 0;
    int32_t clean = -2;
    std::string title;
};

Header HeaderOf(IQLXContainerInspector* inspector) {
    Header h;
    const char* title = nullptr;
    EXPECT_EQ(S_OK, inspector->GetHeader(&h.magic, &h.version, &h.clean, &title));
    h.title = title ? title : "<null>";
    return h;
}

uint64_t SizeOf(IQLXContainerInspector* inspector, const char* name) {
    uint64_t size = 1;
    EXPECT_EQ(S_OK, inspector->GetEntrySize(name, &size)) << name;
    return size;
}

Recovery RecoveryOf(IQLXContainerInspector* inspector) {
    Recovery r;
    const char* summary = nullptr;
    EXPECT_EQ(S_OK, inspector->GetRecovery(&r.ran, &r.dataRecords, &r.entries, &r.writtenBack, &summary));
    r.summary = summary ? summary : "<null>";
    return r;
}

std::vector<char> Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Store(const std::string& path, const std::vector<char>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class ContainerInspectorTest : public host::HostTest {
protected:
    // Two entries a and b through one container, closed.
    void WriteTwo() {
        auto a = OpenEntry("a", ReadAccess | WriteAccess);
        auto b = OpenEntry("b", ReadAccess | WriteAccess);
        ASSERT_EQ(S_OK, a->Write("alpha"));
        ASSERT_EQ(S_OK, b->Write("beta"));
    }
};

TEST_F(ContainerInspectorTest, AHealthyContainerReportsNoDamageAndNoRecovery) {
    WriteTwo();
    auto file = NewFile(host::ContUrl(path, "a"));
    // Before Open there is no container to ask.
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, file->Object()->QueryInterface(IID_IQLXContainerInspector, &out));
    EXPECT_EQ(nullptr, out);
    ASSERT_EQ(S_OK, file->Open(ReadAccess));
    auto* inspector = file->As<IQLXContainerInspector>(IID_IQLXContainerInspector);
    ASSERT_NE(nullptr, inspector);
    const Damage damage = DamageOf(inspector);
    EXPECT_EQ(0, damage.found);
    EXPECT_EQ("", damage.reason);
    EXPECT_EQ(0, RecoveryOf(inspector).ran);
    const char* text = nullptr;
    int32_t flag = 0;
    uint64_t offset = 0;
    EXPECT_EQ(E_POINTER, inspector->GetFirstDamage(&flag, &offset, nullptr, &text));

    const Header header = HeaderOf(inspector);
    EXPECT_EQ(static_cast<uint32_t>(ContainerMagicW7K), header.magic);
    EXPECT_EQ(1u, header.version);
    EXPECT_EQ(1, header.clean);
    EXPECT_EQ("clips.cnt", header.title);
    EXPECT_EQ(5u, SizeOf(inspector, "a"));
    EXPECT_EQ(4u, SizeOf(inspector, "b"));
    // Names as stored: neither a URL nor a name the container lacks.
    uint64_t size = 1;
    EXPECT_EQ(E_FAIL, inspector->GetEntrySize("?file=a", &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(E_FAIL, inspector->GetEntrySize("", &size));
    EXPECT_EQ(E_POINTER, inspector->GetEntrySize(nullptr, &size));
    inspector->Release();
}

TEST_F(ContainerInspectorTest, AContainerBeingWrittenGivesTheHeaderItWritesAndTheSizesSoFar) {
    auto a = OpenEntry("a", WriteAccess);
    auto* inspector = a->As<IQLXContainerInspector>(IID_IQLXContainerInspector);
    ASSERT_NE(nullptr, inspector);
    EXPECT_EQ(0u, SizeOf(inspector, "a"));
    ASSERT_EQ(S_OK, a->Write("alpha"));
    EXPECT_EQ(5u, SizeOf(inspector, "a"));
    const Header header = HeaderOf(inspector);
    EXPECT_EQ(static_cast<uint32_t>(ContainerMagicW7K), header.magic);
    EXPECT_EQ(0, header.clean);  // until it is closed
    EXPECT_EQ("clips.cnt", header.title);
    inspector->Release();
}

// A write the system refuses: the result stays the module's code, and the
// inspector tells the cause (here the file size limit, EFBIG), until then
// nothing.
TEST_F(ContainerInspectorTest, TheCauseOfAFailedWriteIsTheSystemsOwn) {
    auto a = OpenEntry("a", WriteAccess);
    auto* inspector = a->As<IQLXContainerInspector>(IID_IQLXContainerInspector);
    ASSERT_NE(nullptr, inspector);
    int32_t error = -1;
    const char* reason = nullptr;
    ASSERT_EQ(S_OK, inspector->GetLastFailure(&error, &reason));
    EXPECT_EQ(0, error);
    EXPECT_STREQ("", reason);
    ASSERT_EQ(S_OK, a->Write("alpha"));

    struct rlimit before {};
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &before));
    void (*handler)(int) = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = before;
    small.rlim_cur = 64 << 10;
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
    const int32_t written = a->Write(std::string(256 << 10, 'x'));
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, handler);
    EXPECT_EQ(E_FAIL, written);
    ASSERT_EQ(S_OK, inspector->GetLastFailure(&error, &reason));
    EXPECT_EQ(EFBIG, error);
    EXPECT_NE(nullptr, std::strstr(reason, "the file size limit (ulimit -f) was reached (EFBIG), writing")) << reason;
    EXPECT_EQ(E_POINTER, inspector->GetLastFailure(nullptr, &reason));
    inspector->Release();
}

// An entry larger than 4 GiB in a sparse file: the size in all its bits,
// where Stat has only the low 32, and the bytes at its end within reach.
TEST_F(ContainerInspectorTest, AnEntryPastFourGiBHasItsWholeSize) {
    const uint64_t size = (5ull << 30) + 77;
    const std::string tail = "the last bytes of a long entry";
    ASSERT_TRUE(ctest::WriteSparseContainer(path, "long", size, tail));
    auto file = OpenEntry("long", ReadAccess);
    auto* inspector = file->As<IQLXContainerInspector>(IID_IQLXContainerInspector);
    ASSERT_NE(nullptr, inspector);
    EXPECT_EQ(size, SizeOf(inspector, "long"));
    inspector->Release();

    auto* stat = file->As<IQLXFileStat>(IID_IQLXFileStat);
    host::StatResponse stated;
    ASSERT_EQ(S_OK, stat->Stat(&stated));
    stat->Release();
    EXPECT_EQ(static_cast<uint32_t>(size), stated.size);

    const uint64_t at = size - tail.size();
    ASSERT_EQ(S_OK, file->file64->Seek64(static_cast<uint32_t>(at), static_cast<uint32_t>(at >> 32), 0));
    EXPECT_EQ(tail, file->ReadToEnd(4096));
}

TEST_F(ContainerInspectorTest, AnOpenThatFailsOnDamageStillSaysWhereAndWhy) {
    WriteTwo();
    // Title "clips.cnt": the index record is at 11 + 9 = 20; its slot 2
    // (after a and b) is made to lead back to it.
    std::vector<char> bytes = Bytes(path);
    const uint64_t index = 20, slot2 = index + 5 + 16;
    for (int i = 0; i < 8; ++i) bytes.at(slot2 + i) = static_cast<char>(i == 7 ? index : 0);
    Store(path, bytes);

    auto file = NewFile(host::ContUrl(path, "a"));
    EXPECT_EQ(E_FAIL, file->Open(ReadAccess));
    EXPECT_EQ(E_FAIL, file->file->Read(10));  // no container to read from
    auto* inspector = file->As<IQLXContainerInspector>(IID_IQLXContainerInspector);
    ASSERT_NE(nullptr, inspector);
    const Damage damage = DamageOf(inspector);
    EXPECT_EQ(1, damage.found);
    EXPECT_EQ(index, damage.offset);
    EXPECT_EQ(static_cast<uint32_t>(ContainerPartIndexRecord), damage.part);
    EXPECT_EQ("index slot 2 of the record at offset 20 leads back to itself", damage.reason);
    inspector->Release();

    // The failed container holds neither the path nor the file: a writer
    // may make the container anew meanwhile.
    auto writer = OpenEntry("new", WriteAccess);
    EXPECT_EQ(S_OK, writer->Write("fresh"));
}

TEST_F(ContainerInspectorTest, RecoveryIsReportedOnTheFileObjectAndTheEnumerator) {
    const std::string crashed = dir + "/crashed.cnt";
    {
        auto a = OpenEntry("a", ReadAccess | WriteAccess);
        auto b = OpenEntry("b", ReadAccess | WriteAccess);
        ASSERT_EQ(S_OK, a->Write("alpha"));
        ASSERT_EQ(S_OK, b->Write("beta"));
        ASSERT_EQ(S_OK, a->Write("!"));
        Store(crashed, Bytes(path));  // what a crash now would leave
    }
    auto file = OpenEntry("a", ReadAccess, crashed);
    EXPECT_EQ("alpha!", file->ReadToEnd(100));
    auto* list = file->As<IQLXEnumeratorIUnknown>(IID_IQLXEnumeratorIUnknown);
    ASSERT_NE(nullptr, list);
    auto* inspector = host::Query<IQLXContainerInspector>(list, IID_IQLXContainerInspector);
    ASSERT_NE(nullptr, inspector);
    const Recovery recovery = RecoveryOf(inspector);
    EXPECT_EQ(1, recovery.ran);
    EXPECT_EQ(3u, recovery.dataRecords);
    EXPECT_EQ(2u, recovery.entries);
    EXPECT_EQ(1, recovery.writtenBack);
    EXPECT_EQ("rebuilt the sizes and seek tables of 2 entries from 3 data records; the records end at offset " +
                  std::to_string(std::filesystem::file_size(crashed)) + "; written back and marked clean",
              recovery.summary);
    EXPECT_EQ(0, DamageOf(inspector).found);
    // The header as it was found: unclean, though the repair marked the
    // file clean since.
    EXPECT_EQ(0, HeaderOf(inspector).clean);
    EXPECT_EQ(1, Bytes(crashed).at(6));
    inspector->Release();
    list->Release();
}

}  // namespace
