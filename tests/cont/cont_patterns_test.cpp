// Entry names that are patterns, in ls, extract and rm: matched as tar
// --wildcards matches member names, an argument without a pattern
// character still an exact name, and one protected by a backslash or "--"
// taken as it is.
#include "cont_fixture.h"

namespace {

using namespace conttest;

class ContPatternsTest : public ContFixture {
protected:
    void SetUp() override {
        ContFixture::SetUp();
        fs::create_directories(At("photos/sub"));
        WriteAll(At("photos/a.jpg"), "a");
        WriteAll(At("photos/sub/b.jpg"), "bb");
        WriteAll(At("notes.txt"), "n");
        WriteAll(At("x*y"), "star");
        WriteAll(At("x1y"), "one");
        c = At("c.cnt").string();
        ContOk({"pack", c, At("photos").string(), At("notes.txt").string(), At("x*y").string(), At("x1y").string()});
    }

    // The names `cont ls C.cnt ARGS...` lists; its status in `status`.
    std::string Listed(const std::vector<std::string>& args, int* status = nullptr) {
        std::vector<std::string> line = {"ls", c};
        line.insert(line.end(), args.begin(), args.end());
        const Outcome o = Cont(line);
        if (status) *status = o.status;
        std::istringstream lines(o.out);
        std::string names, size, name;
        while (lines >> size && lines.ignore(2) && std::getline(lines, name)) names += name + " ";
        return names;
    }

    std::string c;
};

TEST_F(ContPatternsTest, LsExtractAndRmSelectWhatTarWildcardsSelects) {
    // A wildcard matches '/' too, and a pattern matching a directory of
    // entries selects what lies beneath it.
    EXPECT_EQ("photos/a.jpg photos/sub/b.jpg ", Listed({"*.jpg"}));
    EXPECT_EQ("photos/a.jpg ", Listed({"photos/?.jpg"}));
    EXPECT_EQ("photos/sub/b.jpg ", Listed({"p*/s[u]b"}));
    EXPECT_EQ("photos/a.jpg photos/sub/b.jpg notes.txt ", Listed({"notes.txt", "photos"}));  // exact names, as before
    EXPECT_EQ("x*y x1y ", Listed({"x*y"}));
    EXPECT_EQ("x*y ", Listed({"x\\*y"}));
    EXPECT_EQ("x*y ", Listed({"--", "x*y"}));
    int status = 0;
    EXPECT_EQ("notes.txt ", Listed({"*.txt", "q*"}, &status));
    EXPECT_EQ(1, status);

    const Outcome extracted = Cont({"extract", "-C", At("out").string(), c, "*/sub/*", "q*", "x?y"});
    EXPECT_EQ(1, extracted.status);
    EXPECT_NE(std::string::npos, extracted.err.find("entry 'q*': no such entry")) << extracted.err;
    EXPECT_EQ("bb", ReadAll(At("out/photos/sub/b.jpg")));
    EXPECT_EQ("star", ReadAll(At("out/x*y")));
    EXPECT_EQ("one", ReadAll(At("out/x1y")));
    EXPECT_FALSE(fs::exists(At("out/photos/a.jpg")));

    // rm removes nothing while one pattern matches nothing.
    const Outcome refused = Cont({"rm", c, "x?y", "*.gif"});
    ExpectError(refused, "entry '*.gif': no such entry", "E_FAIL");
    EXPECT_EQ("photos/a.jpg photos/sub/b.jpg notes.txt x*y x1y ", Listed({}));
    ContOk({"rm", c, "--", "x*y"});
    ContOk({"rm", c, "pho*"});
    EXPECT_EQ("notes.txt x1y ", Listed({}));
}

}  // namespace
