// How `cont pack` fails: never at the cost of a file it did not make in
// this run, nor of entries it had already written whole. Failures are
// brought about for cont alone: a file size limit, a small file system, a
// lock held by a reader, a limit on open files.
#include <sys/file.h>

#include <map>
#include <sstream>

#include "cont_fixture.h"
#include "support/host_doubles.h"
#include "support/module_loader.h"

namespace {

using namespace conttest;

class ContPackFailureTest : public ContFixture {
protected:
    // Name and size of every entry, as `cont ls` lists them.
    std::map<std::string, uint64_t> Listing(const fs::path& container) {
        std::map<std::string, uint64_t> entries;
        std::istringstream lines(ContOk({"ls", container.string()}));
        uint64_t size = 0;
        std::string name;
        while (lines >> size && lines.ignore(2) && std::getline(lines, name)) entries[name] = size;
        return entries;
    }

    // Writes `count` files of `size` bytes named f0, f1, ...; their paths.
    std::vector<std::string> MakeFiles(size_t count, size_t size) {
        std::vector<std::string> paths;
        for (size_t i = 0; i < count; ++i) {
            const fs::path path = At("f" + std::to_string(i));
            WriteAll(path, Pattern(size, static_cast<uint32_t>(i) + 100));
            paths.push_back(path.string());
        }
        return paths;
    }

    static std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    static bool IsPrefix(const std::string& part, const std::string& whole) {
        return part.size() <= whole.size() && whole.compare(0, part.size(), part) == 0;
    }

    // The names in the scratch directory, but for cont's own output files.
    std::vector<std::string> DirectoryNames() {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) {
            const std::string name = e.path().filename().string();
            if (name != ".out" && name != ".err") names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    static constexpr rlim_t kMiB = 1u << 20;
};

// ---- replacing with --force ------------------------------------------------------

// A player reading the old container holds a lock on it; the new one is
// renamed over it, and the reader keeps reading the old bytes.
TEST_F(ContPackFailureTest, ForceReplacesAContainerThatAReaderHoldsOpen) {
    WriteAll(At("a"), "alpha");
    WriteAll(At("b"), "bravo");
    const fs::path c = At("x.cnt");
    ContOk({"pack", c.string(), At("a").string()});
    const std::string old = ReadAll(c);
    const int reader = open(c.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(0, flock(reader, LOCK_SH));

    ContOk({"pack", "--force", c.string(), At("b").string()});
    EXPECT_EQ((std::map<std::string, uint64_t>{{"b", 5}}), Listing(c));
    EXPECT_EQ("bravo", ContOk({"cat", c.string(), "b"}));
    std::string seen(old.size() + 1, '\0');
    EXPECT_EQ(static_cast<ssize_t>(old.size()), pread(reader, seen.data(), seen.size(), 0));
    seen.resize(old.size());
    EXPECT_TRUE(seen == old);
    close(reader);
    EXPECT_EQ((std::vector<std::string>{"a", "b", "x.cnt"}), DirectoryNames());
}

// A player still recording into the container: replacing it would send the
// rest of the recording into a file no name reaches any more.
TEST_F(ContPackFailureTest, ForceLeavesAContainerAnotherProgramIsWriting) {
    WriteAll(At("a"), "alpha");
    const fs::path c = At("live.cnt");
    const std::string first = Pattern(70000, 1), second = Pattern(50000, 2);
    host::LoadedModule module;
    IUnknown* object = module.NewFileObject();
    ASSERT_NE(nullptr, object);
    host::Request request("cont:///" + c.string() + "?file=live");
    host::FileResponse response;
    auto* handler = host::Query<IQLXRequestHandler>(object, IID_IQLXRequestHandler);
    auto* file = host::Query<IQLXFileObject>(object, IID_IQLXFileObject);
    ASSERT_EQ(S_OK, handler->AssignRequest(&request));
    ASSERT_EQ(S_OK, file->Open(WriteAccess, &response));
    host::HostBuffer piece1(first);
    ASSERT_EQ(S_OK, file->Write(&piece1));

    ExpectError(Cont({"pack", "--force", c.string(), At("a").string()}), "may still be being written",
                "E_ACCESSDENIED");
    host::HostBuffer piece2(second);
    ASSERT_EQ(S_OK, file->Write(&piece2));
    handler->Release();
    file->Release();
    object->Release();
    EXPECT_TRUE(first + second == ContOk({"cat", c.string(), "live"}));
    EXPECT_EQ((std::vector<std::string>{"a", "live.cnt"}), DirectoryNames());
}

TEST_F(ContPackFailureTest, OverlappingForcedPacksLeaveOneWholeContainer) {
    const std::vector<std::string> one = MakeFiles(3, 1500000);
    WriteAll(At("g0"), Pattern(2500000, 7));
    const fs::path c = At("x.cnt");
    const std::vector<std::string> first = Concat({"pack", "--force", c.string()}, one);
    const std::vector<std::string> second = {"pack", "--force", c.string(), At("g0").string()};
    ContOk(first);
    for (int round = 0; round < 4; ++round) {
        const pid_t a = Start(first), b = Start(second);
        const Outcome oa = Finish(a), ob = Finish(b);
        EXPECT_EQ(0, oa.status) << oa.err;
        EXPECT_EQ(0, ob.status) << ob.err;
        const std::map<std::string, uint64_t> entries = Listing(c);
        const bool isFirst = entries == std::map<std::string, uint64_t>{{"f0", 1500000}, {"f1", 1500000}, {"f2", 1500000}};
        const bool isSecond = entries == std::map<std::string, uint64_t>{{"g0", 2500000}};
        EXPECT_TRUE(isFirst || isSecond) << "round " << round << ": " << entries.size() << " entries";
    }
    EXPECT_EQ((std::vector<std::string>{"f0", "f1", "f2", "g0", "x.cnt"}), DirectoryNames());
}

TEST_F(ContPackFailureTest, AForcedPackThatFailsLeavesTheOldContainerAsItWas) {
    WriteAll(At("a"), "alpha");
    WriteAll(At("big"), Pattern(3 * kMiB, 5));
    const fs::path c = At("x.cnt");
    ContOk({"pack", c.string(), At("a").string()});
    const std::string old = ReadAll(c);
    limits = {{RLIMIT_FSIZE, 2 * kMiB}};

    Outcome o = Cont({"pack", "--force", c.string(), At("big").string()});
    EXPECT_EQ(1, o.status);
    EXPECT_NE(std::string::npos, o.err.find("it is left as it was\n")) << o.err;
    EXPECT_TRUE(old == ReadAll(c));
    EXPECT_EQ((std::vector<std::string>{"a", "big", "x.cnt"}), DirectoryNames());

    // Bytes from a pipe cannot be read again: the new container stays
    // beside the old one, and cont says where.
    const std::string stream = Pattern(3 * kMiB, 6);
    PipeFeed feed(stream, 64 << 10, std::chrono::microseconds(0));
    inputFd = feed.readEnd();
    o = Cont({"pack", "--force", "--name", "live", c.string(), "-"});
    limits.clear();
    EXPECT_EQ(1, o.status);
    EXPECT_TRUE(old == ReadAll(c));
    const size_t at = o.err.find("the new container is kept at ");
    ASSERT_NE(std::string::npos, at) << o.err;
    const std::string keptAt = o.err.substr(at + 29, o.err.find(' ', at + 29) - at - 29);
    EXPECT_EQ("x.cnt", fs::path(keptAt).filename());
    const std::string kept = ContOk({"cat", keptAt, "live"});
    // Gathered, the bytes reach the file a record of 1 MiB at a time.
    EXPECT_GE(kept.size(), kMiB);
    EXPECT_TRUE(IsPrefix(kept, stream));
}

// ---- a new container that cannot be finished -------------------------------------

TEST_F(ContPackFailureTest, AFailedPackKeepsTheEntriesThatWereComplete) {
    WriteAll(At("a"), Pattern(kMiB, 1));
    WriteAll(At("b"), Pattern(kMiB / 2, 2));
    WriteAll(At("c"), Pattern(2 * kMiB, 3));
    const fs::path x = At("x.cnt");
    limits = {{RLIMIT_FSIZE, 3 * kMiB}};
    const Outcome o = Cont({"pack", x.string(), At("a").string(), At("b").string(), At("c").string()});
    limits.clear();
    EXPECT_EQ(1, o.status);
    EXPECT_NE(std::string::npos, o.err.find("entry 'c': write failed at byte")) << o.err;
    EXPECT_NE(std::string::npos, o.err.find("the file size limit (ulimit -f) was reached")) << o.err;
    EXPECT_NE(std::string::npos, o.err.find("complete: 'a', 'b'; cut short: 'c' at byte")) << o.err;

    EXPECT_TRUE(Pattern(kMiB, 1) == ContOk({"cat", x.string(), "a"}));
    EXPECT_TRUE(Pattern(kMiB / 2, 2) == ContOk({"cat", x.string(), "b"}));
    const std::string c = ContOk({"cat", x.string(), "c"});
    EXPECT_LT(c.size(), 2 * kMiB);
    EXPECT_TRUE(IsPrefix(c, Pattern(2 * kMiB, 3)));
}

TEST_F(ContPackFailureTest, AStreamThatOverrunsTheLimitKeepsWhatWasWritten) {
    const std::string stream = Pattern(6 * kMiB, 4);
    PipeFeed feed(stream, 64 << 10, std::chrono::microseconds(0));
    inputFd = feed.readEnd();
    limits = {{RLIMIT_FSIZE, 4 * kMiB}};
    const Outcome o = Cont({"pack", "--name", "live", At("live.cnt").string(), "-"});
    limits.clear();
    EXPECT_EQ(1, o.status);
    EXPECT_NE(std::string::npos, o.err.find("cut short: 'live' at byte")) << o.err;
    const std::string kept = ContOk({"cat", At("live.cnt").string(), "live"});
    // All but the record of 1 MiB being gathered when the limit was met.
    EXPECT_GE(kept.size(), 3 * kMiB);
    EXPECT_TRUE(IsPrefix(kept, stream));
}

// Bytes that arrived while the stream waits for more reach the file: with
// --no-gather as they come, gathered within the time bound (the module's
// thread writes them out). A kill then loses none of them.
TEST_F(ContPackFailureTest, StreamedInputIsWrittenAsItArrives) {
    const std::string stream = Pattern(1000, 8);
    for (const bool gather : {false, true}) {
        PipeFeed feed(stream, stream.size(), std::chrono::microseconds(0), true);
        inputFd = feed.readEnd();
        const fs::path c = At(gather ? "gathered.cnt" : "live.cnt");
        std::vector<std::string> args = {"pack", "--name", "live", c.string(), "-"};
        if (!gather) args.insert(args.begin() + 1, "--no-gather");
        const pid_t pid = Start(args);
        auto arrived = [this, &c, &stream] {
            const Outcome o = Cont({"-q", "cat", c.string(), "live"});
            return o.status == 0 && o.out == stream;
        };
        for (int wait = 0; wait < 400 && !arrived(); ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kill(pid, SIGKILL);
        EXPECT_EQ(128 + SIGKILL, Finish(pid).status);
        EXPECT_TRUE(stream == ContOk({"cat", c.string(), "live"})) << gather;
    }
}

TEST_F(ContPackFailureTest, AFullFileSystemIsNamed) {
    fs::create_directories(At("small"));
    WriteAll(At("big"), Pattern(3 * kMiB, 9));
    tmpfsAt = At("small");
    const Outcome o = Cont({"pack", At("small/x.cnt").string(), At("big").string()});
    tmpfsAt.clear();
    if (o.status == kNoSmallFileSystem) GTEST_SKIP() << "cannot mount a file system here";
    EXPECT_EQ(1, o.status);
    EXPECT_NE(std::string::npos, o.err.find("write failed at byte 0: no space left on the device")) << o.err;
}

// A replacement that cannot be flushed to the disk is never renamed over
// the old container, which keeps its bytes and its mode; and the module's
// own flush failing is a failure too, named with its cause.
TEST_F(ContPackFailureTest, AForcedPackThatCannotBeFlushedLeavesTheOldContainerExactly) {
    WriteAll(At("a"), Pattern(50000, 1));
    WriteAll(At("b"), Pattern(70000, 2));
    ContOk({"pack", At("x.cnt").string(), At("a").string()});
    fs::permissions(At("x.cnt"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const std::string before = ReadAll(At("x.cnt"));
    for (const char* call : {"fsync", "fdatasync"}) {
        const Outcome o = Cont({"pack", "--force", At("x.cnt").string(), At("b").string()}, {},
                               Preloaded(CONT_FAIL_WRITES_LIBRARY, {"CONT_FAIL_WRITES_SUFFIX=/x.cnt",
                                                                    std::string("CONT_FAIL_SYNC=") + call}));
        EXPECT_EQ(1, o.status) << call;
        EXPECT_NE(std::string::npos, o.err.find("flush")) << o.err;
        EXPECT_TRUE(ReadAll(At("x.cnt")) == before) << call;
        EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
                  fs::status(At("x.cnt")).permissions() & fs::perms::all)
            << call;
    }
}

// The cause named is the one the module met, not a guess from the file
// system afterwards: here the disk has room, yet the write failed for want
// of it; and a failing device is not mistaken for a full one.
TEST_F(ContPackFailureTest, TheCauseOfAFailedWriteIsTheOneTheModuleMet) {
    WriteAll(At("big"), Pattern(3 * kMiB, 9));
    for (const auto& [code, said] : {std::pair<std::string, std::string>{"28", "no space left on the device (ENOSPC)"},
                                     {"5", "input/output error on the device (EIO)"}}) {
        fs::remove(At("x.cnt"));
        const Outcome o = Cont({"pack", At("x.cnt").string(), At("big").string()}, {},
                               Preloaded(CONT_FAIL_WRITES_LIBRARY, {"CONT_FAIL_WRITES_SUFFIX=/x.cnt",
                                                                    "CONT_FAIL_WRITES_AFTER=65536",
                                                                    "CONT_FAIL_WRITES_ERRNO=" + code}));
        EXPECT_EQ(1, o.status);
        EXPECT_NE(std::string::npos, o.err.find("write failed at byte 0: " + said)) << o.err;
    }
}

// ---- what pack opens ----------------------------------------------------------------

TEST_F(ContPackFailureTest, PackNeverWritesThroughASymbolicLink) {
    WriteAll(At("a"), "alpha");
    fs::create_symlink(At("victim"), At("dangling.cnt"));
    ExpectError(Cont({"pack", At("dangling.cnt").string(), At("a").string()}), "dangling.cnt: is a symbolic link",
                "RES_OPEN_FAILED");
    EXPECT_FALSE(fs::exists(At("victim")));

    WriteAll(At("victim"), "precious");
    ExpectError(Cont({"pack", "--force", At("dangling.cnt").string(), At("a").string()}), "is a symbolic link",
                "RES_OPEN_FAILED");
    EXPECT_EQ("precious", ReadAll(At("victim")));
}

TEST_F(ContPackFailureTest, InputsAreOpenedOneAtATime) {
    const std::vector<std::string> files = MakeFiles(150, 10);
    const fs::path c = At("x.cnt");
    limits = {{RLIMIT_NOFILE, 64}};
    const Outcome plain = Cont(Concat({"pack", c.string()}, files));
    EXPECT_EQ(0, plain.status) << plain.err;
    // --interleave holds them all open: it says so before it begins.
    const Outcome interleaved = Cont(Concat({"pack", "--interleave", At("y.cnt").string()}, files));
    limits.clear();
    ExpectError(interleaved, "keeps all 150 inputs open at once", "(ulimit -n)");
    EXPECT_FALSE(fs::exists(At("y.cnt")));
    EXPECT_EQ(150u, Listing(c).size());
}

}  // namespace
