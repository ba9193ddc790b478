#include "util/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Runs with the multi-byte mode given and restores the mode found.
class TextModeTest : public ::testing::Test {
protected:
    void SetUp() override { m_saved = MultiByteMode(); }
    void TearDown() override { SetMultiByteMode(m_saved); }
    void Use(bool multiByte) {
        SetMultiByteMode(multiByte);
        ASSERT_EQ(MultiByteMode(), multiByte);
    }

private:
    bool m_saved = false;
};

// The same expectations hold in both modes for texts without lead bytes.
class TextBothModesTest : public TextModeTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        TextModeTest::SetUp();
        Use(GetParam());
    }
};

INSTANTIATE_TEST_SUITE_P(Modes, TextBothModesTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "MultiByte" : "SingleByte"; });

// Shift-JIS: 0x95 0x5C is one character whose trail byte is a backslash,
// 0x83 0x41 one whose trail byte is 'A'.
const char kTrailBackslash[] = "\x95\\";
const char kTrailA[] = "\x83" "A";

TEST_P(TextBothModesTest, NextCharAdvancesAtLeastOneByte) {
    EXPECT_EQ(NextChar(nullptr), nullptr);
    const char* text = "ab";
    EXPECT_EQ(NextChar(text), text + 1);
    EXPECT_EQ(NextChar(text + 2), text + 3);  // at the terminator
}

TEST_P(TextBothModesTest, PlainSearches) {
    const char* text = "a/b/c";
    EXPECT_EQ(FindChar(text, '/'), text + 1);
    EXPECT_EQ(FindLastChar(text, '/'), text + 3);
    EXPECT_EQ(FindChar(text, '?'), nullptr);
    EXPECT_EQ(FindLastChar(text, '?'), nullptr);
    EXPECT_EQ(FindChar(static_cast<const char*>(nullptr), '/'), nullptr);
    EXPECT_EQ(FindLastChar(static_cast<const char*>(nullptr), '/'), nullptr);
    EXPECT_EQ(FindText("cont:///x", "://"), std::strstr("cont:///x", "://"));
    const char* url = "cont:///x?file=y";
    EXPECT_EQ(FindText(url, "?file="), url + 9);
    EXPECT_EQ(FindText(url, "file=z"), nullptr);
    EXPECT_EQ(FindText(url, "cont:///x?file=yy"), nullptr);  // longer than the text
    EXPECT_EQ(FindText("", "x"), nullptr);
    EXPECT_EQ(FindText(static_cast<const char*>(nullptr), "x"), nullptr);
    EXPECT_EQ(FindText(url, nullptr), nullptr);
}

TEST_P(TextBothModesTest, FindTextAtTheVeryEnd) {
    const char* text = "abcabd";
    EXPECT_EQ(FindText(text, "abd"), text + 3);
    EXPECT_EQ(FindText(text, "d"), text + 5);
}

TEST_P(TextBothModesTest, CopyTextKeepsAtMostCapacityMinusOne) {
    char dst[8];
    std::memset(dst, 'x', sizeof dst);
    EXPECT_EQ(CopyText(dst, "abc", sizeof dst), dst);
    EXPECT_STREQ(dst, "abc");
    for (size_t i = 3; i < sizeof dst; ++i) EXPECT_EQ(dst[i], 0) << i;  // zero padded

    CopyText(dst, "abcdefghijk", sizeof dst);
    EXPECT_STREQ(dst, "abcdefg");

    char guard[4] = {'g', 'g', 'g', 'g'};
    CopyText(guard, "abcdef", 3);
    EXPECT_STREQ(guard, "ab");
    EXPECT_EQ(guard[3], 'g');  // nothing written past the capacity
}

TEST_P(TextBothModesTest, CopyTextIgnoresNullAndZeroCapacity) {
    char dst[4] = {'k', 'e', 'e', 0};
    CopyText(dst, "zz", 0);
    CopyText(dst, nullptr, sizeof dst);
    EXPECT_STREQ(dst, "kee");
    EXPECT_EQ(CopyText(nullptr, "zz", 4), nullptr);
}

TEST_P(TextBothModesTest, AppendTextNeverExceedsTheCapacity) {
    char dst[8] = "ab";
    AppendText(dst, "cd", sizeof dst);
    EXPECT_STREQ(dst, "abcd");
    AppendText(dst, "efghij", sizeof dst);
    EXPECT_STREQ(dst, "abcdefg");
    AppendText(dst, "x", sizeof dst);  // already full
    EXPECT_STREQ(dst, "abcdefg");
    AppendText(dst, "x", 0);
    AppendText(dst, nullptr, sizeof dst);
    EXPECT_STREQ(dst, "abcdefg");
}

TEST_P(TextBothModesTest, AppendTextToUnterminatedDestinationWritesNothing) {
    char dst[6] = {'a', 'b', 'c', 'd', 'e', 'f'};
    AppendText(dst, "xyz", 4);  // no terminator within the capacity
    EXPECT_EQ(std::string(dst, 6), "abcdef");
}

TEST_P(TextBothModesTest, ReplaceAndDuplicateText) {
    char* text = nullptr;
    EXPECT_STREQ(ReplaceText(&text, "first"), "first");
    EXPECT_STREQ(ReplaceText(&text, "second"), "second");
    EXPECT_EQ(ReplaceText(&text, nullptr), nullptr);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(ReplaceText(nullptr, "x"), nullptr);
    char* copy = DuplicateText("dup");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "dup");
    delete[] copy;
    EXPECT_EQ(DuplicateText(nullptr), nullptr);
}

TEST_P(TextBothModesTest, CompareNoCaseFoldsOnlyAsciiLetters) {
    EXPECT_EQ(CompareNoCase("Cont", "cONT"), 0);
    EXPECT_LT(CompareNoCase("abc", "abd"), 0);
    EXPECT_GT(CompareNoCase("abc", "ab"), 0);
    EXPECT_NE(CompareNoCase("\xC0", "\xE0"), 0);
    EXPECT_EQ(CompareNoCaseN("FILE=a", "file=b", 5), 0);
    EXPECT_NE(CompareNoCaseN("FILE=a", "file=b", 6), 0);
    EXPECT_EQ(CompareNoCaseN("ab", "AB", 10), 0);
}

// ---- multi-byte mode ----

using TextMultiByteTest = TextModeTest;

TEST_F(TextMultiByteTest, NextCharStepsOverDoubleByteCharacters) {
    Use(true);
    const char* text = "\x95\\x";
    EXPECT_EQ(NextChar(text), text + 2);
    EXPECT_EQ(NextChar(text + 2), text + 3);
    const char* lone = "\x95";  // a lead byte before the terminator stands alone
    EXPECT_EQ(NextChar(lone), lone + 1);
    Use(false);
    EXPECT_EQ(NextChar(text), text + 1);
}

TEST_F(TextMultiByteTest, FindCharNeverReportsATrailByte) {
    const std::string text = std::string("a") + kTrailBackslash + "b\\c" + kTrailBackslash;
    const char* s = text.c_str();
    Use(true);
    EXPECT_EQ(FindChar(s, '\\'), s + 4);
    EXPECT_EQ(FindLastChar(s, '\\'), s + 4);
    EXPECT_EQ(FindChar(kTrailBackslash, '\\'), nullptr);
    EXPECT_EQ(FindLastChar(kTrailBackslash, '\\'), nullptr);
    EXPECT_EQ(FindChar(kTrailA, 'A'), nullptr);
    Use(false);
    EXPECT_EQ(FindChar(s, '\\'), s + 2);
    EXPECT_EQ(FindLastChar(s, '\\'), s + 7);
}

TEST_F(TextMultiByteTest, FindCharNeverReportsALeadByte) {
    const char* s = "\x83" "A\x83";  // a pair, then a lone lead byte at the end
    Use(true);
    EXPECT_EQ(FindChar(s, '\x83'), s + 2);
    EXPECT_EQ(FindLastChar(s, '\x83'), s + 2);
    const char* pairOnly = "\x83" "A";
    EXPECT_EQ(FindChar(pairOnly, '\x83'), nullptr);
}

TEST_F(TextMultiByteTest, FindTextNeverStartsOnATrailByte) {
    const std::string text = std::string("x") + kTrailA + "B" + "AB";
    const char* s = text.c_str();
    Use(true);
    EXPECT_EQ(FindText(s, "AB"), s + 4);
    EXPECT_EQ(FindText(kTrailA, "A"), nullptr);
    Use(false);
    EXPECT_EQ(FindText(s, "AB"), s + 2);
}

TEST_F(TextMultiByteTest, FindTextNeverEndsInsideACharacter) {
    // "x\x83" matches the bytes of "x" + the lead byte of a pair, but the
    // match would end between the pair's two bytes.
    const std::string text = std::string("x") + kTrailA + "x\x83";
    const char* s = text.c_str();
    Use(true);
    EXPECT_EQ(FindText(s, "x\x83"), s + 3);  // the lone lead byte at the end
    EXPECT_EQ(FindText(kTrailA, "\x83"), nullptr);
    EXPECT_EQ(FindText(s, kTrailA), s + 1);  // whole characters still match
    Use(false);
    EXPECT_EQ(FindText(s, "x\x83"), s);
}

TEST_F(TextMultiByteTest, FindTextOnEmptyText) {
    Use(true);
    EXPECT_EQ(FindText("", ""), nullptr);
    EXPECT_EQ(FindText("", "a"), nullptr);
}

TEST_F(TextMultiByteTest, ModeSwitchesBothWays) {
    Use(true);
    EXPECT_TRUE(MultiByteMode());
    Use(false);
    EXPECT_FALSE(MultiByteMode());
}

}  // namespace
