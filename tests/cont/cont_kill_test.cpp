// `cont pack` killed with SIGKILL at random moments, in each way it writes:
// from files one after another, --interleave, and from a pipe. Whatever it
// leaves behind opens, and every entry in it is a byte-exact prefix of its
// input. And `cont add` killed in the same way: every entry the container
// held stays whole, every one added is a prefix of its file.
//
// cont creates the container's file before the module writes to it, so a
// kill before the first byte reached the disk leaves an empty file, or no
// file when it came before even that. The module writes the header and the
// first index record in two writes; a kill between them leaves a header
// alone, which cannot be opened and of which cont says that it ends too
// soon. All three count as "nothing written": no entry had reached the
// disk. Any other file must open as a container.
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "cont_fixture.h"

namespace {

using namespace conttest;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer build looks for cont's memory faults, not for more moments
// to kill it at, and runs several times slower.
constexpr int kKillsPerWay = 10;
constexpr int kAddKills = 10;
#else
constexpr int kKillsPerWay = 30;
constexpr int kAddKills = 50;
#endif

struct Way {
    const char* label;
    std::vector<std::string> options;
    bool fromPipe;
};

class ContKillTest : public ContFixture {
protected:
    void SetUp() override {
        ContFixture::SetUp();
        inputs_ = {{"a", Pattern(1500000, 1)}, {"b", Pattern(700000, 2)}, {"c", Pattern(2500000, 3)}};
        for (const auto& [name, bytes] : inputs_) WriteAll(At(name), bytes);
        stream_ = Pattern(3000000, 4);
    }

    // Starts one pack of the way's inputs into `c`.
    pid_t StartPack(const Way& way, const fs::path& c, std::unique_ptr<PipeFeed>* feed) {
        std::vector<std::string> args = {"pack"};
        args.insert(args.end(), way.options.begin(), way.options.end());
        args.push_back(c.string());
        if (way.fromPipe) {
            // A live stream: 64 KiB pieces with a short pause after each.
            *feed = std::make_unique<PipeFeed>(stream_, 64 << 10, std::chrono::microseconds(300));
            inputFd = (*feed)->readEnd();
            args.insert(args.end(), {"--name", "live", "-"});
        } else {
            for (const auto& entry : inputs_) args.push_back(At(entry.first).string());
        }
        const pid_t pid = Start(args);
        inputFd = -1;
        return pid;
    }

    const std::string& InputOf(const std::string& name) const {
        static const std::string none;
        if (name == "live") return stream_;
        auto it = inputs_.find(name);
        return it == inputs_.end() ? none : it->second;
    }

    // What a killed pack left at `c`: nothing, a cut container or a whole
    // one. Every entry must be a prefix of its input.
    enum class Left { kNothing, kCut, kWhole };
    Left Inspect(const fs::path& c, size_t expectedEntries, const std::string& context) {
        std::error_code ec;
        if (!fs::exists(c, ec) || fs::file_size(c, ec) == 0) return Left::kNothing;
        if (HeaderAlone(ReadAll(c))) {
            const Outcome listed = Cont({"ls", c.string()});
            // cont says, as the module found it, that the file ends too soon.
            const bool cutShort = listed.err.find("before the end of the file") != std::string::npos ||
                                  listed.err.find("runs past the end of the file") != std::string::npos;
            EXPECT_TRUE(cutShort) << listed.err;
            return Left::kNothing;
        }
        const Outcome listed = Cont({"ls", c.string()});
        EXPECT_EQ(0, listed.status) << context << ": the container left behind does not open: " << listed.err;
        std::istringstream lines(listed.out);
        uint64_t size = 0;
        std::string name;
        size_t whole = 0, entries = 0;
        while (lines >> size && lines.ignore(2) && std::getline(lines, name)) {
            ++entries;
            const std::string& input = InputOf(name);
            EXPECT_LE(size, input.size()) << context << ": entry " << name;
            const std::string bytes = Cont({"cat", c.string(), name}).out;
            EXPECT_EQ(size, bytes.size()) << context << ": entry " << name;
            EXPECT_TRUE(bytes.size() <= input.size() && input.compare(0, bytes.size(), bytes) == 0)
                << context << ": entry " << name << " is not a prefix of its input";
            if (bytes.size() == input.size()) ++whole;
        }
        return whole == expectedEntries && entries == expectedEntries ? Left::kWhole : Left::kCut;
    }

    // A ".W7K" header, perhaps with the start of the index record after it.
    static bool HeaderAlone(const std::string& file) {
        if (file.size() < 11 || file.compare(0, 4, ".W7K") != 0) return false;
        size_t title = 0;
        for (int i = 7; i < 11; ++i) title = title << 8 | static_cast<unsigned char>(file[i]);
        return file.size() < 11 + title + 5 + 2056;
    }

    std::map<std::string, std::string> inputs_;
    std::string stream_;
};

TEST_F(ContKillTest, PackKilledAtRandomMomentsLeavesPrefixesOfItsInputs) {
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    const Way ways[] = {{"plain", {}, false}, {"interleaved", {"--interleave"}, false}, {"from a pipe", {}, true}};
    int cut = 0;
    for (const Way& way : ways) {
        const size_t expectedEntries = way.fromPipe ? 1 : inputs_.size();
        // A whole run first, to learn how long killing can matter.
        fs::remove(At("whole.cnt"));
        const auto began = std::chrono::steady_clock::now();
        std::unique_ptr<PipeFeed> feed;
        const Outcome whole = Finish(StartPack(way, At("whole.cnt"), &feed));
        const auto took = std::chrono::steady_clock::now() - began;
        ASSERT_EQ(0, whole.status) << way.label << ": " << whole.err;
        ASSERT_EQ(Left::kWhole, Inspect(At("whole.cnt"), expectedEntries, way.label));
        feed.reset();
        std::uniform_int_distribution<int64_t> delay(
            0, std::chrono::duration_cast<std::chrono::microseconds>(took).count() * 6 / 5);

        // On a loaded machine the moments drawn can all miss the writing;
        // then more are drawn, so that the test never passes on kills that
        // tested nothing.
        for (int kill = 0; kill < kKillsPerWay || (cut == 0 && kill < 4 * kKillsPerWay); ++kill) {
            const fs::path c = At("killed.cnt");
            fs::remove(c);
            const int64_t after = delay(random);
            const pid_t pid = StartPack(way, c, &feed);
            std::this_thread::sleep_for(std::chrono::microseconds(after));
            ::kill(pid, SIGKILL);
            Finish(pid);
            feed.reset();
            const std::string context = std::string(way.label) + ", killed after " + std::to_string(after) + " us";
            if (Inspect(c, expectedEntries, context) == Left::kCut) ++cut;
        }
    }
    // The kills did land while containers were being written.
    EXPECT_GT(cut, 0);
    RecordProperty("cut_containers", cut);
}

// An add that replaces one entry and adds two, killed at random moments.
// What it leaves opens at once (the module repairs it); the entries that
// were there read back whole, the replaced one whole or as a prefix of its
// new bytes, the added ones as prefixes of theirs.
TEST_F(ContKillTest, AddKilledAtRandomMomentsLeavesEarlierEntriesWholeAndAddedOnesPrefixes) {
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    ASSERT_EQ(0, Cont({"pack", At("base.cnt").string(), At("a").string(), At("b").string(), At("c").string()}).status);
    fs::create_directory(At("new"));
    const std::map<std::string, std::string> added = {
        {"b", Pattern(1200000, 5)}, {"d", Pattern(2000000, 6)}, {"e", Pattern(800000, 7)}};
    std::vector<std::string> args = {"add", "--replace", At("killed.cnt").string()};
    for (const auto& [name, bytes] : added) {
        WriteAll(At("new") / name, bytes);
        args.push_back((At("new") / name).string());
    }
    auto run = [&]() {
        fs::copy_file(At("base.cnt"), At("killed.cnt"), fs::copy_options::overwrite_existing);
        return Start(args);
    };
    // Every entry as the rules above allow; true when all were added whole.
    auto inspect = [&](const std::string& context) {
        const Outcome listed = Cont({"ls", At("killed.cnt").string()});
        EXPECT_EQ(0, listed.status) << context << ": the container left behind does not open: " << listed.err;
        std::istringstream lines(listed.out);
        uint64_t size = 0;
        std::string name;
        std::set<std::string> seen;
        bool whole = true;
        while (lines >> size && lines.ignore(2) && std::getline(lines, name)) {
            seen.insert(name);
            const std::string bytes = Cont({"cat", At("killed.cnt").string(), name}).out;
            EXPECT_EQ(size, bytes.size()) << context << ": entry " << name;
            auto fresh = added.find(name);
            const bool isPrefix = fresh != added.end() && fresh->second.compare(0, bytes.size(), bytes) == 0 &&
                                  bytes.size() <= fresh->second.size();
            if (name == "a" || name == "c") {
                EXPECT_TRUE(bytes == InputOf(name)) << context << ": entry " << name << " is no longer whole";
            } else if (name == "b") {
                EXPECT_TRUE(bytes == InputOf("b") || isPrefix) << context << ": entry b is neither old nor new";
                whole = whole && bytes == fresh->second;
            } else {
                EXPECT_TRUE(isPrefix) << context << ": entry " << name << " is not a prefix of its file";
                whole = whole && bytes == fresh->second;
            }
        }
        for (const char* kept : {"a", "b", "c"}) EXPECT_TRUE(seen.count(kept)) << context << ": " << kept << " is gone";
        return whole && seen.size() == 5;
    };

    const auto began = std::chrono::steady_clock::now();
    const Outcome whole = Finish(run());
    const auto took = std::chrono::steady_clock::now() - began;
    ASSERT_EQ(0, whole.status) << whole.err;
    ASSERT_TRUE(inspect("the whole add"));
    std::uniform_int_distribution<int64_t> delay(
        0, std::chrono::duration_cast<std::chrono::microseconds>(took).count() * 6 / 5);
    int cut = 0;
    for (int kill = 0; kill < kAddKills; ++kill) {
        const int64_t after = delay(random);
        const pid_t pid = run();
        std::this_thread::sleep_for(std::chrono::microseconds(after));
        ::kill(pid, SIGKILL);
        Finish(pid);
        if (!inspect("killed after " + std::to_string(after) + " us")) ++cut;
        ASSERT_FALSE(HasFailure());
    }
    // The kills did land while entries were being added.
    EXPECT_GT(cut, 0);
    RecordProperty("cut_adds", cut);
}

}  // namespace
