// The one route from a URL text to a container path and an entry name: the
// forms a host writes for Open, and the text CheckExistence takes as given.
#include "util/container_url.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
    const char* text;
    const char* path;
    const char* entry;  // null: the text names no entry
};

void Expect(const ContainerUrl& url, const Case& c) {
    EXPECT_EQ(std::string(url.path.GetChars()), c.path) << c.text;
    EXPECT_EQ(url.namesEntry, c.entry != nullptr) << c.text;
    EXPECT_EQ(std::string(url.entryName.GetChars()), c.entry ? c.entry : "") << c.text;
}

TEST(ContainerUrl, WhatOpenReadsFromAHostText) {
    const Case cases[] = {
        // Three slashes introduce a relative path; a fourth is an absolute
        // path's own. At most two are dropped.
        {"cont:///clips.cnt?file=a", "clips.cnt", "a"},
        {"cont:////srv/clips.cnt?file=a", "/srv/clips.cnt", "a"},
        {"cont://///srv/clips.cnt?file=a", "//srv/clips.cnt", "a"},
        {"cont://clips.cnt?file=a", "clips.cnt", "a"},
        // A bare path names the file it says.
        {"/srv/clips.cnt?file=a", "/srv/clips.cnt", "a"},
        {"clips.cnt?file=a", "clips.cnt", "a"},
        // Backslashes turn into slashes, escapes are decoded first.
        {"\\srv\\clips.cnt?file=a", "/srv/clips.cnt", "a"},
        {"cont:////srv/clips%2Ecnt?file=cl%69p", "/srv/clips.cnt", "clip"},
        // Digits unquoted are a number, not a name; quoted they are a name.
        {"cont:///c.cnt?file=7", "c.cnt", nullptr},
        {"cont:///c.cnt?file=\"7\"", "c.cnt", "7"},
        {"cont:///c.cnt?file=\"a&b\"&x=1", "c.cnt", "a&b"},
        {"cont:///c.cnt", "c.cnt", nullptr},
        {"cont:///c.cnt?file=", "c.cnt", nullptr},  // an empty value is the number 0
        // No path, nothing to open.
        {"cont://", "", nullptr},
        {"", "", nullptr},
    };
    for (const Case& c : cases) Expect(ParseHostUrl(c.text), c);
    Expect(ParseHostUrl(nullptr), {"(null)", "", nullptr});
}

TEST(ContainerUrl, CheckExistenceTakesTheTextAsGiven) {
    const Case cases[] = {
        {"cont:////srv/clips.cnt?file=a", "/srv/clips.cnt", "a"},
        // No prefix for a bare path (which then has neither a path nor
        // options), no decoding, no turning of backslashes.
        {"/srv/clips.cnt?file=a", "", nullptr},
        {"cont:////srv/clips%2Ecnt?file=cl%69p", "/srv/clips%2Ecnt", "cl%69p"},
        {"cont:///C:\\x\\y.cnt?file=a", "C:\\x\\y.cnt", "a"},
    };
    for (const Case& c : cases) Expect(ParseContainerUrl(c.text), c);
    Expect(ParseContainerUrl(nullptr), {"(null)", "", nullptr});
}

// gather=1 is an option beside the name, never part of it, wherever it
// stands and whatever the name holds ('&' quoted, '=' as it is).
TEST(ContainerUrl, GatherIsAnOptionBesideTheName) {
    struct GatherCase {
        Case url;
        bool gather;
    };
    const GatherCase cases[] = {
        {{"cont:///c.cnt?file=cam1.ts&gather=1", "c.cnt", "cam1.ts"}, true},
        {{"cont:///c.cnt?gather=1&file=cam1.ts", "c.cnt", "cam1.ts"}, true},
        {{"cont:///c.cnt?file=\"a&b\"&gather=1", "c.cnt", "a&b"}, true},
        {{"cont:///c.cnt?file=a=b&gather=1", "c.cnt", "a=b"}, true},
        {{"c.cnt?file=a&Gather=1", "c.cnt", "a"}, true},
        {{"cont:///c.cnt?file=a%26gather=1", "c.cnt", "a"}, true},  // decoded first: an '&' as ever
        {{"cont:///c.cnt?file=a&gather=0", "c.cnt", "a"}, false},
        {{"cont:///c.cnt?file=a&gather=yes", "c.cnt", "a"}, false},
        {{"cont:///c.cnt?file=\"a&gather=1\"", "c.cnt", "a&gather=1"}, false},
        {{"cont:///c.cnt?file=a", "c.cnt", "a"}, false},
    };
    for (const GatherCase& c : cases) {
        const ContainerUrl url = ParseHostUrl(c.url.text);
        Expect(url, c.url);
        EXPECT_EQ(url.gather, c.gather) << c.url.text;
    }
}

}  // namespace
