#include "util/parsed_url.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "support/host_doubles.h"
#include "util/text.h"

namespace {

// One parsed URL and what its two sets hold.
class Parsed {
public:
    explicit Parsed(const char* url) : m_url(url), m_properties(m_url.GetProperties()), m_options(m_url.GetOptions()) {}
    ~Parsed() {
        if (m_properties) m_properties->Release();
        if (m_options) m_options->Release();
    }

    int32_t Result() const { return m_url.Result(); }
    std::optional<std::string> Text(const char* key) const { return TextOf(m_properties, key); }
    std::optional<uint32_t> Number(const char* key) const { return NumberOf(m_properties, key); }
    std::optional<std::string> OptionText(const char* key) const { return TextOf(m_options, key); }
    std::optional<uint32_t> OptionNumber(const char* key) const { return NumberOf(m_options, key); }
    bool Has(const char* key) const { return Text(key) || Number(key); }
    int OptionCount() const { return Count(m_options); }
    IQLXValues* Properties() const { return m_properties; }
    IQLXValues* Options() const { return m_options; }

private:
    // Texts are buffers holding the text and its zero byte.
    static std::optional<std::string> TextOf(IQLXValues* set, const char* key) {
        IQLXBuffer* buffer = nullptr;
        if (!set || set->GetBufferProperty(key, &buffer) != S_OK) return std::nullopt;
        std::string bytes = host::BytesOf(buffer);
        buffer->Release();
        EXPECT_FALSE(bytes.empty()) << key;
        if (bytes.empty()) return bytes;
        EXPECT_EQ(bytes.back(), '\0') << key;
        EXPECT_EQ(std::strlen(bytes.c_str()), bytes.size() - 1) << key;
        bytes.pop_back();
        return bytes;
    }
    static std::optional<uint32_t> NumberOf(IQLXValues* set, const char* key) {
        uint32_t value = 0;
        if (!set || set->GetNumberProperty(key, &value) != S_OK) return std::nullopt;
        return value;
    }
    static int Count(IQLXValues* set) {
        int n = 0;
        const char* key = nullptr;
        uint32_t number = 0;
        IQLXBuffer* buffer = nullptr;
        for (int32_t r = set->FirstNumberProperty(&key, &number); r == S_OK; r = set->NextNumberProperty(&key, &number)) ++n;
        for (int32_t r = set->FirstBufferProperty(&key, &buffer); r == S_OK; r = set->NextBufferProperty(&key, &buffer)) {
            buffer->Release();
            ++n;
        }
        return n;
    }

    CParsedUrl m_url;
    IQLXValues* m_properties;
    IQLXValues* m_options;
};

using Str = std::optional<std::string>;
using Num = std::optional<uint32_t>;

// ---- schemes and ports ----

TEST(UrlSchemes, RtspUrlWithPortPathAndQuery) {
    Parsed p("rtsp://h:8554/dir/clip.dat?Start=1:30&title=x");
    EXPECT_EQ(p.Result(), S_OK);
    EXPECT_EQ(p.Text("scheme"), Str("rtsp"));
    EXPECT_EQ(p.Number("protocol"), Num(2));
    EXPECT_EQ(p.Text("host"), Str("h"));
    EXPECT_EQ(p.Number("port"), Num(8554));
    EXPECT_EQ(p.Text("resource"), Str("dir/clip.dat?Start=1:30&title=x"));
    EXPECT_EQ(p.Text("fullpath"), Str("/dir/clip.dat"));
    EXPECT_EQ(p.Text("path"), Str("/dir"));
    EXPECT_EQ(p.Text("url"), Str("rtsp://h:8554/dir/clip.dat?Start=1:30&title=x"));
    EXPECT_EQ(p.OptionNumber("start"), Num(90000));
    EXPECT_EQ(p.OptionText("Start"), std::nullopt);
    EXPECT_EQ(p.OptionText("title"), Str("x"));
    EXPECT_EQ(p.OptionCount(), 2);
}

TEST(UrlSchemes, DefaultPortsAndPathForms) {
    Parsed rtsp("rtsp://h");
    EXPECT_EQ(rtsp.Result(), S_OK);
    EXPECT_EQ(rtsp.Number("port"), Num(554));
    EXPECT_EQ(rtsp.Text("resource"), Str(""));
    EXPECT_EQ(rtsp.Text("fullpath"), Str(""));
    EXPECT_EQ(rtsp.Text("path"), Str(""));

    Parsed http("http://h");
    EXPECT_EQ(http.Result(), S_OK);
    EXPECT_EQ(http.Number("port"), Num(80));
    EXPECT_EQ(http.Number("protocol"), Num(0));
    EXPECT_FALSE(http.Has("resource"));
    EXPECT_FALSE(http.Has("fullpath"));
    EXPECT_FALSE(http.Has("path"));

    Parsed chttp("chttp://h/x");
    EXPECT_EQ(chttp.Number("protocol"), Num(0));
    EXPECT_EQ(chttp.Number("port"), Num(80));

    Parsed https("https://h");
    EXPECT_EQ(https.Result(), S_OK);
    EXPECT_EQ(https.Number("protocol"), Num(5));
    EXPECT_EQ(https.Number("port"), Num(443));
}

TEST(UrlSchemes, KtmNeedsAPathButKeepsHostAndPort) {
    Parsed bare("ktm://h?a=1");
    EXPECT_EQ(bare.Result(), RES_INVALID_PATH);
    EXPECT_EQ(bare.Text("host"), Str("h?a=1"));
    EXPECT_EQ(bare.Number("port"), Num(7070));
    EXPECT_EQ(bare.Number("protocol"), Num(1));
    EXPECT_EQ(bare.OptionCount(), 0);

    Parsed empty("ktm://h/");
    EXPECT_EQ(empty.Result(), RES_INVALID_PATH);

    Parsed good("ktm://h/s");
    EXPECT_EQ(good.Result(), S_OK);
    EXPECT_EQ(good.Text("fullpath"), Str("/s"));
    EXPECT_EQ(good.Text("path"), Str("/"));
}

TEST(UrlSchemes, HttpsRefusesAnEmptyPathAfterTheSlash) {
    EXPECT_EQ(Parsed("https://h/").Result(), RES_INVALID_PATH);
    EXPECT_EQ(Parsed("https://h/x").Result(), S_OK);
    // http and rtsp accept it.
    EXPECT_EQ(Parsed("http://h/").Result(), S_OK);
    Parsed rtsp("rtsp://h/");
    EXPECT_EQ(rtsp.Result(), S_OK);
    EXPECT_EQ(rtsp.Text("resource"), Str(""));
}

TEST(UrlSchemes, SchemeMatchesIgnoringCaseAndKeepsItsSpelling) {
    Parsed p("RtSp://H:1/a");
    EXPECT_EQ(p.Number("protocol"), Num(2));
    EXPECT_EQ(p.Text("scheme"), Str("RtSp"));
    EXPECT_EQ(p.Text("host"), Str("H"));
    EXPECT_EQ(p.Number("port"), Num(1));
}

TEST(UrlSchemes, OtherSchemesArePathOnly) {
    Parsed p("cont:x/y");
    EXPECT_EQ(p.Result(), S_OK);
    EXPECT_EQ(p.Number("protocol"), Num(3));
    EXPECT_EQ(p.Text("scheme"), Str("cont"));
    EXPECT_FALSE(p.Has("host"));
    EXPECT_FALSE(p.Has("port"));
    EXPECT_EQ(p.Text("fullpath"), Str("/x/y"));
}

TEST(UrlSchemes, OversizedPortWrapsInsteadOfOverflowing) {
    Parsed p("http://h:99999999999/x");
    EXPECT_EQ(p.Number("port"), Num(static_cast<uint32_t>(99999999999ull)));
    EXPECT_EQ(Parsed("http://h:12ab/x").Number("port"), Num(12));
}

// ---- user information ----

TEST(UrlUserInformation, NameAndPasswordBeforeTheHost) {
    Parsed p("http://user:secret@h/x");
    EXPECT_EQ(p.Result(), S_OK);
    EXPECT_EQ(p.Text("username"), Str("user"));
    EXPECT_EQ(p.Text("password"), Str("secret"));
    EXPECT_EQ(p.Text("host"), Str("h"));
    EXPECT_EQ(p.Number("port"), Num(80));
    EXPECT_EQ(p.Text("fullpath"), Str("/x"));
}

TEST(UrlUserInformation, NameAloneGivesAnEmptyPassword) {
    Parsed p("http://u@h/x");
    EXPECT_EQ(p.Text("username"), Str("u"));
    EXPECT_EQ(p.Text("password"), Str(""));
    EXPECT_EQ(p.Text("host"), Str("h"));
}

TEST(UrlUserInformation, WithoutASlashTheAtSignBelongsToTheHost) {
    Parsed p("http://u@h");
    EXPECT_EQ(p.Text("host"), Str("u@h"));
    EXPECT_FALSE(p.Has("username"));
    EXPECT_FALSE(p.Has("password"));
}

TEST(UrlUserInformation, ColonAfterTheAtSignIsThePort) {
    Parsed p("http://u@h:81/x");
    EXPECT_EQ(p.Text("username"), Str("u"));
    EXPECT_EQ(p.Text("password"), Str(""));
    EXPECT_EQ(p.Text("host"), Str("h"));
    EXPECT_EQ(p.Number("port"), Num(81));
}

// ---- path properties ----

TEST(UrlPathProperties, ContainerUrlKeepsTheExtraSlash) {
    Parsed p("cont:///C:/x/a.cfs?file=e");
    EXPECT_EQ(p.Result(), S_OK);
    EXPECT_EQ(p.Number("protocol"), Num(3));
    EXPECT_EQ(p.Text("fullpath"), Str("//C:/x/a.cfs"));
    EXPECT_EQ(p.Text("path"), Str("//C:/x"));
    EXPECT_EQ(p.Text("resource"), Str("/C:/x/a.cfs?file=e"));
    EXPECT_EQ(p.OptionText("file"), Str("e"));

    Parsed two("cont://C:/x/a.cfs");
    EXPECT_EQ(two.Text("fullpath"), Str("/C:/x/a.cfs"));
    EXPECT_EQ(two.Text("path"), Str("/C:/x"));
}

TEST(UrlPathProperties, OneSlashOrNoneAfterTheScheme) {
    EXPECT_EQ(Parsed("cont:/a/b").Text("fullpath"), Str("/a/b"));
    EXPECT_EQ(Parsed("cont:a").Text("path"), Str("/"));
}

TEST(UrlPathProperties, PathWithoutSlashIsTheRoot) {
    Parsed p("http://h/file.dat?x=1");
    EXPECT_EQ(p.Text("fullpath"), Str("/file.dat"));
    EXPECT_EQ(p.Text("path"), Str("/"));
}

// ---- options and their types ----

TEST(UrlOptions, DigitsBecomeNumbersUnlessQuoted) {
    Parsed p("rtsp://h/x?a=5&b=007&c=\"7\"&d=x");
    EXPECT_EQ(p.OptionNumber("a"), Num(5));
    EXPECT_EQ(p.OptionNumber("b"), Num(7));
    EXPECT_EQ(p.OptionText("c"), Str("7"));
    EXPECT_EQ(p.OptionNumber("c"), std::nullopt);
    EXPECT_EQ(p.OptionText("d"), Str("x"));
    EXPECT_EQ(p.OptionCount(), 4);
}

TEST(UrlOptions, NamesAndValuesAreTrimmedAndEmptyValuesAreZero) {
    Parsed p("cont:///f?  name  =  va lue  &e=&q= \" in \" junk&z=1");
    EXPECT_EQ(p.OptionText("name"), Str("va lue"));
    EXPECT_EQ(p.OptionNumber("e"), Num(0));
    EXPECT_EQ(p.OptionText("q"), Str("in"));
    EXPECT_EQ(p.OptionNumber("z"), Num(1));
}

TEST(UrlOptions, QuotedValueMayHoldAmpersands) {
    Parsed p("cont:///f?t=\"a&b=c\"&n=2");
    EXPECT_EQ(p.OptionText("t"), Str("a&b=c"));
    EXPECT_EQ(p.OptionNumber("n"), Num(2));
    EXPECT_EQ(p.OptionCount(), 2);
}

TEST(UrlOptions, TimeNamesAreMillisecondsWhateverTheirCase) {
    Parsed p("cont:///f?start=1:00:00.5&END=90&Delay=\"2\"&duration=1:0:0:0&startx=5");
    EXPECT_EQ(p.OptionNumber("Start"), Num(3600500));
    EXPECT_EQ(p.OptionNumber("end"), Num(90000));
    EXPECT_EQ(p.OptionNumber("delay"), Num(2000));
    EXPECT_EQ(p.OptionNumber("Duration"), Num(86400000));
    EXPECT_EQ(p.OptionNumber("startx"), Num(5));
}

TEST(UrlOptions, LaterPairReplacesAnEarlierOneOfTheSameName) {
    Parsed p("cont:///f?file=a&FILE=b");
    EXPECT_EQ(p.OptionText("file"), Str("b"));
    EXPECT_EQ(p.OptionCount(), 1);
}

TEST(UrlOptions, PairWithoutEqualsStopsTheOptions) {
    Parsed none("rtsp://h/x?a");
    EXPECT_EQ(none.Result(), S_OK);
    EXPECT_EQ(none.OptionCount(), 0);
    EXPECT_EQ(none.Text("resource"), Str("x?a"));

    Parsed some("rtsp://h/x?a=1&b&c=3");
    // "b&c" is read as one name up to the next '='.
    EXPECT_EQ(some.OptionNumber("a"), Num(1));
    EXPECT_EQ(some.OptionNumber("b&c"), Num(3));

    Parsed tail("rtsp://h/x?a=1&b");
    EXPECT_EQ(tail.OptionNumber("a"), Num(1));
    EXPECT_EQ(tail.OptionCount(), 1);
}

TEST(UrlOptions, UnclosedQuoteDropsTheQueryFromThePath) {
    Parsed p("rtsp://h/x?a=\"x");
    EXPECT_EQ(p.Result(), S_OK);
    EXPECT_EQ(p.OptionCount(), 0);
    EXPECT_EQ(p.Text("resource"), Str("x"));
    EXPECT_EQ(p.Text("fullpath"), Str("/x"));
    EXPECT_EQ(p.Text("path"), Str("/"));

    Parsed kept("rtsp://h/d/x?a=1&b=\"open");
    EXPECT_EQ(kept.OptionNumber("a"), Num(1));
    EXPECT_EQ(kept.Text("resource"), Str("d/x"));
}

TEST(UrlOptions, OptionsAreSkippedWhenTheParseFailed) {
    Parsed p("cont:?file=e");
    EXPECT_EQ(p.Result(), S_OK);  // the path text is "?file=e"
    EXPECT_EQ(p.OptionText("file"), Str("e"));

    Parsed failed("http://h:/x?file=e");
    EXPECT_EQ(failed.Result(), RES_INVALID_HOST);
    EXPECT_EQ(failed.OptionCount(), 0);
}

// ---- "$" start time ----

TEST(UrlStartTime, DollarAndTimeBecomeAStartOption) {
    Parsed p("rtsp://h/clip.dat$2:00");
    EXPECT_EQ(p.Text("url"), Str("rtsp://h/clip.dat?start=2:00"));
    EXPECT_EQ(p.OptionNumber("start"), Num(120000));
    EXPECT_EQ(p.Text("fullpath"), Str("/clip.dat"));
}

TEST(UrlStartTime, DollarWithoutATimeStaysInThePath) {
    Parsed p("rtsp://h/a$b");
    EXPECT_EQ(p.Text("url"), Str("rtsp://h/a$b"));
    EXPECT_EQ(p.Text("fullpath"), Str("/a$b"));
    EXPECT_EQ(p.OptionCount(), 0);
}

TEST(UrlStartTime, FirstDollarWithATimeWins) {
    Parsed p("rtsp://h/a$b$0$5$7");
    EXPECT_EQ(p.Text("url"), Str("rtsp://h/a$b$0?start=5$7"));
    EXPECT_EQ(p.OptionNumber("start"), Num(5000));
}

TEST(UrlStartTime, MarkAgreesWithReadingEachTimeAlone) {
    const char* texts[] = {"a$b$0$5$7", "$$$:1", "x$:::1", "x$::::1", "$1:2:3:4$", "a$.5", "$b.x$c.3", "$$$$", "", "$-1", "$ 2"};
    for (const char* text : texts) {
        const char* expected = nullptr;
        for (const char* d = std::strchr(text, '$'); d; d = std::strchr(d + 1, '$')) {
            if (CParsedUrl::ParseTimeOffset(d + 1) != 0) {
                expected = d;
                break;
            }
        }
        EXPECT_EQ(CParsedUrl::FindStartTimeMark(text), expected) << text;
    }
}

// ---- dot segments ----

TEST(UrlDotSegments, SingleAndDoubleDotsFold) {
    EXPECT_EQ(Parsed("http://h/a/../b/./c").Text("url"), Str("http://h/b/c"));
    // The host is just another segment.
    EXPECT_EQ(Parsed("http://h/../x").Text("url"), Str("http://x"));
}

TEST(UrlDotSegments, TooManyDoubleDotsLeaveTheTextAlone) {
    EXPECT_EQ(CParsedUrl::CollapseDotSegments("a/../../b"), nullptr);
    EXPECT_EQ(Parsed("a/../../b").Text("url"), Str("a/../../b"));
}

TEST(UrlDotSegments, BackslashesComeOutAsSlashesAndTheQueryIsKept) {
    char* folded = CParsedUrl::CollapseDotSegments("cont:\\\\C:\\x\\.\\a.cfs?file=.\\..\\b");
    ASSERT_NE(folded, nullptr);
    EXPECT_STREQ(folded, "cont://C:/x/a.cfs?file=.\\..\\b");
    delete[] folded;
}

TEST(UrlDotSegments, WhatFoldsAndWhatIsLeftAlone) {
    const struct {
        const char* text;
        const char* folded;  // null: nothing to fold, or too many ".."
    } cases[] = {
        // Dots in the query or at the end, and names that merely start
        // with a dot, are not segments to fold.
        {"http://h/x?a=/./", nullptr}, {"http://h/x/..", nullptr}, {"http://h/x/.a/", nullptr},
        // Texts of separators and dots alone.
        {"/./", "/"}, {"/../", ""}, {"/../../", nullptr}, {"./.", nullptr}, {"\\.\\.\\", "/"}, {"/./?", "/?"},
    };
    for (const auto& c : cases) {
        char* folded = CParsedUrl::CollapseDotSegments(c.text);
        if (c.folded) {
            EXPECT_STREQ(folded, c.folded) << c.text;
        } else {
            EXPECT_EQ(folded, nullptr) << c.text;
        }
        delete[] folded;
    }
    // The parser still gives a result on what is left.
    Parsed p("/../");
    EXPECT_EQ(p.Result(), RES_INVALID_PROTOCOL);
    EXPECT_EQ(p.Text("url"), Str(""));
}

// ---- percent decoding ----

TEST(UrlPercentDecoding, FileUrlsAreDecodedAndTheQueryStillFound) {
    Parsed p("file:///C:/My%20Files/a.dat?x=1");
    EXPECT_EQ(p.Text("url"), Str("file:///C:/My Files/a.dat?x=1"));
    EXPECT_EQ(p.Text("fullpath"), Str("//C:/My Files/a.dat"));
    EXPECT_EQ(p.OptionNumber("x"), Num(1));
}

TEST(UrlPercentDecoding, OtherSchemesAreNotDecoded) {
    EXPECT_EQ(Parsed("cont:///My%20Files?x=1").Text("url"), Str("cont:///My%20Files?x=1"));
}

TEST(UrlPercentDecoding, QueryPointerFollowsEveryEscapeBeforeIt) {
    char text[] = "%41%42%4a?x=%31";
    char* query = text + 10;
    CParsedUrl::UnescapeInPlace(text, &query);
    EXPECT_STREQ(text, "ABJ?x=1");
    EXPECT_STREQ(query, "x=1");
}

TEST(UrlPercentDecoding, DigitsOutsideHexStillGiveAByte) {
    char text[] = "%zz%G0";
    CParsedUrl::UnescapeInPlace(text, nullptr);
    // 'z' is worth 122 - 87 = 35, 'G' 71 - 87 = -16.
    EXPECT_EQ(static_cast<unsigned char>(text[0]), (35u * 16u + 35u) & 0xFFu);
    EXPECT_EQ(static_cast<unsigned char>(text[1]), (0u - 16u * 16u) & 0xFFu);
    EXPECT_EQ(text[2], 0);
}

TEST(UrlPercentDecoding, IncompleteEscapeAtTheEndIsDropped) {
    char one[] = "ab%4";
    CParsedUrl::UnescapeInPlace(one, nullptr);
    EXPECT_STREQ(one, "ab");
    char bare[] = "ab%";
    CParsedUrl::UnescapeInPlace(bare, nullptr);
    EXPECT_STREQ(bare, "ab");
    Parsed p("file:///x%2");
    EXPECT_EQ(p.Text("url"), Str("file:///x"));
    EXPECT_EQ(p.Text("fullpath"), Str("//x"));
}

TEST(UrlPercentDecoding, EscapeSwallowingTheQueryMarkStaysInsideTheText) {
    Parsed p("file:///a%?x");
    EXPECT_EQ(p.Result(), S_OK);
    std::optional<std::string> url = p.Text("url");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->size(), 10u);  // "file:///a" and the one decoded byte
    EXPECT_EQ(p.OptionCount(), 0);
}

// ---- failures and what stays stored ----

TEST(UrlFailures, NullUrlMakesNoSets) {
    CParsedUrl url(nullptr);
    EXPECT_EQ(url.Result(), RES_INVALID_URL);
    EXPECT_EQ(url.GetProperties(), nullptr);
    EXPECT_EQ(url.GetOptions(), nullptr);
}

TEST(UrlFailures, EmptyPortIsABadHost) {
    Parsed p("http://h:/x");
    EXPECT_EQ(p.Result(), RES_INVALID_HOST);
    EXPECT_FALSE(p.Has("host"));
    EXPECT_FALSE(p.Has("port"));
    EXPECT_EQ(p.Text("scheme"), Str("http"));
    EXPECT_EQ(p.Text("url"), Str("http://h:/x"));
}

TEST(UrlFailures, EmptyHostIsABadHost) {
    Parsed rtsp("rtsp://");
    EXPECT_EQ(rtsp.Result(), RES_INVALID_HOST);
    EXPECT_EQ(rtsp.Text("resource"), Str(""));  // rtsp still writes its empty path forms
}

TEST(UrlFailures, NoSchemeColonKeepsUrlAndProtocol) {
    Parsed p("nocolon/x");
    EXPECT_EQ(p.Result(), RES_INVALID_PROTOCOL);
    EXPECT_EQ(p.Number("protocol"), Num(3));
    EXPECT_EQ(p.Text("url"), Str("nocolon/x"));
    EXPECT_FALSE(p.Has("scheme"));
    EXPECT_FALSE(p.Has("fullpath"));
    EXPECT_EQ(Parsed("a?b:c").Result(), RES_INVALID_PROTOCOL);
    EXPECT_EQ(Parsed("a\\b:c").Result(), RES_INVALID_PROTOCOL);
    EXPECT_EQ(Parsed("").Result(), RES_INVALID_PROTOCOL);
}

TEST(UrlFailures, PathOnlySchemeNeedsAPath) {
    Parsed p("cont://");
    EXPECT_EQ(p.Result(), RES_INVALID_PATH);
    EXPECT_EQ(p.Text("scheme"), Str("cont"));
    EXPECT_FALSE(p.Has("fullpath"));
}

TEST(UrlFailures, FragmentIsCutOffAndStored) {
    Parsed p("rtsp://h/x#frag");
    EXPECT_EQ(p.Text("fragment"), Str("frag"));
    EXPECT_EQ(p.Text("url"), Str("rtsp://h/x"));
    EXPECT_EQ(p.Text("fullpath"), Str("/x"));
    Parsed failed("#frag");
    EXPECT_EQ(failed.Result(), RES_INVALID_PROTOCOL);
    EXPECT_EQ(failed.Text("fragment"), Str("frag"));
    EXPECT_EQ(failed.Text("url"), Str(""));
}

TEST(UrlFailures, SetsOutliveTheParser) {
    IQLXValues* properties = nullptr;
    {
        CParsedUrl url("cont:///a.cfs?file=e");
        properties = url.GetProperties();
    }
    ASSERT_NE(properties, nullptr);
    IQLXBuffer* buffer = nullptr;
    ASSERT_EQ(properties->GetBufferProperty("fullpath", &buffer), S_OK);
    EXPECT_EQ(host::BytesOf(buffer), std::string("//a.cfs", 8));
    buffer->Release();
    EXPECT_EQ(properties->Release(), 0u);
}

// ---- the byte-level steps ----

TEST(UrlTimeOffset, TenthsOfASecondFromTheFields) {
    const struct {
        const char* text;
        int32_t tenths;
    } cases[] = {
        // Fields from the right: seconds, minutes, hours, days; more is no time.
        {"90", 900}, {"1:30", 900}, {"1:00:00.5", 36005}, {"1:0:0:0", 864000},
        {"abc", 0}, {"", 0}, {"1:1:1:1:1", 0},
        // Only the first decimal counts, only as a digit, and only in the
        // seconds field.
        {"2.75", 27}, {"2.x", 20}, {"2.", 20}, {"1.5:2", 620}, {"3x.4", 34},
        // Fields read like atol.
        {" 5", 50}, {"-1", -10}, {"+1:x", 600},
    };
    for (const auto& c : cases) EXPECT_EQ(CParsedUrl::ParseTimeOffset(c.text), c.tenths) << c.text;
}

TEST(UrlTimeOffset, HugeNumbersWrapAsUnsigned32Bit) {
    const uint32_t field = static_cast<uint32_t>(99999999999ull);  // what the digits wrap to
    EXPECT_EQ(CParsedUrl::ReadLong("99999999999"), static_cast<int32_t>(field));
    EXPECT_EQ(CParsedUrl::ParseTimeOffset("99999999999"), static_cast<int32_t>(field * 10u));
    const uint32_t days = 4000000000u;
    EXPECT_EQ(CParsedUrl::ParseTimeOffset("4000000000:23:59:59.9"),
              static_cast<int32_t>((((days * 24u + 23u) * 60u + 59u) * 60u + 59u) * 10u + 9u));
    Parsed p("cont:///f?start=4000000000");
    EXPECT_EQ(p.OptionNumber("start"), Num(4000000000u * 10u * 100u));
}

TEST(UrlDigits, EmptyTextCountsAsDigits) {
    EXPECT_TRUE(CParsedUrl::IsAllDigits(""));
    EXPECT_TRUE(CParsedUrl::IsAllDigits("0123456789"));
    EXPECT_FALSE(CParsedUrl::IsAllDigits("12a"));
    EXPECT_FALSE(CParsedUrl::IsAllDigits(" 1"));
}

// ---- double-byte texts ----

class UrlMultiByte : public ::testing::Test {
protected:
    void SetUp() override { SetMultiByteMode(true); }
    void TearDown() override { SetMultiByteMode(false); }
};

TEST_F(UrlMultiByte, SeparatorsInsideDoubleByteCharactersAreNotMatched) {
    // 0x81 is a lead byte: the '@' and '?' after it are trail bytes.
    Parsed p("http://u\x81@h/a\x81?b?x=1");
    EXPECT_EQ(p.Result(), S_OK);
    EXPECT_FALSE(p.Has("username"));
    EXPECT_EQ(p.Text("host"), Str("u\x81@h"));
    EXPECT_EQ(p.Text("fullpath"), Str("/a\x81?b"));
    EXPECT_EQ(p.OptionNumber("x"), Num(1));
}

TEST_F(UrlMultiByte, LeadByteAtTheEndOfTheText) {
    Parsed p("cont:///a\x81");
    EXPECT_EQ(p.Result(), S_OK);
    EXPECT_EQ(p.Text("fullpath"), Str("//a\x81"));
    Parsed q("cont:///a?k=\"v\x81\"");  // the closing quote is a trail byte
    EXPECT_EQ(q.OptionCount(), 0);
    EXPECT_EQ(q.Text("resource"), Str("/a"));
}

}  // namespace
