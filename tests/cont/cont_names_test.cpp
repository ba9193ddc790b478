// Entry names: pack makes only names that every command of cont can use,
// and a container made elsewhere with names no URL can carry still has its
// other entries listed, checked and extracted one by one.
#include <sstream>

#include "cont_fixture.h"
#include "support/container_bytes.h"

namespace {

using namespace conttest;

class ContNamesTest : public ContFixture {};

TEST_F(ContNamesTest, PackRefusesExactlyTheNamesTheOtherCommandsCannotUse) {
    WriteAll(At("in"), "some bytes");
    const std::string c = At("x.cnt").string();
    for (const std::string& name :
         std::vector<std::string>{"/ABS", ".", "..", "a//b", "a/./b", "a/../b", "a/", "a#b", "a\\b", " a", "a ", "\"a",
                                  "\"x&y", "a$5", "x$y.5", std::string(256, 'n'), "d/" + std::string(256, 'n')}) {
        const Outcome o = Cont({"pack", "--force", "--name", name, c, At("in").string()});
        EXPECT_EQ(1, o.status) << "'" << name << "' " << o.err;
        EXPECT_NE(std::string::npos, o.err.find("E_INVALIDARG")) << o.err;
        EXPECT_FALSE(fs::exists(c)) << name;
    }
    // A '$' is harmless where no time follows it.
    for (const std::string& name :
         std::vector<std::string>{"a$b", "US$", "-", std::string(255, 'n'), "a/b", "d/" + std::string(255, 'n')}) {
        ContOk({"pack", "--force", "--name", name, c, At("in").string()});
        EXPECT_EQ("some bytes", ContOk({"cat", c, "--", name})) << name;
        ContOk({"extract", "-C", At("out").string(), c});
        EXPECT_EQ("some bytes", ReadAll(At("out") / name)) << name;
    }
}

TEST_F(ContNamesTest, NamesNoUrlCarriesHideNoOtherEntry) {
    WriteAll(At("x.cnt"), ctest::HandBuiltContainer({{"good1", "alpha"},
                                                     {"a#b", "hash"},
                                                     {"c\\d", "backslash"},
                                                     {" lead", "space"},
                                                     {"a$1:00", "time"},
                                                     {"../evil", "escape"},
                                                     {"good2", "bravo!"}}));
    const std::string c = At("x.cnt").string();
    auto expectReported = [](const Outcome& o, const std::string& what) {
        EXPECT_NE(std::string::npos, o.err.find(what)) << o.err;
    };
    auto expectShortLines = [](const Outcome& o) {
        std::istringstream lines(o.err);
        for (std::string line; std::getline(lines, line);) EXPECT_LT(line.size(), 400u) << line.substr(0, 400);
    };

    const Outcome ls = Cont({"ls", c});
    EXPECT_EQ(1, ls.status);
    EXPECT_EQ("5  good1\n?  a#b\n?  c/d\n?   lead\n?  a$1:00\n6  ../evil\n6  good2\n", ls.out);
    expectReported(ls, "entry 'a#b': cannot be opened by URL: the name holds '#'");
    expectReported(ls, "entry 'c/d': listed, but no entry opens by this name (a '\\' in a stored name");
    expectReported(ls, "entry ' lead': cannot be opened by URL: the name begins or ends with a space");
    expectReported(ls, "entry 'a$1:00': cannot be opened by URL: the name holds a '$' followed by a time");
    expectShortLines(ls);

    const Outcome check = Cont({"check", c});
    EXPECT_EQ(1, check.status);
    EXPECT_NE(std::string::npos, check.out.find("read:      17 bytes\n")) << check.out;
    expectShortLines(check);

    const Outcome extract = Cont({"extract", "-C", At("out").string(), c});
    EXPECT_EQ(1, extract.status);
    EXPECT_EQ("alpha", ReadAll(At("out/good1")));
    EXPECT_EQ("bravo!", ReadAll(At("out/good2")));
    expectReported(extract, "entry '../evil': the name holds a '..' segment, which a file path must not; not extracted");
    EXPECT_FALSE(fs::exists(At("evil")));
    expectShortLines(extract);
}

// Sizes right-aligned to the widest, '?' where there is none, and a name's
// control bytes shown as escapes, byte for byte.
TEST_F(ContNamesTest, TheTextListingAlignsSizesAndShowsControlBytesEscaped) {
    WriteAll(At("x.cnt"), ctest::HandBuiltContainer({{"wide", std::string(12345, 'w')},
                                                     {std::string("c\x01") + "d\x7f\x1f" + "e", "five!"},
                                                     {"a#b", "no URL"},
                                                     {std::string(300, 'n'), "long"}}));
    const Outcome ls = Cont({"ls", At("x.cnt").string()});
    EXPECT_EQ(1, ls.status);
    EXPECT_EQ("12345  wide\n    5  c\\x01d\\x7F\\x1Fe\n    ?  a#b\n    4  " + std::string(300, 'n') + "\n", ls.out);
}

// The longest name the module keeps, whose URL it cannot take: shown cut
// short, in a line of its own.
TEST_F(ContNamesTest, ANameTooLongForAnyUrlIsShownCut) {
    const std::string huge(0xFFFFFF - 10, 'Z');
    WriteAll(At("x.cnt"), ctest::HandBuiltContainer({{huge, "huge"}, {"good", "bytes"}}));
    const Outcome ls = Cont({"ls", At("x.cnt").string()});
    EXPECT_EQ(1, ls.status);
    EXPECT_TRUE(ls.out == "?  " + std::string(125, 'Z') + "...\n5  good\n") << ls.out.substr(0, 300);
    EXPECT_NE(std::string::npos,
              ls.err.find("its URL would pass the 16777215 characters the module takes (a name of 16777205 bytes)"))
        << ls.err.substr(0, 600);
    EXPECT_LT(ls.err.size(), 600u);
}

// Short of memory, anywhere: cont says so in words, and the module, unable
// to take a long name in, never has cont report another entry's bytes as
// the named one's.
TEST_F(ContNamesTest, ATightMemoryLimitIsReportedAndNeverMistakesOneEntryForAnother) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer reserves more address space than any limit here allows";
#endif
    const std::string name(1u << 20, 'Z');
    WriteAll(At("x.cnt"), ctest::HandBuiltContainer({{"good1", "alpha"}, {name, "huge"}}));
    int outOfMemory = 0;
    for (rlim_t megabytes = 6; megabytes <= 24; ++megabytes) {
        limits = {{RLIMIT_AS, megabytes << 20}};
        // Too little to start at all (to load its libraries, or to make
        // its tables before main): no limit a name in a container moves.
        if (Cont({"--version"}).status != 0) continue;
        const Outcome o = Cont({"ls", At("x.cnt").string()});
        const std::string at = std::to_string(megabytes) + " MiB: ";
        ASSERT_TRUE(o.status == 0 || o.status == 1) << at << o.status;
        EXPECT_EQ(std::string::npos, o.err.find("bad_alloc")) << at << o.err.substr(0, 300);
        if (o.status == 1) {
            EXPECT_FALSE(o.err.empty()) << at;
        }
        outOfMemory += o.err.find("out of memory") != std::string::npos;
        std::istringstream lines(o.out);
        for (std::string line; std::getline(lines, line);) {
            if (line.size() > 3 && line.compare(3, 5, "ZZZZZ") == 0) {
                EXPECT_TRUE(line[0] == '4' || line[0] == '?') << at << line.substr(0, 20);
            }
        }
    }
    limits.clear();
    EXPECT_GT(outOfMemory, 0);
}

}  // namespace
