// What `cont extract` may write: regular files beneath its directory, each
// put in place only once whole, never the container it reads, never
// through a link or into a special file; and one entry it cannot write
// does not stop the others.
#include <sys/stat.h>

#include <cstdio>

#include "cont_fixture.h"

namespace {

using namespace conttest;

class ContExtractTest : public ContFixture {};

// An entry named like the container, extracted next to it.
TEST_F(ContExtractTest, TheContainerBeingReadIsNeverReplaced) {
    fs::create_directories(At("src"));
    fs::create_directories(At("here"));
    WriteAll(At("src/x.cnt"), "an entry named like its container");
    WriteAll(At("src/a"), "alpha");
    const fs::path c = At("here/x.cnt");
    ContOk({"pack", c.string(), At("src/x.cnt").string(), At("src/a").string()});
    const std::string container = ReadAll(c);

    const Outcome o = Cont({"extract", "x.cnt"}, {}, {}, At("here"));
    EXPECT_EQ(1, o.status);
    EXPECT_NE(std::string::npos, o.err.find("x.cnt: is the container being read; not replaced")) << o.err;
    EXPECT_TRUE(container == ReadAll(c));
    EXPECT_EQ("alpha", ReadAll(At("here/a")));
}

// A container cut short, as a crash leaves one: cat and extract give every
// byte `check` counts as readable, then fail naming the entry and the first
// byte that could not be read. Extract keeps what it read of a damaged
// entry, as tar keeps a file cut short, but never in place of a file that
// is there: that one stays until a whole new one can take its place.
TEST_F(ContExtractTest, DamagedEntriesGiveEveryReadableByteAndFail) {
    const std::vector<std::string> names = {"a", "b", "c"};
    std::vector<std::string> inputs;
    for (size_t i = 0; i < names.size(); ++i) {
        inputs.push_back(Pattern(1u << 20, static_cast<uint32_t>(i + 1)));
        WriteAll(At(names[i]), inputs[i]);
    }
    const fs::path c = At("x.cnt");
    // Interleaved records, so that a third of the file holds some of each.
    ContOk({"pack", "--interleave", "--no-gather", c.string(), At("a").string(), At("b").string(), At("c").string()});
    fs::resize_file(c, fs::file_size(c) / 3);
    std::vector<uint64_t> readable;
    std::istringstream check(Cont({"check", c.string()}).out);
    for (std::string line; std::getline(check, line);) {
        unsigned long long bytes = 0;
        char name[2] = {};
        if (std::sscanf(line.c_str(), "  %1s: %llu of", name, &bytes) == 2) readable.push_back(bytes);
    }
    ASSERT_EQ(3u, readable.size());

    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_GT(readable[i], 0u);
        ASSERT_LT(readable[i], inputs[i].size());
        const Outcome cat = Cont({"cat", c.string(), names[i]});
        ExpectError(cat, "entry '" + names[i] + "': read failed at byte " + std::to_string(readable[i]), "x.cnt");
        EXPECT_EQ(readable[i], cat.out.size()) << names[i];
        EXPECT_TRUE(cat.out == inputs[i].substr(0, cat.out.size())) << names[i];
    }

    fs::create_directories(At("out"));
    WriteAll(At("out/b"), "the file b was before");
    const Outcome o = Cont({"extract", "-C", At("out").string(), c.string()});
    EXPECT_EQ(1, o.status);
    EXPECT_EQ(3, std::count(o.err.begin(), o.err.end(), '\n')) << o.err;
    EXPECT_NE(std::string::npos, o.err.find("out/b is left as it was; the " + std::to_string(readable[1]) +
                                            " bytes before it are in " + At("out/b.partial").string()))
        << o.err;
    EXPECT_EQ("the file b was before", ReadAll(At("out/b")));
    EXPECT_TRUE(inputs[0].substr(0, readable[0]) == ReadAll(At("out/a")));
    EXPECT_TRUE(inputs[1].substr(0, readable[1]) == ReadAll(At("out/b.partial")));
    EXPECT_TRUE(inputs[2].substr(0, readable[2]) == ReadAll(At("out/c")));
    // No temporary file is left behind.
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(At("out"))) files += e.is_regular_file();
    EXPECT_EQ(4u, files);
}

TEST_F(ContExtractTest, LinksAndSpecialFilesAreNeverWrittenThrough) {
    for (const char* name : {"link", "dangling", "fifo", "plain"}) WriteAll(At(name), std::string("entry ") + name);
    const fs::path c = At("x.cnt");
    ContOk({"pack", c.string(), At("link").string(), At("dangling").string(), At("fifo").string(),
            At("plain").string()});
    fs::create_directories(At("out"));
    WriteAll(At("victim"), "precious");
    fs::create_symlink(At("victim"), At("out/link"));
    fs::create_symlink(At("nowhere"), At("out/dangling"));
    ASSERT_EQ(0, mkfifo(At("out/fifo").c_str(), 0644));

    const Outcome o = Finish(Start({"extract", "-C", At("out").string(), c.string()}), 20);
    EXPECT_EQ(1, o.status);
    EXPECT_NE(std::string::npos, o.err.find("link: is a symbolic link; not replaced")) << o.err;
    EXPECT_NE(std::string::npos, o.err.find("dangling: is a symbolic link; not replaced")) << o.err;
    EXPECT_NE(std::string::npos, o.err.find("fifo: is a FIFO; not replaced")) << o.err;
    EXPECT_EQ("precious", ReadAll(At("victim")));
    EXPECT_FALSE(fs::exists(At("nowhere")));
    EXPECT_TRUE(fs::is_symlink(At("out/link")));
    EXPECT_EQ("entry plain", ReadAll(At("out/plain")));
}

TEST_F(ContExtractTest, AnEntryNamedDashIsAFileNotStandardOutput) {
    WriteAll(At("in"), "dash");
    const fs::path c = At("x.cnt");
    ContOk({"pack", "--name", "-", c.string(), At("in").string()});
    fs::create_directories(At("out"));
    const Outcome o = Cont({"extract", c.string()}, {}, {}, At("out"));
    EXPECT_EQ(0, o.status) << o.err;
    EXPECT_EQ("", o.out);
    EXPECT_EQ("dash", ReadAll(At("out/-")));
}

}  // namespace
