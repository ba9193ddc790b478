// cont cat --follow: an entry read while another cont writes it.
#include "cont_fixture.h"

namespace {

using namespace conttest;

class ContFollowTest : public ContFixture {
protected:
    // Starts `cont pack` writing entry "e" of x.cnt from a pipe fed slowly,
    // its own output thrown away, and returns once the entry's first bytes
    // are in the container.
    pid_t StartWriter(PipeFeed& feed) {
        stdoutDevice = stderrDevice = "/dev/null";
        inputFd = feed.readEnd();
        const pid_t writer = Start({"pack", "--name", "e", At("x.cnt").string(), "-"});
        inputFd = -1;
        stdoutDevice = stderrDevice = "";
        for (int wait = 0; wait < 1000 && (!fs::exists(At("x.cnt")) || fs::file_size(At("x.cnt")) < 20000); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return writer;
    }
};

TEST_F(ContFollowTest, FollowReadsAnEntryToItsLastByteWhileAWriterAppendsToIt) {
    const std::string bytes = Pattern(2u << 20, 7);
    {
        PipeFeed feed(bytes, 64u << 10, std::chrono::milliseconds(40));
        const pid_t writer = StartWriter(feed);
        const auto started = std::chrono::steady_clock::now();
        const pid_t follower = Start({"cat", "--follow", At("x.cnt").string(), "e"});
        EXPECT_LT(feed.fed(), bytes.size());  // the writer was still at work
        EXPECT_EQ(0, Finish(writer, 60).status);
        const Outcome o = Finish(follower, 60);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        EXPECT_EQ(0, o.status) << o.err;
        EXPECT_EQ(bytes.size(), o.out.size());
        EXPECT_TRUE(o.out == bytes);
        // It slept between the writer's writes rather than asking again and
        // again.
        EXPECT_LT(o.cpuSeconds, wall / 4) << "wall " << wall;
    }

    // A writer killed mid-way never closes the container: the follower ends
    // after the bytes that reached the disk, and says so.
    fs::remove(At("x.cnt"));
    PipeFeed feed(bytes, 64u << 10, std::chrono::milliseconds(40), true);
    const pid_t writer = StartWriter(feed);
    const pid_t follower = Start({"cat", "--follow", At("x.cnt").string(), "e"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(writer, SIGKILL);
    Finish(writer);
    const Outcome o = Finish(follower, 60);
    ExpectError(o, "not closed cleanly", "x.cnt");
    EXPECT_GT(o.out.size(), 0u);
    EXPECT_LT(o.out.size(), bytes.size());
    EXPECT_TRUE(o.out == bytes.substr(0, o.out.size()));
}

// Another container renamed over the one being followed holds an entry of
// the same name: its bytes are not the followed entry's continuation.
TEST_F(ContFollowTest, FollowStopsWhenTheContainerFileIsReplaced) {
    const std::string bytes = Pattern(2u << 20, 7);
    WriteAll(At("other"), Pattern(1u << 20, 8));
    ContOk({"pack", "--name", "e", At("y.cnt").string(), At("other").string()});
    PipeFeed feed(bytes, 64u << 10, std::chrono::milliseconds(40), true);
    const pid_t writer = StartWriter(feed);
    const pid_t follower = Start({"cat", "--follow", At("x.cnt").string(), "e"});
    for (int wait = 0; wait < 1000 && (!fs::exists(At(".out")) || fs::file_size(At(".out")) == 0); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    fs::rename(At("y.cnt"), At("x.cnt"));
    const Outcome o = Finish(follower, 60);
    kill(writer, SIGKILL);
    Finish(writer);
    ExpectError(o, "was replaced by another", "entry 'e'");
    EXPECT_GT(o.out.size(), 0u);
    EXPECT_TRUE(o.out == bytes.substr(0, o.out.size()));
}

}  // namespace
