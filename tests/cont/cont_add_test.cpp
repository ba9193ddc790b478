// cont add: entries added to a container in place and replaced, and the
// containers it refuses to touch.
#include <sys/file.h>
#include <sys/resource.h>

#include <map>

#include "cont_fixture.h"

namespace {

using namespace conttest;

class ContAddTest : public ContFixture {
protected:
    fs::path MakeFile(const std::string& name, const std::string& bytes) {
        WriteAll(At(name), bytes);
        return At(name);
    }
};

TEST_F(ContAddTest, AddedAndReplacedEntriesReadBackWithEveryOther) {
    const std::string a = Pattern(3000000, 1), b = Pattern(70000, 2), c = Pattern(5, 3), d = Pattern(400000, 4);
    const fs::path x = At("x.cnt");
    ContOk({"pack", x.string(), MakeFile("a", a).string(), MakeFile("b", b).string()});
    const uint64_t packed = fs::file_size(x);
    ContOk({"add", x.string(), MakeFile("c", c).string(), MakeFile("empty", "").string()});
    WriteAll(At("d.in"), d);
    ContOk({"add", "--name", "d", x.string(), "-"}, "d.in");
    EXPECT_GT(fs::file_size(x), packed);
    ExpectEntries(x, {{"a", a}, {"b", b}, {"c", c}, {"empty", ""}, {"d", d}});

    // b replaced, e new; the replaced b keeps no place of its own.
    fs::create_directory(At("v2"));
    const std::string b2 = Pattern(90000, 22), e = Pattern(12345, 5);
    WriteAll(At("v2") / "b", b2);
    WriteAll(At("v2") / "e", e);
    ContOk({"add", "--replace", x.string(), (At("v2") / "b").string(), (At("v2") / "e").string()});
    ExpectEntries(x, {{"a", a}, {"c", c}, {"empty", ""}, {"d", d}, {"b", b2}, {"e", e}});
    EXPECT_NE(std::string::npos, ContOk({"check", x.string()}).find("result:    ok"));

    // A container that does not exist yet is made.
    ContOk({"add", At("new.cnt").string(), At("c").string()});
    ExpectEntries(At("new.cnt"), {{"c", c}});

    // A replacement that cannot get a byte onto the disk (the file size
    // limit) keeps the old entry, and says so.
    const std::string a2 = Pattern(2000000, 11);
    WriteAll(At("v2") / "a", a2);
    limits = {{RLIMIT_FSIZE, fs::file_size(x) + 4096}};
    const Outcome o = Cont({"add", "--replace", x.string(), (At("v2") / "a").string()});
    limits.clear();
    ExpectError(o, "'a'", "the old entry");
    ExpectEntries(x, {{"a", a}, {"c", c}, {"empty", ""}, {"d", d}, {"b", b2}, {"e", e}});
}

TEST_F(ContAddTest, ContainersThatCannotBeAddedToAreLeftAsTheyWere) {
    const fs::path x = At("x.cnt");
    ContOk({"pack", x.string(), MakeFile("a", Pattern(1000, 1)).string()});
    const std::string before = ReadAll(x);
    MakeFile("new", Pattern(10, 2));

    // A name it holds, without --replace: nothing at all is added.
    Outcome o = Cont({"add", x.string(), At("new").string(), At("a").string()});
    ExpectError(o, "'a'", "--replace");
    EXPECT_TRUE(ReadAll(x) == before);

    // Open in another program.
    const int other = open(x.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(0, flock(other, LOCK_SH));
    o = Cont({"add", x.string(), At("new").string()});
    close(other);
    ExpectError(o, "open in another program", "E_ACCESSDENIED");
    EXPECT_TRUE(ReadAll(x) == before);

    // Not a container.
    const fs::path notes = MakeFile("notes.txt", "not a container\n");
    ExpectError(Cont({"add", notes.string(), At("new").string()}), "notes.txt", "RES_BAD_FORMAT");
    EXPECT_EQ("not a container\n", ReadAll(notes));

    // Usage errors touch nothing.
    EXPECT_EQ(2, Cont({"add", x.string()}).status);
    EXPECT_EQ(2, Cont({"add", x.string(), At("new").string(), At("a").string(), "--name", "n"}).status);
    EXPECT_EQ(2, Cont({"add", x.string(), "-"}).status);
    EXPECT_TRUE(ReadAll(x) == before);
}

}  // namespace
