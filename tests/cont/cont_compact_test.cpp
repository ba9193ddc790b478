// cont compact: a container rewritten without its removed entries, and the
// containers it leaves alone.
#include <sys/file.h>
#include <sys/stat.h>

#include "cont_fixture.h"

namespace {

using namespace conttest;

class ContCompactTest : public ContFixture {
protected:
    // What an entry packed in one go takes in the file: its entry record
    // (head, name length, name, size, chunk size, 1000-slot seek table) and
    // one data record (head, entry index, logical offset, bytes).
    static uint64_t EntryBytes(const std::string& name, uint64_t size) {
        return (5 + 4 + name.size() + 8 + 8 + 8000) + (5 + 4 + 8 + size);
    }

    // Nothing cont made beside the container is left in the directory.
    void ExpectNothingBeside(const std::vector<std::string>& expected) {
        std::vector<std::string> names;
        for (const auto& item : fs::directory_iterator(dir)) {
            const std::string name = item.path().filename().string();
            if (name != ".out" && name != ".err") names.push_back(name);  // cont's own streams
        }
        std::sort(names.begin(), names.end());
        EXPECT_EQ(expected, names);
    }

    // The private directory, other than `known`, in which a compact of
    // x.cnt has begun copying (its new container has bytes); "" when none
    // appeared.
    std::string WaitForCopy(const std::string& known = {}) {
        for (int wait = 0; wait < 20000; ++wait) {
            std::error_code ec;
            for (const auto& item : fs::directory_iterator(dir, ec)) {
                const std::string name = item.path().filename().string();
                if (name.rfind(".cont-pack-", 0) == 0 && name != known && fs::file_size(item.path() / "x.cnt", ec) > 0 &&
                    !ec)
                    return name;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        return "";
    }
};

TEST_F(ContCompactTest, CompactReclaimsExactlyTheRemovedBytesAndEveryEntryReadsBack) {
    const std::string a = Pattern(3000000, 1), b = Pattern(100000, 2), c = Pattern(3000, 3);
    WriteAll(At("a"), a);
    WriteAll(At("b"), b);
    WriteAll(At("c"), c);
    WriteAll(At("e"), "");
    const fs::path x = At("x.cnt");
    ContOk({"pack", x.string(), At("a").string(), "--name", "sub/b", At("b").string(), At("e").string(),
            At("c").string()});
    ContOk({"rm", x.string(), "sub/b"});
    ASSERT_EQ(0, chmod(x.c_str(), 0640));
    const std::string before = ReadAll(x);
    const uint64_t removed = EntryBytes("sub/b", b.size());
    const std::string sizes = std::to_string(before.size()) + " bytes, " + std::to_string(before.size() - removed) +
                              " compacted";

    // A dry run measures and leaves everything as it was.
    const std::string dry = ContOk({"compact", "--dry-run", x.string()});
    EXPECT_NE(std::string::npos, dry.find(sizes + "; would reclaim " + std::to_string(removed) + " bytes")) << dry;
    EXPECT_TRUE(ReadAll(x) == before);
    ExpectNothingBeside({"a", "b", "c", "e", "x.cnt"});

    const std::string done = ContOk({"compact", x.string()});
    EXPECT_NE(std::string::npos, done.find(sizes + "; reclaimed " + std::to_string(removed) + " bytes")) << done;
    EXPECT_EQ(before.size() - removed, fs::file_size(x));
    ExpectEntries(x, {{"a", a}, {"e", ""}, {"c", c}});
    const std::string check = ContOk({"check", x.string()});
    EXPECT_NE(std::string::npos, check.find("result:    ok")) << check;
    EXPECT_NE(std::string::npos, check.find("title:     x.cnt")) << check;
    struct stat st;
    ASSERT_EQ(0, stat(x.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
    ExpectNothingBeside({"a", "b", "c", "e", "x.cnt"});

    // Compacted once, there is nothing left to reclaim.
    const std::string again = ContOk({"compact", x.string()});
    EXPECT_NE(std::string::npos, again.find("reclaimed 0 bytes")) << again;
}

// An entry removed while compact copies the container would come back with
// the copy.
TEST_F(ContCompactTest, AContainerChangedWhileCompactingIsNotReplaced) {
    const std::string a = Pattern(32u << 20, 1);
    WriteAll(At("a"), a);
    WriteAll(At("b"), Pattern(5000, 2));
    const fs::path x = At("x.cnt");
    ContOk({"pack", x.string(), At("a").string(), At("b").string()});
    ContOk({"add", x.string(), "--name", "c", At("b").string()});
    ContOk({"rm", x.string(), "c"});

    // Stopped while it copies: its new container has its first bytes.
    const pid_t compact = Start({"compact", x.string()});
    const bool copying = !WaitForCopy().empty();
    kill(compact, SIGSTOP);
    ASSERT_TRUE(copying);
    stdoutDevice = stderrDevice = "/dev/null";
    EXPECT_EQ(0, Cont({"rm", x.string(), "b"}).status);
    stdoutDevice = stderrDevice = "";
    kill(compact, SIGCONT);
    const Outcome o = Finish(compact, 60);
    EXPECT_EQ(1, o.status);
    EXPECT_NE(std::string::npos, o.err.find("x.cnt: changed while compacting; nothing was replaced")) << o.err;
    ExpectEntries(x, {{"a", a}});
    ExpectNothingBeside({"a", "b", "x.cnt"});
}

// A compact or pack --force killed while it copies leaves its private
// directory with a partial copy. The next check (or compact, or pack
// --force) of the container removes it once no run holds it, leaves the
// one of a run still at work, and only lists a directory it cannot prove is
// stale debris of its own.
TEST_F(ContCompactTest, WhatAKilledRunLeftIsRemovedByTheNextRun) {
    const std::string a = Pattern(16u << 20, 1);
    WriteAll(At("a"), a);
    WriteAll(At("b"), Pattern(5000, 2));
    const fs::path x = At("x.cnt");
    ContOk({"pack", x.string(), At("a").string(), At("b").string()});
    ContOk({"rm", x.string(), "b"});
    stdoutDevice = stderrDevice = "/dev/null";
    // A compact at work (stopped) while the others run.
    const pid_t live = Start({"compact", x.string()});
    const std::string busy = WaitForCopy();
    kill(live, SIGSTOP);
    const pid_t killed = Start({"pack", "--force", x.string(), At("a").string()});
    const std::string stale = WaitForCopy(busy);
    kill(killed, SIGKILL);
    Finish(killed);
    stdoutDevice = stderrDevice = "";
    ASSERT_NE("", busy);
    ASSERT_NE("", stale);
    // What an earlier cont (or a pack --force from a pipe, which keeps
    // bytes it cannot read again) left, and another container's.
    fs::create_directories(At(".cont-pack-Legacy"));
    WriteAll(At(".cont-pack-Legacy/x.cnt"), "a copy no one can prove stale");
    fs::create_directories(At(".cont-pack-Others"));
    WriteAll(At(".cont-pack-Others/y.cnt"), "another container's");

    const Outcome check = Cont({"check", x.string()});
    kill(live, SIGCONT);
    EXPECT_EQ(0, check.status) << check.err;
    EXPECT_NE(std::string::npos, check.err.find(stale + ": removed")) << check.err;
    EXPECT_NE(std::string::npos, check.err.find(".cont-pack-Legacy: left by an interrupted")) << check.err;
    EXPECT_EQ(2, std::count(check.err.begin(), check.err.end(), '\n')) << check.err;
    EXPECT_FALSE(fs::exists(At(stale)));
    EXPECT_TRUE(fs::exists(At(busy)));
    EXPECT_TRUE(fs::exists(At(".cont-pack-Legacy/x.cnt")));
    EXPECT_TRUE(fs::exists(At(".cont-pack-Others/y.cnt")));
    const Outcome done = Finish(live, 60);
    EXPECT_EQ(0, done.status) << done.err;
    ExpectEntries(x, {{"a", a}});
    ExpectNothingBeside({".cont-pack-Legacy", ".cont-pack-Others", "a", "b", "x.cnt"});
}

// A container held elsewhere is left as it was; one emptied by rm is made a
// container of no entries.
TEST_F(ContCompactTest, HeldContainersAreLeftAndEmptiedOnesCompactToNoEntries) {
    WriteAll(At("a"), Pattern(5000, 1));
    const fs::path x = At("x.cnt");
    ContOk({"pack", x.string(), At("a").string()});
    ContOk({"add", x.string(), "--name", "b", At("a").string()});
    ContOk({"rm", x.string(), "b"});
    const std::string before = ReadAll(x);

    // Open in another program (a reader holds a shared lock, as the module's
    // opens do).
    const int other = open(x.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(0, flock(other, LOCK_SH));
    const Outcome held = Cont({"compact", x.string()});
    close(other);
    ExpectError(held, "open in another program", "E_ACCESSDENIED");
    EXPECT_TRUE(ReadAll(x) == before);
    ExpectNothingBeside({"a", "x.cnt"});

    // Emptied by rm, it becomes a container of no entries, which every
    // reader opens; as small as one can be, it stays so.
    ContOk({"rm", x.string(), "a"});
    const uint64_t emptied = fs::file_size(x);
    EXPECT_NE(std::string::npos, ContOk({"compact", "--dry-run", x.string()}).find("would reclaim"));
    EXPECT_EQ(emptied, fs::file_size(x));
    ContOk({"compact", x.string()});
    EXPECT_LT(fs::file_size(x), emptied);
    EXPECT_EQ("", ContOk({"ls", x.string()}));
    EXPECT_NE(std::string::npos, ContOk({"check", x.string()}).find("entries:   0\nread:      0 bytes\nresult:    ok"));
    const std::string empty = ReadAll(x);
    EXPECT_NE(std::string::npos, ContOk({"compact", x.string()}).find("(left as it was)"));
    EXPECT_TRUE(ReadAll(x) == empty);
    ExpectNothingBeside({"a", "x.cnt"});

    ExpectError(Cont({"compact", At("missing.cnt").string()}), "missing.cnt", "RES_OPEN_FAILED");
    EXPECT_FALSE(fs::exists(At("missing.cnt")));
    EXPECT_EQ(2, Cont({"compact"}).status);
}

}  // namespace
