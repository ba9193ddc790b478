// What contsrc tells when it cannot serve an entry, in GStreamer's terms,
// and which URIs it takes.
#include <filesystem>

#include "gst/gst_fixture.h"

namespace {

using namespace gsttest;

class ContsrcErrorsTest : public GstFixture {
protected:
    static std::string Property(GstElement* element, const char* name) {
        gchar* value = nullptr;
        g_object_get(element, name, &value, nullptr);
        std::string text = value ? value : "(null)";
        g_free(value);
        return text;
    }
};

TEST_F(ContsrcErrorsTest, AMissingContainerOrEntryIsNotFoundWithThePathAndTheModulesResult) {
    conttest::WriteAll(At("a"), "alpha");
    const fs::path container = Pack("x.cnt", "a", At("a"));
    const struct {
        fs::path container;
        std::string entry, says;
    } cases[] = {{At("none.cnt"), "a", "E_ACCESSDENIED"}, {container, "b", "E_FAIL"}};
    for (const auto& c : cases) {
        Ending ending;
        ReadThroughContsrc(
            [&](GstElement* source) {
                g_object_set(source, "location", c.container.c_str(), "entry", c.entry.c_str(), nullptr);
            },
            &ending);
        ASSERT_TRUE(ending.error) << ending;
        EXPECT_EQ(GST_RESOURCE_ERROR, ending.domain);
        EXPECT_EQ(GST_RESOURCE_ERROR_NOT_FOUND, ending.code);
        EXPECT_NE(std::string::npos, ending.message.find(c.container.string())) << ending.message;
        EXPECT_NE(std::string::npos, ending.message.find(c.says)) << ending.message;
    }
}

// A container cut short: every byte before the damage is played, then a
// read error names the byte of the entry where reading failed, and the
// debug text the damage's offset in the container file.
TEST_F(ContsrcErrorsTest, ADamagedEntryGivesItsBytesBeforeTheDamageThenAReadError) {
    const std::string bytes = conttest::Pattern(1u << 20, 22);
    conttest::WriteAll(At("e"), bytes);
    const fs::path container = Pack("x.cnt", "e", At("e"));
    fs::resize_file(container, 400000);
    const std::string check = Cont({"check", "--json", container.string()}).out;
    const size_t at = check.find("\"readable\": ");
    ASSERT_NE(std::string::npos, at) << check;
    const uint64_t readable = std::stoull(check.substr(at + 12));
    ASSERT_GT(readable, 0u);

    Ending ending;
    const std::string got = ReadThroughContsrc(
        [&](GstElement* source) {
            g_object_set(source, "location", container.c_str(), "entry", "e", "blocksize", 4096, nullptr);
        },
        &ending);
    ASSERT_TRUE(ending.error) << ending;
    EXPECT_EQ(GST_RESOURCE_ERROR, ending.domain);
    EXPECT_EQ(GST_RESOURCE_ERROR_READ, ending.code);
    EXPECT_NE(std::string::npos, ending.message.find("at byte " + std::to_string(got.size()))) << ending.message;
    EXPECT_NE(std::string::npos, ending.debug.find("damage at offset")) << ending.debug;
    // Every readable byte, those of the read that met the damage too.
    EXPECT_EQ(readable, got.size());
    EXPECT_TRUE(got == bytes.substr(0, got.size()));
}

TEST_F(ContsrcErrorsTest, UrisOfTheHostGuideSetTheLocationAndEntryAndBack) {
    // playbin picks contsrc for the scheme; a relative container path stays
    // relative until the element opens it.
    GstElement* source = gst_element_make_from_uri(GST_URI_SRC, "cont:///media/clips.cnt?file=intro.mp4", nullptr,
                                                   nullptr);
    ASSERT_NE(nullptr, source);
    EXPECT_STREQ("contsrc", GST_OBJECT_NAME(gst_element_get_factory(source)));
    EXPECT_EQ("media/clips.cnt", Property(source, "location"));
    EXPECT_EQ("intro.mp4", Property(source, "entry"));

    // The URI made from the properties reads back as the same container and
    // name, however the name has to be written.
    GstURIHandler* handler = GST_URI_HANDLER(source);
    for (const std::string name : {"7", "a&b", "50% off?", "x y/z.mp4", "a\"b"}) {
        g_object_set(source, "location", "/srv/media/clips.cnt", "entry", name.c_str(), nullptr);
        gchar* uri = gst_uri_handler_get_uri(handler);
        ASSERT_NE(nullptr, uri) << name;
        g_object_set(source, "location", "elsewhere", "entry", "other", nullptr);
        EXPECT_TRUE(gst_uri_handler_set_uri(handler, uri, nullptr)) << uri;
        EXPECT_EQ("/srv/media/clips.cnt", Property(source, "location")) << uri;
        EXPECT_EQ(name, Property(source, "entry")) << uri;
        g_free(uri);
    }

    // URIs the module would read otherwise than as a path and a name.
    for (const char* uri : {"cont://host/c.cnt?file=a", "cont:///c.cnt", "cont:///c.cnt?file=7",
                            "cont:///c.cnt?file=a&start=3", "cont:///c.cnt?file=a#b"}) {
        GError* error = nullptr;
        EXPECT_FALSE(gst_uri_handler_set_uri(handler, uri, &error)) << uri;
        if (error) {
            EXPECT_TRUE(g_error_matches(error, GST_URI_ERROR, GST_URI_ERROR_BAD_URI)) << uri;
            g_error_free(error);
        }
    }
    gst_object_unref(source);
}

}  // namespace
