// Trees: pack walks directories and names entries by their paths with '/',
// extract makes the directories again beneath -C and nowhere else, and
// several streamed inputs each get a name of their own.
#include <sys/stat.h>

#include <set>

#include "cont_fixture.h"
#include "support/container_bytes.h"

namespace {

using namespace conttest;

class ContTreeTest : public ContFixture {
protected:
    // Every regular file beneath `root`, by relative path, with its bytes.
    static std::map<std::string, std::string> Files(const fs::path& root) {
        std::map<std::string, std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(root)) {
            const std::string path = fs::relative(e.path(), root).string();
            // Not cont's own standard output and error.
            if (e.is_regular_file() && path != ".out" && path != ".err") files[path] = ReadAll(e.path());
        }
        return files;
    }
};

// Bytes written into a FIFO by a thread, once cont opens it for reading:
// an input whose size no one knows, like a process substitution.
class FifoFeed {
public:
    FifoFeed(const fs::path& path, std::string bytes) : bytes_(std::move(bytes)) {
        if (mkfifo(path.c_str(), 0600) != 0) return;
        thread_ = std::thread([this, path] {
            // Never blocks on a reader that does not come: the test ends.
            int fd = -1;
            for (int i = 0; i < 3000 && !stop_ && (fd = open(path.c_str(), O_WRONLY | O_NONBLOCK)) < 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (fd < 0) return;
            fcntl(fd, F_SETFL, 0);
            for (size_t at = 0; at < bytes_.size();) {
                const ssize_t n = write(fd, bytes_.data() + at, std::min<size_t>(4096, bytes_.size() - at));
                if (n <= 0) break;
                at += static_cast<size_t>(n);
            }
            close(fd);
        });
    }
    ~FifoFeed() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    std::string bytes_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(ContTreeTest, ANestedTreeIsPackedListedAndExtractedByteForByte) {
    const std::map<std::string, std::string> tree = {
        {"a.txt", "top"},
        {"empty", ""},
        {"sub/b.bin", Pattern(70000, 1)},
        {"sub/deep/er/c.bin", Pattern((1u << 20) + 3, 2)},
        {"sub/deep/er/d", "d"},
        {"z/last", Pattern(10, 3)},
    };
    for (const auto& [path, bytes] : tree) {
        fs::create_directories((At("src") / path).parent_path());
        WriteAll(At("src") / path, bytes);
    }
    WriteAll(At("single"), "single");
    // Beneath a directory, links and special files are not packed.
    fs::create_symlink(At("single"), At("src/sub/link"));
    fs::create_directory_symlink(At("src"), At("src/sub/loop"));
    ASSERT_EQ(0, mkfifo(At("src/z/fifo").c_str(), 0600));

    const std::string c = At("x.cnt").string();
    const Outcome packed = Finish(Start({"pack", c, At("src/").string(), At("single").string()}), 60);
    ASSERT_EQ(0, packed.status) << packed.err;
    for (const char* skipped : {"src/sub/link: a symbolic link; skipped", "src/sub/loop: a symbolic link; skipped",
                                "src/z/fifo: a FIFO; skipped"})
        EXPECT_NE(std::string::npos, packed.err.find(skipped)) << packed.err;

    // In name order, each directory's entries after its own name.
    std::string listing;
    for (const auto& [path, bytes] : tree) listing += std::to_string(bytes.size()) + "  src/" + path + "\n";
    listing += "6  single\n";
    const std::string ls = ContOk({"ls", c});
    std::string unpadded;
    std::istringstream lines(ls);
    for (std::string line; std::getline(lines, line);) unpadded += line.substr(line.find_first_not_of(' ')) + "\n";
    EXPECT_EQ(listing, unpadded);

    ContOk({"extract", "-C", At("out").string(), c});
    std::map<std::string, std::string> expected;
    for (const auto& [path, bytes] : tree) expected["src/" + path] = bytes;
    expected["single"] = "single";
    EXPECT_TRUE(expected == Files(At("out")));
    EXPECT_FALSE(fs::exists(At("out/src/sub/link")));

    // --name renames a directory's top; packed from within, the names start
    // there; a container inside the tree is not packed into itself.
    ContOk({"pack", "--name", "top", At("y.cnt").string(), At("src/sub/deep").string()});
    EXPECT_EQ("1048579  top/er/c.bin\n      1  top/er/d\n", ContOk({"ls", At("y.cnt").string()}));
    WriteAll(At("src/sub/deep/er/x.cnt"), "replaced");
    const Outcome within = Cont({"pack", "--force", "er/x.cnt", "."}, {}, {}, At("src/sub/deep"));
    ASSERT_EQ(0, within.status) << within.err;
    EXPECT_NE(std::string::npos, within.err.find("is the container being made; skipped")) << within.err;
    EXPECT_EQ("1048579  er/c.bin\n      1  er/d\n", ContOk({"ls", At("src/sub/deep/er/x.cnt").string()}));

    // What pack makes, extract can write: no name is both a file and a
    // directory.
    const Outcome clash =
        Cont({"pack", At("z.cnt").string(), "--name", "sub", At("single").string(), At("src/sub").string()});
    EXPECT_EQ(1, clash.status);
    EXPECT_NE(std::string::npos, clash.err.find("entry 'sub': would be both a file and the directory of 'sub/b.bin'"))
        << clash.err;
    EXPECT_FALSE(fs::exists(At("z.cnt")));
}

// Names no pack makes, in a container made by hand, and a link planted in
// the target: nothing is written outside -C, each refusal says why, and the
// good entries are extracted all the same.
TEST_F(ContTreeTest, HostileNamesAndPlantedLinksNeverLeadOutsideTheTarget) {
    WriteAll(At("x.cnt"), ctest::HandBuiltContainer({{"../x", "up"},
                                                     {"/x", "absolute"},
                                                     {"a/../../x", "up twice"},
                                                     {"a//b", "empty segment"},
                                                     {"link/x", "through a planted directory link"},
                                                     {"file/x", "beneath a file"},
                                                     {"last", "onto a planted file link"},
                                                     {"good/one", "one"},
                                                     {"good/deeper/two", "two"}}));
    fs::create_directories(At("outside"));
    fs::create_directories(At("out"));
    fs::create_directory_symlink(At("outside"), At("out/link"));
    WriteAll(At("out/file"), "a file, not a directory");
    fs::create_symlink(At("outside/last"), At("out/last"));
    const auto before = Files(At(""));

    const Outcome o = Cont({"extract", "-C", At("out").string(), At("x.cnt").string()});
    EXPECT_EQ(1, o.status);
    EXPECT_NE(std::string::npos, o.err.find("entry '../x': the name holds a '..' segment")) << o.err;
    EXPECT_NE(std::string::npos, o.err.find("entry '/x': the name begins with '/'")) << o.err;
    EXPECT_NE(std::string::npos, o.err.find("entry 'a/../../x': the name holds a '..' segment")) << o.err;
    EXPECT_NE(std::string::npos, o.err.find("entry 'a//b': the name holds an empty segment")) << o.err;
    EXPECT_NE(std::string::npos, o.err.find("link/x: 'link' is a symbolic link, which is never followed")) << o.err;
    EXPECT_NE(std::string::npos, o.err.find("file/x: 'file' is a regular file, not a directory")) << o.err;
    EXPECT_NE(std::string::npos, o.err.find("last: is a symbolic link; not replaced")) << o.err;

    std::map<std::string, std::string> after = Files(At(""));
    EXPECT_EQ("one", after["out/good/one"]);
    EXPECT_EQ("two", after["out/good/deeper/two"]);
    after.erase("out/good/one");
    after.erase("out/good/deeper/two");
    EXPECT_TRUE(before == after);
    EXPECT_TRUE(fs::is_empty(At("outside")));
    EXPECT_FALSE(fs::exists(At("x")));
    EXPECT_FALSE(fs::exists("/x"));
}

// A directory named to extract brings every entry beneath it, as archive
// tools do; an entry of that very name is taken alone, and a name that
// selects nothing is an error that stops none of the others.
TEST_F(ContTreeTest, ExtractOfADirectoryTakesEveryEntryBeneathIt) {
    WriteAll(At("x.cnt"), ctest::HandBuiltContainer({{"photos/a.jpg", "a"},
                                                     {"photoshop.txt", "not beneath photos"},
                                                     {"photos/2024/b.jpg", "b"},
                                                     {"old/../escape", "up"},
                                                     {"notes", "the entry"},
                                                     {"notes/old", "beneath the entry"}}));
    const std::string c = At("x.cnt").string();
    ContOk({"extract", "-C", At("all").string(), c, "photos"});
    EXPECT_EQ((std::map<std::string, std::string>{{"photos/a.jpg", "a"}, {"photos/2024/b.jpg", "b"}}),
              Files(At("all")));
    ContOk({"extract", "-C", At("nested").string(), c, "photos/2024/"});
    EXPECT_EQ((std::map<std::string, std::string>{{"photos/2024/b.jpg", "b"}}), Files(At("nested")));

    // A hostile name is refused however it is selected, and only once
    // when two arguments select it.
    const Outcome o = Cont({"extract", "-C", At("some").string(), c, "notes", "photo", "photos/", "old", "old//"});
    EXPECT_EQ(1, o.status);
    EXPECT_NE(std::string::npos, o.err.find("entry 'photo': no such entry")) << o.err;
    const std::string refused = "entry 'old/../escape': the name holds a '..' segment";
    const size_t first = o.err.find(refused);
    EXPECT_NE(std::string::npos, first) << o.err;
    EXPECT_EQ(std::string::npos, o.err.find(refused, first + 1)) << o.err;
    EXPECT_EQ(2, std::count(o.err.begin(), o.err.end(), '\n')) << o.err;
    EXPECT_EQ((std::map<std::string, std::string>{
                  {"notes", "the entry"}, {"photos/a.jpg", "a"}, {"photos/2024/b.jpg", "b"}}),
              Files(At("some")));
}

// Inputs of unknown size, each named where it stands: standard input and
// two FIFOs, as a shell's process substitutions would give them.
TEST_F(ContTreeTest, SeveralStreamedInputsEachTakeTheNameBeforeThem) {
    const std::string one = Pattern(300000, 4), two = Pattern(5000, 5), three = Pattern(123457, 6);
    WriteAll(At("in"), two);
    FifoFeed first(At("fifo1"), one);
    FifoFeed last(At("fifo3"), three);
    const std::string c = At("x.cnt").string();
    const Outcome o = Finish(Start({"pack", c, "--name", "one.dat", At("fifo1").string(), "--name", "two.dat", "-",
                                    "--name=three.dat", At("fifo3").string()},
                                   "in"),
                             60);
    ASSERT_EQ(0, o.status) << o.err;
    EXPECT_EQ("300000  one.dat\n  5000  two.dat\n123457  three.dat\n", ContOk({"ls", c}));
    EXPECT_TRUE(one == ContOk({"cat", c, "one.dat"}));
    EXPECT_TRUE(two == ContOk({"cat", c, "two.dat"}));
    EXPECT_TRUE(three == ContOk({"cat", c, "three.dat"}));

}

}  // namespace
