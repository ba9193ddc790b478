// Decoding an entry through contsrc against the same file through filesrc,
// in CPU time of the whole process (every streaming thread counted): a
// 256 MiB Matroska file of raw video (BENCH_ENTRY_MIB changes that), made
// by ffmpeg's test source and packed as one entry, played by decodebin
// (typefind and the demuxer; raw video needs no decoder) into a fakesink,
// so that reading dominates. Ratio: DecodeThroughContsrc / DecodeThroughFilesrc,
// CPU column.
#include <benchmark/benchmark.h>
#include <gst/gst.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "../tests/support/child_process.h"

namespace {

namespace fs = std::filesystem;

// One frame of 320x240 in 4:2:0 is 115,200 bytes.
constexpr uint64_t kFrameBytes = 320 * 240 * 3 / 2;

class Setup {
public:
    Setup() {
        fs::create_directories(BENCH_TMPDIR);
        std::string pattern = std::string(BENCH_TMPDIR) + "/gst-XXXXXX";
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a scratch directory");
        dir_ = fs::canonical(pattern);
        const char* mib = std::getenv("BENCH_ENTRY_MIB");
        const uint64_t size = (mib ? std::strtoull(mib, nullptr, 10) : 256) << 20;
        file = (dir_ / "raw.mkv").string();
        container = (dir_ / "raw.cnt").string();
        const std::string frames = std::to_string(size / kFrameBytes);
        if (child::Run({"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=25",
                        "-frames:v", frames, "-c:v", "rawvideo", "-pix_fmt", "yuv420p", file})
                .status != 0)
            throw std::runtime_error("ffmpeg failed");
        if (child::Run({CONT_TOOL_PATH, "pack", "-q", container, "--name", "raw.mkv", file}).status != 0)
            throw std::runtime_error("cont pack failed");

        setenv("GST_PLUGIN_PATH", CONTSRC_PLUGIN_DIR, 1);
        setenv("GST_REGISTRY", (dir_ / "gst-registry.bin").c_str(), 1);
        gst_init(nullptr, nullptr);
    }
    ~Setup() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string file;
    std::string container;

private:
    fs::path dir_;
};

Setup& TheSetup() {
    static Setup setup;
    return setup;
}

// Plays the pipeline to its end; false on an error.
bool Play(const std::string& description) {
    GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
    if (!pipeline) return false;
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message =
        gst_bus_timed_pop_filtered(bus, GST_CLOCK_TIME_NONE, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    const bool ended = message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
    if (message) gst_message_unref(message);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return ended;
}

void Decode(benchmark::State& state, const std::string& source) {
    const std::string pipeline = source + " ! decodebin ! fakesink sync=false";
    if (!Play(pipeline)) {  // the page cache warmed for both alike
        state.SkipWithError(("cannot play " + pipeline).c_str());
        return;
    }
    for (auto _ : state)
        if (!Play(pipeline)) state.SkipWithError("the pipeline failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fs::file_size(TheSetup().file)));
}

void DecodeThroughFilesrc(benchmark::State& state) { Decode(state, "filesrc location=" + TheSetup().file); }
void DecodeThroughContsrc(benchmark::State& state) {
    Decode(state, "contsrc location=" + TheSetup().container + " entry=raw.mkv");
}

BENCHMARK(DecodeThroughFilesrc)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(DecodeThroughContsrc)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
