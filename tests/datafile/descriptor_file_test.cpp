// The plain data file against real files in a scratch directory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "buffer/byte_buffer.h"
#include "datafile/descriptor_file.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kReadOnly = kOpenBinary;                                                       // 0x8000
constexpr uint32_t kWriteOnly = kOpenBinary | kOpenWriteOnly;                                     // 0x8001
constexpr uint32_t kCreateTruncate = kOpenBinary | kOpenTruncate | kOpenCreate | kOpenReadWrite;  // 0x8302
constexpr uint32_t kReadWriteCreate = kOpenBinary | kOpenCreate | kOpenReadWrite;
constexpr uint64_t kFourGiB = uint64_t{1} << 32;

class DescriptorFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(CONTFS_TEST_TMPDIR);
        std::string pattern = std::string(CONTFS_TEST_TMPDIR) + "/winfile-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern.data()));
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string PathOf(const char* name) const { return dir + "/" + name; }

    std::string MakeFile(const char* name, const std::string& bytes) const {
        std::string path = PathOf(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    static std::string Contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static std::string Digits(size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('0' + i % 10));
        return s;
    }

    static std::string BufferText(IQLXBuffer* buffer) {
        return std::string(reinterpret_cast<const char*>(buffer->GetBuffer()), buffer->GetSize());
    }

    std::string dir;
    DescriptorFile file;
};

// --- a file that is not open ---------------------------------------------

TEST_F(DescriptorFileTest, ClosedFileRefusesEveryOperationWithoutTouchingLastError) {
    char byte = 0;
    char sentinel = 0;
    IQLXBuffer* out = reinterpret_cast<IQLXBuffer*>(&sentinel);
    EXPECT_LT(file.GetDescriptor(), 0);
    EXPECT_EQ(0, file.GetFileLength());
    EXPECT_EQ(-1, file.GetFileLength64());
    EXPECT_EQ(-1, file.Read(&byte, 1));
    EXPECT_EQ(-1, file.Write(&byte, 1));
    EXPECT_EQ(-1, file.Tell());
    EXPECT_EQ(UINT64_MAX, file.Tell64());
    EXPECT_EQ(RES_IO_ERROR, file.Close());
    EXPECT_EQ(RES_IO_ERROR, file.Seek(0, kSeekSet));
    EXPECT_EQ(RES_IO_ERROR, file.Seek64(0, 1, kSeekSet));
    EXPECT_EQ(RES_IO_ERROR, file.Rewind());
    EXPECT_EQ(E_FAIL, file.SetFileLength(0));
    EXPECT_EQ(E_FAIL, file.ReadBuffer(10, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(0, file.GetLastErrorCode());
}

TEST_F(DescriptorFileTest, RefusalsOfAClosedFileLeaveAnEarlierFailureInPlace) {
    EXPECT_EQ(RES_OPEN_FAILED, file.Open(PathOf("missing").c_str(), kReadOnly, 0));
    ASSERT_EQ(RES_OPEN_FAILED, file.GetLastErrorCode());
    char byte = 0;
    EXPECT_EQ(-1, file.Read(&byte, 1));
    EXPECT_EQ(RES_IO_ERROR, file.Seek(0, kSeekSet));
    EXPECT_EQ(-1, file.Tell());
    EXPECT_EQ(0, file.GetFileLength());
    EXPECT_EQ(RES_OPEN_FAILED, file.GetLastErrorCode());
}

TEST_F(DescriptorFileTest, CloseTwiceReportsTheSecondAsAnError) {
    ASSERT_EQ(S_OK, file.Create(PathOf("a").c_str(), kPermissionRead | kPermissionWrite, 0));
    EXPECT_EQ(S_OK, file.Close());
    EXPECT_LT(file.GetDescriptor(), 0);
    EXPECT_EQ(RES_IO_ERROR, file.Close());
    EXPECT_EQ(0, file.GetLastErrorCode());
}

// --- opening ---------------------------------------------------------------

TEST_F(DescriptorFileTest, CreateEmptiesAnExistingFileAndWritesReadBack) {
    std::string path = MakeFile("a", "old contents");
    ASSERT_EQ(S_OK, file.Create(path.c_str(), kPermissionRead | kPermissionWrite, 0));
    EXPECT_EQ(0, file.GetFileLength());
    EXPECT_EQ(5, file.Write("hello", 5));
    EXPECT_EQ(S_OK, file.Rewind());
    char got[8] = {};
    EXPECT_EQ(5, file.Read(got, sizeof got));
    EXPECT_STREQ("hello", got);
    EXPECT_EQ(0, file.Read(got, sizeof got));
    EXPECT_EQ(0, file.GetLastErrorCode());
}

// A new or already empty file is not truncated again, but a truncating open
// that could not truncate is refused whatever the file's length.
TEST_F(DescriptorFileTest, TruncatingOpenOfAnEmptyFileIsStillRefusedWithoutWriteAccess) {
    std::string path = MakeFile("a", "");
    EXPECT_EQ(RES_OPEN_FAILED, file.Open(path.c_str(), kReadOnly | kOpenTruncate, 0));
    EXPECT_EQ(RES_OPEN_FAILED, file.Open(PathOf("new").c_str(), kReadOnly | kOpenTruncate | kOpenCreate, 0));
    EXPECT_LT(file.GetDescriptor(), 0);
    EXPECT_EQ(S_OK, file.Open(path.c_str(), kWriteOnly | kOpenTruncate, 0));
    EXPECT_EQ(3, file.Write("new", 3));
    EXPECT_EQ(S_OK, file.Open(PathOf("new").c_str(), kCreateTruncate, 0));
    EXPECT_EQ(0, file.GetFileLength());
    EXPECT_EQ("new", Contents(path));
}

TEST_F(DescriptorFileTest, FailedOpenReportsAndLaterSuccessClearsLastError) {
    EXPECT_EQ(RES_OPEN_FAILED, file.Open(PathOf("missing").c_str(), kReadOnly, 0));
    EXPECT_LT(file.GetDescriptor(), 0);
    EXPECT_EQ(RES_OPEN_FAILED, file.GetLastErrorCode());
    EXPECT_EQ(RES_OPEN_FAILED, file.Open(nullptr, kReadOnly, 0));
    std::string path = MakeFile("a", "x");
    EXPECT_EQ(S_OK, file.Open(path.c_str(), kReadOnly, 0));
    EXPECT_EQ(0, file.GetLastErrorCode());
}

TEST_F(DescriptorFileTest, OpenClosesTheFirstFileEvenWhenTheSecondOpenFails) {
    std::string path = MakeFile("a", "keep me");
    ASSERT_EQ(S_OK, file.Open(path.c_str(), kReadOnly, 0));
    EXPECT_EQ(RES_OPEN_FAILED, file.Open(PathOf("missing").c_str(), kReadOnly, 0));
    EXPECT_LT(file.GetDescriptor(), 0);
    // Nothing holds the first file any more, so it can be emptied.
    DescriptorFile other;
    EXPECT_EQ(S_OK, other.Open(path.c_str(), kCreateTruncate, 0));
    EXPECT_EQ(0, other.GetFileLength());
}

TEST_F(DescriptorFileTest, DirectoriesAndBadFlagsDoNotOpen) {
    EXPECT_EQ(RES_OPEN_FAILED, file.Open(dir.c_str(), kReadOnly, 0));
    EXPECT_EQ(E_ACCESSDENIED, file.OpenShared(dir.c_str(), kReadOnly, kShareDenyNone, 0));
    std::string path = MakeFile("a", "x");
    // Access value 3 is neither read, write nor both.
    EXPECT_EQ(RES_OPEN_FAILED, file.Open(path.c_str(), kOpenBinary | 3, 0));
    EXPECT_EQ(RES_OPEN_FAILED, file.OpenShared(path.c_str(), kReadOnly, 0x50, 0));
    EXPECT_LT(file.GetDescriptor(), 0);
}

TEST_F(DescriptorFileTest, OpenSharedReportsPermissionDenied) {
    std::string path = MakeFile("locked", "secret");
    ::chmod(path.c_str(), 0);
    if (::access(path.c_str(), R_OK) == 0) GTEST_SKIP() << "running with permission to read everything";
    EXPECT_EQ(E_ACCESSDENIED, file.OpenShared(path.c_str(), kReadOnly, kShareDenyNone, 0));
    EXPECT_EQ(E_ACCESSDENIED, file.GetLastErrorCode());
    EXPECT_EQ(RES_OPEN_FAILED, file.Open(path.c_str(), kReadOnly, 0));
}

TEST_F(DescriptorFileTest, APipeIsRefusedInsteadOfWaitedOn) {
    std::string path = PathOf("pipe");
    ASSERT_EQ(0, ::mkfifo(path.c_str(), 0600));
    EXPECT_EQ(RES_OPEN_FAILED, file.Open(path.c_str(), kReadOnly, 0));
    EXPECT_EQ(RES_OPEN_FAILED, file.Open(path.c_str(), kWriteOnly, 0));
    EXPECT_LT(file.GetDescriptor(), 0);
}

TEST_F(DescriptorFileTest, AppendWritesAtTheEnd) {
    std::string path = MakeFile("a", "abc");
    ASSERT_EQ(S_OK, file.Open(path.c_str(), kOpenBinary | kOpenWriteOnly | kOpenAppend, 0));
    EXPECT_EQ(S_OK, file.Rewind());
    EXPECT_EQ(2, file.Write("de", 2));
    file.Close();
    EXPECT_EQ("abcde", Contents(path));
}

// --- sharing ----------------------------------------------------------------

TEST_F(DescriptorFileTest, TruncatingOpenIsRefusedWhileAnotherPartyHoldsTheFile) {
    std::string path = MakeFile("a", "precious");
    DescriptorFile holder;
    ASSERT_EQ(S_OK, holder.Open(path.c_str(), kReadOnly, 0));

    EXPECT_EQ(RES_OPEN_FAILED, file.Open(path.c_str(), kCreateTruncate, 0));
    EXPECT_EQ(RES_OPEN_FAILED, file.GetLastErrorCode());
    EXPECT_LT(file.GetDescriptor(), 0);
    EXPECT_EQ(RES_OPEN_FAILED, file.OpenShared(path.c_str(), kCreateTruncate, kShareDenyNone, 0));
    EXPECT_EQ("precious", Contents(path));
    // A plain open beside the holder is fine.
    EXPECT_EQ(S_OK, file.Open(path.c_str(), kWriteOnly, 0));

    file.Close();
    holder.Close();
    EXPECT_EQ(S_OK, file.Open(path.c_str(), kCreateTruncate, 0));
    EXPECT_EQ(0, file.GetFileLength());
}

TEST_F(DescriptorFileTest, DenyReadWriteKeepsEveryOtherOpenOut) {
    std::string path = MakeFile("a", "mine");
    DescriptorFile owner;
    ASSERT_EQ(S_OK, owner.OpenShared(path.c_str(), kReadOnly, kShareDenyReadWrite, 0));
    EXPECT_EQ(RES_OPEN_FAILED, file.Open(path.c_str(), kReadOnly, 0));
    EXPECT_EQ(E_ACCESSDENIED, file.OpenShared(path.c_str(), kReadOnly, kShareDenyNone, 0));
    EXPECT_EQ(E_ACCESSDENIED, file.GetLastErrorCode());
    EXPECT_EQ(RES_OPEN_FAILED, file.Create(path.c_str(), kPermissionRead | kPermissionWrite, 0));
    EXPECT_EQ("mine", Contents(path));
    // The owner's own shared readers are kept out too, and come in once it closes.
    owner.Close();
    EXPECT_EQ(S_OK, file.OpenShared(path.c_str(), kReadOnly, kShareDenyWrite, 0));
    EXPECT_EQ(E_ACCESSDENIED, owner.OpenShared(path.c_str(), kReadOnly, kShareDenyReadWrite, 0));
}

// An owner that took the file alone lets readers in on the same descriptor,
// and from then on still keeps out anyone who wants it alone.
TEST_F(DescriptorFileTest, SetShareLetsReadersInButNoOneElseAlone) {
    std::string path = MakeFile("a", "mine");
    DescriptorFile owner;
    ASSERT_EQ(S_OK, owner.OpenShared(path.c_str(), kReadOnly, kShareDenyReadWrite, 0));
    ASSERT_EQ(S_OK, owner.SetShare(kShareDenyWrite));
    EXPECT_EQ(S_OK, file.Open(path.c_str(), kReadOnly, 0));
    DescriptorFile other;
    EXPECT_EQ(E_ACCESSDENIED, other.OpenShared(path.c_str(), kReadOnly, kShareDenyReadWrite, 0));
    EXPECT_EQ(RES_OPEN_FAILED, other.Open(path.c_str(), kCreateTruncate, 0));
    EXPECT_EQ("mine", Contents(path));
    // Alone again only once the reader has gone.
    EXPECT_EQ(E_ACCESSDENIED, owner.SetShare(kShareDenyReadWrite));
    file.Close();
    EXPECT_EQ(S_OK, owner.SetShare(kShareDenyReadWrite));
    EXPECT_EQ(RES_OPEN_FAILED, file.Open(path.c_str(), kReadOnly, 0));
    EXPECT_EQ(E_INVALIDARG, owner.SetShare(0x77));
    owner.Close();
    EXPECT_EQ(RES_IO_ERROR, owner.SetShare(kShareDenyWrite));
}

// --- positions --------------------------------------------------------------

TEST_F(DescriptorFileTest, Seek64ReachesPositionsPastFourGiB) {
    std::string path = PathOf("sparse");
    ASSERT_EQ(S_OK, file.Open(path.c_str(), kReadWriteCreate, 0));
    const uint64_t at = kFourGiB + 100;
    ASSERT_EQ(S_OK, file.Seek64(static_cast<uint32_t>(at), static_cast<uint32_t>(at >> 32), kSeekSet));
    EXPECT_EQ(at, file.Tell64());
    ASSERT_EQ(5, file.Write("tail!", 5));
    EXPECT_EQ(static_cast<int64_t>(at + 5), file.GetFileLength64());
    // The 32-bit answers cannot say these values and do not wrap them.
    EXPECT_EQ(INT32_MAX, file.GetFileLength());
    EXPECT_EQ(-1, file.Tell());
    EXPECT_EQ(RES_IO_ERROR, file.GetLastErrorCode());

    // Relative: back 5 bytes as a two's-complement 64-bit distance.
    const uint64_t back = static_cast<uint64_t>(-5);
    ASSERT_EQ(S_OK, file.Seek64(static_cast<uint32_t>(back), static_cast<uint32_t>(back >> 32), kSeekCurrent));
    EXPECT_EQ(0, file.GetLastErrorCode());
    char got[6] = {};
    EXPECT_EQ(5, file.Read(got, 5));
    EXPECT_STREQ("tail!", got);
    // The low half alone lands 4 GiB earlier, in the hole.
    ASSERT_EQ(S_OK, file.Seek64(100, 0, kSeekSet));
    EXPECT_EQ(100u, file.Tell64());
    EXPECT_EQ(1, file.Read(got, 1));
    EXPECT_EQ('\0', got[0]);
}

TEST_F(DescriptorFileTest, FailedSeekSetsLastError) {
    std::string path = MakeFile("a", "abc");
    ASSERT_EQ(S_OK, file.Open(path.c_str(), kReadOnly, 0));
    EXPECT_EQ(RES_IO_ERROR, file.Seek(-10, kSeekSet));
    EXPECT_EQ(RES_IO_ERROR, file.GetLastErrorCode());
    EXPECT_EQ(RES_IO_ERROR, file.Seek(0, 7));
    EXPECT_EQ(S_OK, file.Seek(-1, kSeekEnd));
    EXPECT_EQ(0, file.GetLastErrorCode());
    EXPECT_EQ(2, file.Tell());
    // Only the low 16 bits of the origin count.
    EXPECT_EQ(S_OK, file.Seek(0, 0x10000 | kSeekSet));
    EXPECT_EQ(0, file.Tell());
}

// --- transfers --------------------------------------------------------------

TEST_F(DescriptorFileTest, FailedTransfersReturnMinusOneAndSetLastError) {
    std::string path = MakeFile("a", "abc");
    ASSERT_EQ(S_OK, file.Open(path.c_str(), kReadOnly, 0));
    EXPECT_EQ(-1, file.Write("x", 1));
    EXPECT_EQ(RES_IO_ERROR, file.GetLastErrorCode());
    char got[4] = {};
    EXPECT_EQ(3, file.Read(got, 4));
    EXPECT_EQ(0, file.GetLastErrorCode());
    EXPECT_EQ(-1, file.Read(nullptr, 4));
    EXPECT_EQ(RES_IO_ERROR, file.GetLastErrorCode());

    ASSERT_EQ(S_OK, file.Open(path.c_str(), kWriteOnly, 0));
    EXPECT_EQ(-1, file.Read(got, 1));
    EXPECT_EQ(RES_IO_ERROR, file.GetLastErrorCode());
    IQLXBuffer* out = nullptr;
    EXPECT_EQ(RES_IO_ERROR, file.ReadBuffer(1, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ("abc", Contents(path));
}

TEST_F(DescriptorFileTest, ReadAtLeavesThePositionAndStopsAtTheEnd) {
    std::string path = MakeFile("a", Digits(30));
    char got[16] = {};
    EXPECT_EQ(-1, file.ReadAt(0, got, 1));  // not open
    ASSERT_EQ(S_OK, file.Open(path.c_str(), kReadOnly, 0));
    ASSERT_EQ(S_OK, file.Seek(7, kSeekSet));
    EXPECT_EQ(5, file.ReadAt(12, got, 5));
    EXPECT_EQ(Digits(30).substr(12, 5), std::string(got, 5));
    EXPECT_EQ(7, file.Tell());
    EXPECT_EQ(4, file.ReadAt(26, got, 10));  // short at the end of the file
    EXPECT_EQ(0, file.ReadAt(40, got, 10));
    EXPECT_EQ(-1, file.ReadAt(uint64_t{1} << 63, got, 1));
    EXPECT_EQ(RES_IO_ERROR, file.GetLastErrorCode());
    EXPECT_EQ(7, file.Tell());
}

TEST_F(DescriptorFileTest, WriteAtLeavesThePositionAndWritesInPlace) {
    std::string path = MakeFile("a", Digits(30));
    EXPECT_EQ(-1, file.WriteAt(0, "x", 1));  // not open
    ASSERT_EQ(S_OK, file.Open(path.c_str(), kOpenReadWrite, 0));
    ASSERT_EQ(S_OK, file.Seek(7, kSeekSet));
    EXPECT_EQ(3, file.WriteAt(12, "abc", 3));
    EXPECT_EQ(7, file.Tell());
    EXPECT_EQ(2, file.WriteAt(29, "yz", 2));  // one byte past the old end
    EXPECT_EQ(-1, file.WriteAt(uint64_t{1} << 63, "x", 1));
    EXPECT_EQ(RES_IO_ERROR, file.GetLastErrorCode());
    EXPECT_EQ(7, file.Tell());
    ASSERT_EQ(S_OK, file.Close());
    EXPECT_EQ(Digits(30).substr(0, 12) + "abc" + Digits(30).substr(15, 14) + "yz", Contents(path));
}

TEST_F(DescriptorFileTest, ReadBufferTakesWhatIsLeftUpToTheWholeLength) {
    std::string path = MakeFile("a", Digits(60));
    ASSERT_EQ(S_OK, file.Open(path.c_str(), kReadOnly, 0));
    ASSERT_EQ(S_OK, file.Seek(50, kSeekSet));
    IQLXBuffer* out = nullptr;
    ASSERT_EQ(S_OK, file.ReadBuffer(100, &out));
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(Digits(60).substr(50), BufferText(out));
    EXPECT_EQ(0u, out->Release());
    EXPECT_EQ(60, file.Tell());

    ASSERT_EQ(S_OK, file.ReadBuffer(100, &out));
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(0u, out->GetSize());
    out->Release();

    ASSERT_EQ(S_OK, file.Rewind());
    ASSERT_EQ(S_OK, file.ReadBuffer(0x90000000u, &out));  // above 2 GiB: not a negative count
    EXPECT_EQ(Digits(60), BufferText(out));
    out->Release();
}

// --- size -------------------------------------------------------------------

TEST_F(DescriptorFileTest, SetFileLengthShrinksAndExtends) {
    std::string path = MakeFile("a", Digits(30));
    ASSERT_EQ(S_OK, file.Open(path.c_str(), kOpenBinary | kOpenReadWrite, 0));
    ASSERT_EQ(S_OK, file.Seek(20, kSeekSet));
    EXPECT_EQ(S_OK, file.SetFileLength(10));
    EXPECT_EQ(10, file.Tell());
    EXPECT_EQ(10, file.GetFileLength());

    ASSERT_EQ(S_OK, file.Seek(4, kSeekSet));
    EXPECT_EQ(S_OK, file.SetFileLength(16));
    EXPECT_EQ(4, file.Tell());
    file.Close();
    EXPECT_EQ(Digits(10) + std::string(6, '\0'), Contents(path));
}

TEST_F(DescriptorFileTest, SetFileLength64CutsBackPastFourGiB) {
    std::string path = PathOf("sparse");
    ASSERT_EQ(S_OK, file.Open(path.c_str(), kReadWriteCreate, 0));
    const uint64_t end = kFourGiB + 100;
    ASSERT_EQ(S_OK, file.SetFileLength64(end));
    EXPECT_EQ(static_cast<int64_t>(end), file.GetFileLength64());
    ASSERT_EQ(S_OK, file.Seek64(static_cast<uint32_t>(end), static_cast<uint32_t>(end >> 32), kSeekSet));
    EXPECT_EQ(S_OK, file.SetFileLength64(end - 60));
    EXPECT_EQ(static_cast<int64_t>(end - 60), file.GetFileLength64());
    EXPECT_EQ(end - 60, file.Tell64());
}

TEST_F(DescriptorFileTest, SetFileLengthRestoresThePositionWhenTheSizeCannotChange) {
    std::string path = MakeFile("a", Digits(30));
    // A descriptor open for reading only cannot change the size.
    ASSERT_EQ(S_OK, file.Open(path.c_str(), kReadOnly, 0));
    ASSERT_EQ(S_OK, file.Seek(20, kSeekSet));
    EXPECT_EQ(E_FAIL, file.SetFileLength(10));
    EXPECT_EQ(20, file.Tell());
    EXPECT_EQ(30, file.GetFileLength());
    // Only the restoring seek wrote the field, and it succeeded.
    EXPECT_EQ(0, file.GetLastErrorCode());
}

// --- removal ----------------------------------------------------------------

TEST_F(DescriptorFileTest, DeleteClosesAnOpenFileFirst) {
    std::string path = MakeFile("a", "abc");
    ASSERT_EQ(S_OK, file.Open(path.c_str(), kReadOnly, 0));
    EXPECT_EQ(S_OK, file.Delete(path.c_str()));
    EXPECT_LT(file.GetDescriptor(), 0);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(RES_IO_ERROR, file.Close());
}

TEST_F(DescriptorFileTest, DeleteIsRefusedWhileAnotherPartyHoldsTheFile) {
    std::string path = MakeFile("a", "in use");
    DescriptorFile holder;
    ASSERT_EQ(S_OK, holder.Open(path.c_str(), kReadOnly, 0));
    EXPECT_EQ(E_ACCESSDENIED, file.Delete(path.c_str()));
    EXPECT_EQ(E_ACCESSDENIED, file.GetLastErrorCode());
    EXPECT_TRUE(fs::exists(path));
    holder.Close();
    EXPECT_EQ(S_OK, file.Delete(path.c_str()));
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(DescriptorFileTest, FailedDeleteStillClosesAndSaysWhy) {
    std::string path = MakeFile("a", "abc");
    ASSERT_EQ(S_OK, file.Open(path.c_str(), kReadOnly, 0));
    EXPECT_EQ(RES_OPEN_FAILED, file.Delete(PathOf("missing").c_str()));
    EXPECT_LT(file.GetDescriptor(), 0);
    EXPECT_EQ(RES_OPEN_FAILED, file.GetLastErrorCode());
    EXPECT_EQ(E_ACCESSDENIED, file.Delete(dir.c_str()));
    EXPECT_EQ(E_ACCESSDENIED, file.GetLastErrorCode());
    EXPECT_TRUE(fs::exists(path));
}

// --- temporary names and the factory ----------------------------------------

TEST_F(DescriptorFileTest, MakeTempFileNameCreatesAUniqueFileInTmpdir) {
    const char* saved = std::getenv("TMPDIR");
    std::string previous = saved ? saved : "";
    ::setenv("TMPDIR", dir.c_str(), 1);
    char first[260] = {};
    char second[260] = {};
    EXPECT_EQ(1, file.MakeTempFileName("contfs", first));
    EXPECT_EQ(1, file.MakeTempFileName("contfs", second));
    if (saved)
        ::setenv("TMPDIR", previous.c_str(), 1);
    else
        ::unsetenv("TMPDIR");

    EXPECT_NE(std::string(first), std::string(second));
    EXPECT_EQ(0u, std::string(first).rfind(dir + "/con", 0)) << first;
    EXPECT_TRUE(fs::exists(first));
    EXPECT_EQ(0u, fs::file_size(first));
    EXPECT_EQ(0, file.GetLastErrorCode());
    EXPECT_LT(file.GetDescriptor(), 0);
}

TEST(CreateDataFileTest, KindZeroIsAClosedPlainFileAndUnknownKindsAreNull) {
    std::unique_ptr<DataFile> plain(CreateDataFile(0));
    ASSERT_NE(nullptr, plain);
    EXPECT_NE(nullptr, dynamic_cast<DescriptorFile*>(plain.get()));
    EXPECT_LT(plain->GetDescriptor(), 0);
    EXPECT_EQ(0, plain->GetLastErrorCode());
    EXPECT_EQ(nullptr, CreateDataFile(2));
    EXPECT_EQ(nullptr, CreateDataFile(-1));
}

}  // namespace
