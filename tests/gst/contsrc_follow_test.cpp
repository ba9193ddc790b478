// contsrc follow=true on an entry that `cont pack -` is still writing from a
// pipe: played to its end as it is written, and an error, not a hang, when
// the writer is killed before it closes the container.
#include <csignal>

#include "gst/gst_fixture.h"

namespace {

using namespace gsttest;

class ContsrcFollowTest : public GstFixture {
protected:
    // Starts `cont pack --name NAME x.cnt -` reading from the feed, and
    // returns once the container holds the entry's first bytes.
    pid_t StartWriter(conttest::PipeFeed& feed, const std::string& name) {
        stdoutDevice = stderrDevice = "/dev/null";
        inputFd = feed.readEnd();
        const pid_t writer = Start({"pack", "--name", name, At("x.cnt").string(), "-"});
        inputFd = -1;
        stdoutDevice = stderrDevice = "";
        for (int wait = 0; wait < 1000 && (!fs::exists(At("x.cnt")) || fs::file_size(At("x.cnt")) < 20000); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return writer;
    }
};

TEST_F(ContsrcFollowTest, PlaysAGrowingEntryToItsEndAsItIsWritten) {
    const fs::path file = MakeMedia(
        "live.mkv", "-f lavfi -i testsrc=size=320x240:rate=25:duration=3 -f lavfi -i sine=duration=3 "
                    "-c:v mpeg4 -q:v 2 -g 10 -c:a aac");
    const std::string bytes = conttest::ReadAll(file);
    Ending fromFile;
    const Decoded expected = DecodeAll(FileUri(file), &fromFile);
    ASSERT_TRUE(fromFile.eos) << fromFile;

    // Written over about a second and a half.
    conttest::PipeFeed feed(bytes, bytes.size() / 40, std::chrono::milliseconds(40));
    const pid_t writer = StartWriter(feed, "live.mkv");
    EXPECT_LT(feed.fed(), bytes.size());
    Ending followed;
    const Decoded got = DecodeAll(ContUri(At("x.cnt"), "live.mkv"), &followed, true);
    EXPECT_EQ(0, Finish(writer, 60).status);
    EXPECT_TRUE(followed.eos) << followed;
    EXPECT_EQ(75u, expected.video.size());
    EXPECT_EQ(expected.video, got.video);
    EXPECT_EQ(expected.audio, got.audio);
}

TEST_F(ContsrcFollowTest, AWriterKilledBeforeItClosesIsAnErrorAfterTheBytesThatReachedTheDisk) {
    const std::string bytes = conttest::Pattern(2u << 20, 24);
    conttest::PipeFeed feed(bytes, 64u << 10, std::chrono::milliseconds(40), true);
    const pid_t writer = StartWriter(feed, "e");
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(writer, SIGKILL);
    });
    Ending ending;
    const std::string got = ReadThroughContsrc(
        [&](GstElement* source) {
            g_object_set(source, "location", At("x.cnt").c_str(), "entry", "e", "follow", TRUE, nullptr);
        },
        &ending, 30);
    killer.join();
    Finish(writer);
    ASSERT_TRUE(ending.error) << ending;
    EXPECT_EQ(GST_RESOURCE_ERROR, ending.domain);
    EXPECT_EQ(GST_RESOURCE_ERROR_READ, ending.code);
    EXPECT_NE(std::string::npos, ending.message.find("not closed cleanly")) << ending.message;
    EXPECT_GT(got.size(), 0u);
    EXPECT_LT(got.size(), bytes.size());
    EXPECT_TRUE(got == bytes.substr(0, got.size()));
}

}  // namespace
