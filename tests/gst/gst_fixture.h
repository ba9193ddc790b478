// Playing cont URIs in tests: GStreamer started once per test program with
// the contsrc plug-in of this build; media made by ffmpeg's test sources in
// the scratch directory and packed into containers by cont; pipelines run
// to their end, or their error, within a time limit; decoded buffers
// reduced to checksums, so that two ways of playing one file compare.
#ifndef CONTFS_TESTS_GST_GST_FIXTURE_H
#define CONTFS_TESTS_GST_GST_FIXTURE_H

#include <gst/app/gstappsink.h>
#include <gst/gst.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "cont/cont_fixture.h"

namespace gsttest {

namespace fs = std::filesystem;

// One decoded buffer.
struct Frame {
    GstClockTime pts = GST_CLOCK_TIME_NONE;
    uint64_t checksum = 0;
    bool operator==(const Frame& other) const { return pts == other.pts && checksum == other.checksum; }
};

inline std::ostream& operator<<(std::ostream& out, const Frame& frame) {
    return out << "{pts " << frame.pts << ", sum " << std::hex << frame.checksum << std::dec << "}";
}

// Every buffer playbin's sinks received, in order.
struct Decoded {
    std::vector<Frame> video, audio;
};

// How a pipeline ended.
struct Ending {
    bool eos = false;
    bool error = false;
    GQuark domain = 0;
    int code = 0;
    std::string message;
    std::string debug;
};

inline std::ostream& operator<<(std::ostream& out, const Ending& ending) {
    return out << (ending.eos ? "EOS" : ending.error ? "ERROR" : "neither EOS nor an error") << " " << ending.message
               << " (" << ending.debug << ")";
}

inline Frame FrameOf(GstSample* sample) {
    Frame frame;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    frame.pts = GST_BUFFER_PTS(buffer);
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        frame.checksum = conttest::Checksum(std::string(reinterpret_cast<const char*>(map.data), map.size));
        gst_buffer_unmap(buffer, &map);
    }
    return frame;
}

// GStreamer for the whole test program, with the plug-in of this build
// registered in a registry of this build's own, scanned in this process
// (a plug-in built with sanitizers loads only into a program built with
// them); shut down at the end, so that a leak checker sees only leaks.
class GstEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        fs::create_directories(CONTFS_TEST_TMPDIR);
        setenv("GST_PLUGIN_PATH", CONTSRC_PLUGIN_DIR, 1);
        setenv("GST_REGISTRY", (std::string(CONTFS_TEST_TMPDIR) + "/gst-registry.bin").c_str(), 1);
        setenv("GST_REGISTRY_FORK", "no", 1);
        gst_init(nullptr, nullptr);
    }
    void TearDown() override { gst_deinit(); }
};

inline ::testing::Environment* const kGstEnvironment = ::testing::AddGlobalTestEnvironment(new GstEnvironment);

class GstFixture : public conttest::ContFixture {
protected:
    static void SetUpTestSuite() {
        // What the tests play through: a missing one is a failure, never a
        // skipped test.
        for (const char* element : {"contsrc", "playbin", "appsink", "qtdemux", "matroskademux", "wavparse",
                                    "avdec_mpeg4", "avdec_aac"}) {
            GstElementFactory* factory = gst_element_factory_find(element);
            ASSERT_NE(nullptr, factory) << "GStreamer element " << element << " is missing (scripts/deps.sh)";
            gst_object_unref(factory);
        }
    }

    // A file made by ffmpeg in the scratch directory from `inputs` and
    // `codecs` (its options before and after the inputs' end).
    fs::path MakeMedia(const std::string& name, const std::string& options) {
        const fs::path out = At(name);
        const std::string command =
            "ffmpeg -nostdin -hide_banner -loglevel error -y " + options + " '" + out.string() + "' 2>'" +
            At(name + ".log").string() + "'";
        EXPECT_EQ(0, std::system(command.c_str())) << command << "\n" << conttest::ReadAll(At(name + ".log"));
        return out;
    }

    // Packs `file` as entry `entry` into a new container.
    fs::path Pack(const std::string& container, const std::string& entry, const fs::path& file) {
        ContOk({"pack", At(container).string(), "--name", entry, file.string()});
        return At(container);
    }

    static std::string ContUri(const fs::path& container, const std::string& entry) {
        return "cont:///" + fs::absolute(container).string() + "?file=" + entry;
    }
    static std::string FileUri(const fs::path& file) {
        gchar* uri = gst_filename_to_uri(file.c_str(), nullptr);
        std::string text = uri;
        g_free(uri);
        return text;
    }

    // playbin on `uri`, decoding into two appsinks that keep no clock; with
    // `follow`, its source follows a growing entry.
    static GstElement* Playbin(const std::string& uri, bool follow = false) {
        GstElement* playbin = gst_element_factory_make("playbin", nullptr);
        GstElement* video = gst_element_factory_make("appsink", "video");
        GstElement* audio = gst_element_factory_make("appsink", "audio");
        g_object_set(video, "sync", FALSE, nullptr);
        g_object_set(audio, "sync", FALSE, nullptr);
        g_object_set(playbin, "uri", uri.c_str(), "video-sink", video, "audio-sink", audio, "flags", 0x3, nullptr);
        if (follow)
            g_signal_connect(playbin, "source-setup",
                             G_CALLBACK(+[](GstElement*, GstElement* source, gpointer) {
                                 g_object_set(source, "follow", TRUE, nullptr);
                             }),
                             nullptr);
        return playbin;
    }

    static GstAppSink* Sink(GstElement* playbin, const char* which) {
        GstElement* sink = nullptr;
        g_object_get(playbin, which, &sink, nullptr);
        gst_object_unref(sink);  // playbin keeps it
        return GST_APP_SINK(sink);
    }

    // Waits for the pipeline's end: EOS, an error, or the time limit.
    static Ending WaitForEnd(GstElement* pipeline, int seconds) {
        Ending ending;
        GstBus* bus = gst_element_get_bus(pipeline);
        GstMessage* message = gst_bus_timed_pop_filtered(
            bus, seconds * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
        if (message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) ending.eos = true;
        if (message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            GError* error = nullptr;
            gchar* debug = nullptr;
            gst_message_parse_error(message, &error, &debug);
            ending.error = true;
            ending.domain = error->domain;
            ending.code = error->code;
            ending.message = error->message;
            ending.debug = debug ? debug : "";
            g_error_free(error);
            g_free(debug);
        }
        if (message) gst_message_unref(message);
        gst_object_unref(bus);
        return ending;
    }

    // Waits for a state change (or a seek) to finish; false on an error or
    // after the time limit.
    static bool WaitForAsyncDone(GstElement* pipeline, int seconds) {
        GstBus* bus = gst_element_get_bus(pipeline);
        GstMessage* message = gst_bus_timed_pop_filtered(
            bus, seconds * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_ASYNC_DONE | GST_MESSAGE_ERROR));
        const bool done = message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_ASYNC_DONE;
        if (message) gst_message_unref(message);
        gst_object_unref(bus);
        return done;
    }

    // Plays `uri` through playbin to its end, every buffer of both sinks
    // kept as a checksum.
    static Decoded DecodeAll(const std::string& uri, Ending* ending, bool follow = false, int seconds = 60) {
        Decoded decoded;
        GstElement* playbin = Playbin(uri, follow);
        GstAppSinkCallbacks callbacks = {};
        callbacks.new_sample = [](GstAppSink* sink, gpointer frames) {
            GstSample* sample = gst_app_sink_pull_sample(sink);
            static_cast<std::vector<Frame>*>(frames)->push_back(FrameOf(sample));
            gst_sample_unref(sample);
            return GST_FLOW_OK;
        };
        gst_app_sink_set_callbacks(Sink(playbin, "video-sink"), &callbacks, &decoded.video, nullptr);
        gst_app_sink_set_callbacks(Sink(playbin, "audio-sink"), &callbacks, &decoded.audio, nullptr);
        gst_element_set_state(playbin, GST_STATE_PLAYING);
        *ending = WaitForEnd(playbin, seconds);
        gst_element_set_state(playbin, GST_STATE_NULL);
        gst_object_unref(playbin);
        return decoded;
    }

    // contsrc, set up by `configure`, straight into an appsink: the bytes
    // it gave, in order.
    static std::string ReadThroughContsrc(const std::function<void(GstElement*)>& configure, Ending* ending,
                                          int seconds = 60) {
        std::string bytes;
        GstElement* pipeline = gst_pipeline_new(nullptr);
        GstElement* source = gst_element_factory_make("contsrc", nullptr);
        GstElement* sink = gst_element_factory_make("appsink", nullptr);
        g_object_set(sink, "sync", FALSE, nullptr);
        gst_bin_add_many(GST_BIN(pipeline), source, sink, nullptr);
        gst_element_link(source, sink);
        configure(source);
        GstAppSinkCallbacks callbacks = {};
        callbacks.new_sample = [](GstAppSink* appsink, gpointer into) {
            GstSample* sample = gst_app_sink_pull_sample(appsink);
            GstBuffer* buffer = gst_sample_get_buffer(sample);
            GstMapInfo map;
            if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
                static_cast<std::string*>(into)->append(reinterpret_cast<const char*>(map.data), map.size);
                gst_buffer_unmap(buffer, &map);
            }
            gst_sample_unref(sample);
            return GST_FLOW_OK;
        };
        gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, &bytes, nullptr);
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        *ending = WaitForEnd(pipeline, seconds);
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
        return bytes;
    }
};

}  // namespace gsttest

#endif
