#include "util/compact_string.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "util/text.h"

namespace {

std::string Text(const CompactString& s) { return std::string(s.GetChars(), s.GetLength()); }

// Checks the value's invariants: the length matches the characters and a
// zero byte follows them.
void ExpectHolds(const CompactString& s, const std::string& expected) {
    ASSERT_EQ(s.GetLength(), expected.size());
    EXPECT_EQ(Text(s), expected);
    EXPECT_EQ(s.GetChars()[s.GetLength()], 0);
    EXPECT_EQ(s.IsEmpty(), expected.empty());
}

// Neither injected allocation failures nor the multi-byte mode are left
// behind for the next test.
class CompactStringTest : public ::testing::Test {
protected:
    void SetUp() override { m_multiByte = MultiByteMode(); }
    void TearDown() override {
        CompactString::FailNextAllocations(0);
        SetMultiByteMode(m_multiByte);
    }

private:
    bool m_multiByte = false;
};

// ---- inline and heap storage ----

TEST_F(CompactStringTest, EveryLengthAroundTheInlineLimitKeepsItsCharacters) {
    const std::string source = "abcdefghijklmnopqrstuvwxyz";
    for (uint32_t n = 0; n <= 20; ++n) {
        SCOPED_TRACE(n);
        CompactString s(source.c_str(), n);
        ExpectHolds(s, source.substr(0, n));
        EXPECT_EQ(s.IsHeap(), n > CompactString::kInlineCapacity);
    }
}

TEST_F(CompactStringTest, FifteenCharactersUseTheTagByteAsTerminator) {
    CompactString s("123456789012345");
    EXPECT_FALSE(s.IsHeap());
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&s);
    EXPECT_EQ(bytes[15], 0);
    EXPECT_EQ(static_cast<const void*>(s.GetChars()), static_cast<const void*>(&s));
    CompactString t("1234567890123456");
    EXPECT_TRUE(t.IsHeap());
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&t)[15], CompactString::kHeapTag);
}

TEST_F(CompactStringTest, NullAndMeasuredConstruction) {
    ExpectHolds(CompactString(nullptr, static_cast<uint32_t>(-1)), "");
    ExpectHolds(CompactString(static_cast<const char*>(nullptr)), "");
    ExpectHolds(CompactString(nullptr, 5), "");
    ExpectHolds(CompactString("abc", static_cast<uint32_t>(-1)), "abc");
    // An explicit length keeps zero bytes.
    ExpectHolds(CompactString("a\0b", 3), std::string("a\0b", 3));
}

TEST_F(CompactStringTest, GrowingInlineMovesToHeapAndEmptyReturnsInline) {
    CompactString s("abcdefghijklmn");
    s.AppendChar('o');
    EXPECT_FALSE(s.IsHeap());
    s.AppendChar('p');
    EXPECT_TRUE(s.IsHeap());
    ExpectHolds(s, "abcdefghijklmnop");
    s.Empty();
    EXPECT_FALSE(s.IsHeap());
    ExpectHolds(s, "");
}

// ---- sharing and copy-on-write ----

TEST_F(CompactStringTest, CopiesShareTheBlockAndChangesAreNotSeenByOthers) {
    const std::string text = "a string too long to be inline";
    CompactString a(text.c_str());
    EXPECT_EQ(a.ShareCount(), 1);
    CompactString b(a);
    CompactString c;
    c = a;
    EXPECT_EQ(a.ShareCount(), 3);
    EXPECT_EQ(a.GetChars(), b.GetChars());
    EXPECT_EQ(a.GetChars(), c.GetChars());

    b.Append("!");
    EXPECT_EQ(a.ShareCount(), 2);
    EXPECT_EQ(b.ShareCount(), 1);
    ExpectHolds(a, text);
    ExpectHolds(b, text + "!");
    ExpectHolds(c, text);

    char* p = c.GetWritableBuffer(0);
    ASSERT_NE(p, nullptr);
    p[0] = 'X';
    c.ReleaseBuffer(static_cast<int32_t>(text.size()));
    ExpectHolds(a, text);
    EXPECT_EQ(c.GetChars()[0], 'X');
    EXPECT_EQ(a.ShareCount(), 1);
}

TEST_F(CompactStringTest, SelfAndSharerAssignmentKeepTheBlockAlive) {
    CompactString a("a string too long to be inline");
    CompactString& alias = a;
    a = alias;
    ExpectHolds(a, "a string too long to be inline");
    EXPECT_EQ(a.ShareCount(), 1);
    CompactString b(a);
    b = a;
    EXPECT_EQ(a.ShareCount(), 2);
    a = a.GetChars() + 2;  // text from inside the string itself
    ExpectHolds(a, "string too long to be inline");
    ExpectHolds(b, "a string too long to be inline");
    EXPECT_EQ(b.ShareCount(), 1);
}

TEST_F(CompactStringTest, SharingSaturatesAt255AndResumesAfterARelease) {
    CompactString original("a string too long to be inline");
    std::vector<std::unique_ptr<CompactString>> sharers;
    for (int i = 0; i < 254; ++i) sharers.push_back(std::make_unique<CompactString>(original));
    EXPECT_EQ(original.ShareCount(), 255);

    CompactString own(original);  // the count must not wrap
    EXPECT_NE(own.GetChars(), original.GetChars());
    EXPECT_EQ(own.ShareCount(), 1);
    EXPECT_EQ(original.ShareCount(), 255);
    ExpectHolds(own, Text(original));

    CompactString assigned;
    assigned = original;
    EXPECT_NE(assigned.GetChars(), original.GetChars());
    EXPECT_EQ(original.ShareCount(), 255);

    sharers.pop_back();
    EXPECT_EQ(original.ShareCount(), 254);
    CompactString again(original);
    EXPECT_EQ(again.GetChars(), original.GetChars());
    EXPECT_EQ(original.ShareCount(), 255);

    sharers.clear();
    EXPECT_EQ(original.ShareCount(), 2);  // original and again
}

TEST_F(CompactStringTest, SaturatedShortHeapStringCopiesInline) {
    CompactString s("a string too long to be inline");
    s.ReleaseBuffer(3);  // stays on the heap with three characters
    EXPECT_TRUE(s.IsHeap());
    std::vector<std::unique_ptr<CompactString>> sharers;
    for (int i = 0; i < 254; ++i) sharers.push_back(std::make_unique<CompactString>(s));
    CompactString copy(s);
    EXPECT_FALSE(copy.IsHeap());
    ExpectHolds(copy, "a s");
}

TEST_F(CompactStringTest, MakeUniqueGivesASharedStringItsOwnCopy) {
    CompactString a("a string too long to be inline");
    CompactString b(a);
    b.MakeUnique();
    EXPECT_NE(a.GetChars(), b.GetChars());
    EXPECT_EQ(a.ShareCount(), 1);
    EXPECT_EQ(b.ShareCount(), 1);
    EXPECT_EQ(a, b);
}

// ---- writable buffer ----

TEST_F(CompactStringTest, WritableBufferKeepsTheLengthUntilReleased) {
    CompactString s("abc");
    char* p = s.GetWritableBuffer(100);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(s.GetLength(), 3u);
    EXPECT_STREQ(p, "abc");
    std::memset(p, 'z', 100);
    p[100] = 0;
    s.ReleaseBuffer();
    ExpectHolds(s, std::string(100, 'z'));
}

TEST_F(CompactStringTest, WritableBufferInlineTakesFifteenCharacters) {
    CompactString s;
    char* p = s.GetWritableBuffer(15);
    ASSERT_EQ(p, s.GetChars());
    std::memcpy(p, "123456789012345", 16);  // the zero lands on the tag byte
    s.ReleaseBuffer(-1);
    EXPECT_FALSE(s.IsHeap());
    ExpectHolds(s, "123456789012345");
    p = s.GetWritableBuffer(4);
    std::memcpy(p, "wxyz", 5);
    s.ReleaseBuffer(-1);
    ExpectHolds(s, "wxyz");
}

TEST_F(CompactStringTest, ReleaseBufferNeverReachesBeyondTheRoomGiven) {
    CompactString s("abc");
    char* p = s.GetWritableBuffer(20);
    ASSERT_NE(p, nullptr);
    std::memset(p, 'q', 21);  // no terminator within the room
    s.ReleaseBuffer(-1);
    ExpectHolds(s, std::string(20, 'q'));
    s.GetWritableBuffer(20);
    s.ReleaseBuffer(5000);
    EXPECT_EQ(s.GetLength(), 20u);

    CompactString small("ab");
    small.GetWritableBuffer(2);
    small.ReleaseBuffer(1000);
    EXPECT_EQ(small.GetLength(), CompactString::kInlineCapacity);
}

TEST_F(CompactStringTest, ShortenedHeapStringStaysHeapAndGrowsAgain) {
    CompactString s("abcdefghijklmnopqrstuvwxyz");
    s.ReleaseBuffer(4);
    EXPECT_TRUE(s.IsHeap());
    ExpectHolds(s, "abcd");
    s.Append("EFGHIJKLMNOPQRSTUVWXYZ0123456789");
    ExpectHolds(s, "abcdEFGHIJKLMNOPQRSTUVWXYZ0123456789");
}

// ---- Format ----

TEST_F(CompactStringTest, FormatShortAndLongResults) {
    CompactString s("previous content that is long");
    EXPECT_EQ(s.Format("%s-%d", "x", 42), 4);
    ExpectHolds(s, "x-42");
    EXPECT_FALSE(s.IsHeap());

    const std::string big(600, 'k');
    EXPECT_EQ(s.Format("<%s>", big.c_str()), 602);
    ExpectHolds(s, "<" + big + ">");

    const std::string exact(512, 'e');
    EXPECT_EQ(s.Format("%s", exact.c_str()), 512);
    ExpectHolds(s, exact);
}

TEST_F(CompactStringTest, FormatTruncatesBeyondTheLastAttemptAndReportsIt) {
    const std::string huge(200000, 'h');
    CompactString s;
    EXPECT_LT(s.Format("%s", huge.c_str()), 0);
    ExpectHolds(s, huge.substr(0, 131072));
}

TEST_F(CompactStringTest, FormatMayUseTheStringItself) {
    CompactString s("a string too long to be inline");
    s.Format("%s/%s", s.GetChars(), s.GetChars());
    ExpectHolds(s, "a string too long to be inline/a string too long to be inline");
    CompactString shared(s);
    s.Format("%d", 7);
    ExpectHolds(s, "7");
    ExpectHolds(shared, "a string too long to be inline/a string too long to be inline");
}

// ---- Replace, PercentDecode, Substring, Find ----

TEST_F(CompactStringTest, ReplaceFirstOrAll) {
    CompactString s("a\\b\\c");
    EXPECT_TRUE(s.Replace("\\", "/", true));
    ExpectHolds(s, "a/b/c");
    s = "a\\b\\c";
    EXPECT_TRUE(s.Replace("\\", "/", false));
    ExpectHolds(s, "a/b\\c");
    EXPECT_FALSE(s.Replace("?", "/", true));
    ExpectHolds(s, "a/b\\c");
}

TEST_F(CompactStringTest, ReplaceNeverSearchesItsOwnReplacement) {
    CompactString s("xx");
    EXPECT_TRUE(s.Replace("x", "xx", true));
    ExpectHolds(s, "xxxx");
    s = "aaa";
    EXPECT_TRUE(s.Replace("aa", "b", true));
    ExpectHolds(s, "ba");
    s = "one two one two one";
    EXPECT_TRUE(s.Replace("one", "", true));
    ExpectHolds(s, " two  two ");
}

TEST_F(CompactStringTest, ReplaceRefusesMissingOrEmptyPattern) {
    CompactString s("abc");
    EXPECT_FALSE(s.Replace(nullptr, "x", true));
    EXPECT_FALSE(s.Replace("", "x", true));
    EXPECT_FALSE(s.Replace("b", nullptr, true));
    ExpectHolds(s, "abc");
}

TEST_F(CompactStringTest, ReplaceLeavesSharersAlone) {
    CompactString a("path\\to\\some\\long\\file");
    CompactString b(a);
    EXPECT_TRUE(b.Replace("\\", "/", true));
    ExpectHolds(a, "path\\to\\some\\long\\file");
    ExpectHolds(b, "path/to/some/long/file");
}

TEST_F(CompactStringTest, PercentDecode) {
    CompactString s("a%2fb%2Gc%");
    s.PercentDecode();
    ExpectHolds(s, "a/b c%");
    s = "x%4";
    s.PercentDecode();
    ExpectHolds(s, "x%4");
    s = "%00%41";
    s.PercentDecode();
    ExpectHolds(s, std::string("\0A", 2));
    s = "%e3%81%82%FF";
    s.PercentDecode();
    ExpectHolds(s, "\xE3\x81\x82\xFF");
}

TEST_F(CompactStringTest, PercentDecodeLeavesSharersAlone) {
    CompactString a("a%20long%20enough%20text");
    CompactString b(a);
    b.PercentDecode();
    ExpectHolds(a, "a%20long%20enough%20text");
    ExpectHolds(b, "a long enough text");
}

TEST_F(CompactStringTest, SubstringClampsStartAndCount) {
    CompactString s("abcdef");
    ExpectHolds(s.Substring(2, 100), "cdef");
    ExpectHolds(s.Substring(9, 1), "");
    ExpectHolds(s.Substring(1, 2), "bc");
    ExpectHolds(s.Substring(3, 0xFFFFFFFFu), "def");
    ExpectHolds(s.SubstringFrom(6), "");
    ExpectHolds(s.SubstringFrom(99), "");
    CompactString longer("0123456789abcdefghij");
    CompactString tail = longer.SubstringFrom(4);
    ExpectHolds(tail, "456789abcdefghij");
    EXPECT_TRUE(tail.IsHeap());
    EXPECT_FALSE(longer.SubstringFrom(5).IsHeap());
}

TEST_F(CompactStringTest, FindAndReverseFind) {
    EXPECT_EQ(CompactString("cont:///x").Find("://"), 4);
    EXPECT_EQ(CompactString("cont:///x").Find("?"), -1);
    EXPECT_EQ(CompactString("cont:///x").Find(nullptr), -1);
    EXPECT_EQ(CompactString("a/b/c").ReverseFind('/'), 3);
    EXPECT_EQ(CompactString("abc").ReverseFind('/'), -1);
    EXPECT_EQ(CompactString("").ReverseFind('/'), -1);
}

TEST_F(CompactStringTest, FindStepsOverDoubleByteCharacters) {
    // 0x95 0x5C is one character whose trail byte is a backslash.
    const char* text = "\x95\\a\\b\x95\\";
    SetMultiByteMode(true);
    CompactString s(text);
    EXPECT_EQ(s.Find("\\"), 3);
    EXPECT_EQ(s.ReverseFind('\\'), 3);
    EXPECT_TRUE(s.Replace("\\", "/", true));
    ExpectHolds(s, "\x95\\a/b\x95\\");
    SetMultiByteMode(false);
    EXPECT_EQ(CompactString(text).Find("\\"), 1);
    EXPECT_EQ(CompactString(text).ReverseFind('\\'), 6);
}

// ---- appending ----

TEST_F(CompactStringTest, AppendVariants) {
    CompactString s;
    s.Append(nullptr);
    s.Append("abc", 0);
    ExpectHolds(s, "");
    s.Append("abcdef", 3);
    s.Append("-");
    s.Append(CompactString("0123456789abcdef"));
    s.AppendChar('\0');
    ExpectHolds(s, std::string("abc-0123456789abcdef\0", 21));
}

TEST_F(CompactStringTest, AppendOfItselfSurvivesTheBlockMoving) {
    CompactString s("abcdefghij");
    s.Append(s);
    ExpectHolds(s, "abcdefghijabcdefghij");
    s.Append(s.GetChars() + 5, 10);
    ExpectHolds(s, "abcdefghijabcdefghijfghijabcde");
    s.Append(s.GetChars() + 25, 100);  // cannot reach past the end
    ExpectHolds(s, "abcdefghijabcdefghijfghijabcdeabcde");
}

// ---- limits and failures ----

TEST_F(CompactStringTest, LengthsBeyond24BitsAreRefused) {
    const uint32_t limit = CompactString::kMaxLength;
    std::vector<char> big(static_cast<size_t>(limit) + 2, 'm');
    big.back() = 0;
    CompactString tooLong(big.data(), limit + 1);
    ExpectHolds(tooLong, "");
    CompactString measured(big.data());
    ExpectHolds(measured, "");

    CompactString atLimit(big.data(), limit);
    EXPECT_EQ(atLimit.GetLength(), limit);
    atLimit.AppendChar('x');
    EXPECT_EQ(atLimit.GetLength(), limit);
    EXPECT_EQ(atLimit.GetChars()[limit], 0);
    EXPECT_EQ(atLimit.GetWritableBuffer(limit + 1), nullptr);

    CompactString s("abc");
    EXPECT_EQ(s.GetWritableBuffer(0xFFFFFFFFu), nullptr);
    ExpectHolds(s, "abc");
}

TEST_F(CompactStringTest, ConstructionWithoutMemoryGivesTheEmptyString) {
    CompactString::FailNextAllocations(1);
    CompactString s("a string too long to be inline");
    ExpectHolds(s, "");
    CompactString::FailNextAllocations(1);
    CompactString inlineText("short");  // needs no block
    ExpectHolds(inlineText, "short");
}

TEST_F(CompactStringTest, ChangesWithoutMemoryLeaveTheStringAsItWas) {
    CompactString a("a string too long to be inline");
    CompactString b(a);

    CompactString::FailNextAllocations(1);
    b.Append("more");
    ExpectHolds(b, "a string too long to be inline");
    EXPECT_EQ(a.ShareCount(), 2);

    CompactString::FailNextAllocations(1);
    EXPECT_EQ(b.GetWritableBuffer(5), nullptr);
    ExpectHolds(b, "a string too long to be inline");
    b.ReleaseBuffer(2);  // a caller that did not check must not reach a
    ExpectHolds(a, "a string too long to be inline");
    b = a;

    CompactString::FailNextAllocations(1);
    b.PercentDecode();
    EXPECT_EQ(a.ShareCount(), 2);

    CompactString::FailNextAllocations(1);
    EXPECT_FALSE(b.Replace("string", "text", true));
    ExpectHolds(b, "a string too long to be inline");

    CompactString::FailNextAllocations(1);
    EXPECT_LT(b.Format("%s", "new"), 0);
    ExpectHolds(b, "a string too long to be inline");

    CompactString solo("a string too long to be inline");
    CompactString::FailNextAllocations(1);
    solo.Append("!");  // the block cannot grow in place
    ExpectHolds(solo, "a string too long to be inline");
    solo.Append("!");
    ExpectHolds(solo, "a string too long to be inline!");
}

TEST_F(CompactStringTest, EqualityComparesLengthAndBytes) {
    EXPECT_EQ(CompactString("abc"), CompactString("abc"));
    EXPECT_NE(CompactString("abc"), CompactString("abd"));
    EXPECT_NE(CompactString("abc"), CompactString("abc", 2));
    EXPECT_NE(CompactString("a\0b", 3), CompactString("a\0c", 3));
    CompactString heap("abcdefghijklmnopqrstuvwxyz");
    heap.ReleaseBuffer(3);
    EXPECT_EQ(heap, CompactString("abc"));
}

}  // namespace
