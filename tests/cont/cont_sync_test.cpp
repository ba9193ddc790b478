// cont pack from a pipe flushes what it wrote to the disk also while the
// input is quiet, so that a power cut costs a recorder no more than the last
// --sync-every seconds (0: only at the end). cont runs with a library
// (LD_PRELOAD) that notes every fsync and fdatasync in a file.
#include <cstdio>

#include "cont_fixture.h"

namespace {

using namespace conttest;

class ContSyncTest : public ContFixture {
protected:
    std::vector<std::string> SyncLogged() {
        return Preloaded(CONT_SYNC_LOG_LIBRARY, {"CONT_SYNC_LOG=" + At("syncs").string()});
    }
    size_t Syncs() {
        const std::string log = ReadAll(At("syncs"));
        return static_cast<size_t>(std::count(log.begin(), log.end(), '\n'));
    }
};

TEST_F(ContSyncTest, AStreamIsFlushedWhileItIsQuiet) {
    for (const std::string every : {"0.2", "0"}) {
        fs::remove(At("syncs"));
        // The pipe stays open, and quiet, after its first bytes.
        auto feed = std::make_unique<PipeFeed>(Pattern(100000, 1), 100000, std::chrono::microseconds(0), true);
        inputFd = feed->readEnd();
        const pid_t pack = Start({"pack", "--sync-every", every, "--name", "s", At("x" + every).string(), "-"}, {},
                                 SyncLogged());
        inputFd = -1;
        size_t quiet = 0;
        if (every == "0") {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            quiet = Syncs();
            EXPECT_EQ(0u, quiet) << "--sync-every 0 flushed before the end";
        } else {
            for (int wait = 0; wait < 500 && (quiet = Syncs()) == 0; ++wait)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            EXPECT_GT(quiet, 0u) << "nothing was flushed while the input was quiet";
            // With every byte the pipe gave in the file.
            long long size = 0;
            EXPECT_EQ(1, std::sscanf(ReadAll(At("syncs")).c_str(), "%*s %lld", &size));
            EXPECT_GT(size, 100000);
        }
        feed.reset();  // the input ends
        const Outcome o = Finish(pack, 30);
        EXPECT_EQ(0, o.status) << o.err;
    }
}

}  // namespace
