// playbin on a cont URI against playbin on the same file through file://:
// every decoded frame and sample the same, and random seeks landing on the
// same frame, for the demuxers players meet most.
#include <random>
#include <set>

#include "gst/gst_fixture.h"

namespace {

using namespace gsttest;

// Two seconds of test picture and tone: small, but with several key frames
// (every 10th), so that a seek has to find one before its frame.
const std::string kVideoAndTone =
    "-f lavfi -i testsrc=size=320x240:rate=25:duration=2 -f lavfi -i sine=frequency=440:duration=2 "
    "-c:v mpeg4 -q:v 2 -g 10 -c:a aac -b:a 64k";

struct Media {
    const char* name;
    std::string options;
    bool video;
};

void PrintTo(const Media& media, std::ostream* out) { *out << media.name; }

class ContsrcPlaybackTest : public GstFixture, public ::testing::WithParamInterface<Media> {
protected:
    // playbin paused on `uri`, then seeking (flushing, accurate) to each
    // position in turn: the frame each seek lands on. Also whether the
    // source was read in pull mode.
    struct SeekRun {
        std::vector<Frame> landed;
        bool pulled = false;
    };
    static SeekRun Seek(const std::string& uri, bool video, const std::vector<GstClockTime>& positions) {
        SeekRun run;
        GstElement* playbin = Playbin(uri);
        GstAppSink* sink = Sink(playbin, video ? "video-sink" : "audio-sink");
        gst_element_set_state(playbin, GST_STATE_PAUSED);
        EXPECT_TRUE(WaitForAsyncDone(playbin, 30)) << uri;
        GstElement* source = nullptr;
        g_object_get(playbin, "source", &source, nullptr);
        if (source) {
            GstPad* pad = gst_element_get_static_pad(source, "src");
            run.pulled = GST_PAD_MODE(pad) == GST_PAD_MODE_PULL;
            gst_object_unref(pad);
            gst_object_unref(source);
        }
        for (GstClockTime position : positions) {
            const bool sought = gst_element_seek_simple(
                playbin, GST_FORMAT_TIME, static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_ACCURATE),
                static_cast<gint64>(position));
            EXPECT_TRUE(sought && WaitForAsyncDone(playbin, 30)) << uri << " at " << position;
            GstSample* sample = gst_app_sink_try_pull_preroll(sink, 10 * GST_SECOND);
            run.landed.push_back(sample ? FrameOf(sample) : Frame());
            if (sample) gst_sample_unref(sample);
        }
        gst_element_set_state(playbin, GST_STATE_NULL);
        gst_object_unref(playbin);
        return run;
    }
};

TEST_P(ContsrcPlaybackTest, DecodesAndSeeksAsFromTheFile) {
    const Media& media = GetParam();
    const fs::path file = MakeMedia(media.name, media.options);
    const fs::path container = Pack("media.cnt", media.name, file);
    const std::string cont = ContUri(container, media.name);

    Ending fromFile, fromContainer;
    const Decoded expected = DecodeAll(FileUri(file), &fromFile);
    const Decoded got = DecodeAll(cont, &fromContainer);
    ASSERT_TRUE(fromFile.eos) << fromFile;
    EXPECT_TRUE(fromContainer.eos) << fromContainer;
    EXPECT_EQ(media.video ? 50u : 0u, expected.video.size());
    EXPECT_FALSE(expected.audio.empty());
    EXPECT_EQ(expected.video, got.video);
    EXPECT_EQ(expected.audio, got.audio);

    std::mt19937 random(24);
    std::uniform_int_distribution<GstClockTime> anywhere(0, 1900 * GST_MSECOND);
    std::vector<GstClockTime> positions;
    for (int i = 0; i < 10; ++i) positions.push_back(anywhere(random));
    const SeekRun fileSeeks = Seek(FileUri(file), media.video, positions);
    const SeekRun contSeeks = Seek(cont, media.video, positions);
    EXPECT_EQ(fileSeeks.landed, contSeeks.landed);
    // The seeks went somewhere: the frames they landed on differ.
    std::set<uint64_t> landed;
    for (const Frame& frame : contSeeks.landed) landed.insert(frame.checksum);
    EXPECT_GE(landed.size(), 5u);

    // Random access: the demuxer pulls what it needs where it lies (an
    // index at the end among it) rather than taking the entry as a stream.
    EXPECT_TRUE(contSeeks.pulled);
}

INSTANTIATE_TEST_SUITE_P(
    Demuxers, ContsrcPlaybackTest,
    ::testing::Values(Media{"end.mp4", kVideoAndTone, true},  // the index after the media data
                      Media{"start.mp4", kVideoAndTone + " -movflags +faststart", true},
                      Media{"clip.mkv", kVideoAndTone, true},
                      Media{"tone.wav", "-f lavfi -i sine=frequency=440:duration=2 -c:a pcm_s16le", false}),
    [](const ::testing::TestParamInfo<Media>& info) {
        std::string name = info.param.name;
        for (char& c : name)
            if (c == '.') c = '_';
        return name;
    });

}  // namespace
