// The descriptor wrappers move whole counts: a read that the system cuts
// short is read on, and a write cut short by a limit reports the failure
// behind it rather than passing for whole.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/posix_file.h"

namespace {

// A pipe written ten bytes at a time: every read returns short.
TEST(PosixFileTest, ReadFullyReadsOnThroughShortReads) {
    int ends[2];
    ASSERT_EQ(0, pipe(ends));
    const std::string sent(1000, 'r');
    std::thread writer([&] {
        for (size_t at = 0; at < sent.size(); at += 10) {
            ASSERT_EQ(10, write(ends[1], sent.data() + at, 10));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        close(ends[1]);
    });
    std::string got(600, '\0');
    EXPECT_EQ(600, platform::ReadFully(ends[0], got.data(), got.size()));
    EXPECT_EQ(sent.substr(0, 600), got);
    // The rest, and then the end of the input: what there was.
    EXPECT_EQ(400, platform::ReadFully(ends[0], got.data(), got.size()));
    writer.join();
    close(ends[0]);
}

// The file size limit cuts a write short, then refuses the next one: the
// write as a whole failed, with the system's reason, and the file holds
// what the limit let through.
TEST(PosixFileTest, AWriteCutShortByALimitFailsWithItsCause) {
    const std::filesystem::path dir = CONTFS_TEST_TMPDIR;
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "limited.bin").string();
    struct rlimit before {};
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &before));
    void (*handler)(int) = signal(SIGXFSZ, SIG_IGN);
    const std::string bytes(100000, 'w');
    for (bool positioned : {false, true}) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        struct rlimit small = before;
        small.rlim_cur = 40000;
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &small));
        const int64_t put = positioned ? platform::WriteFullyAt(fd, bytes.data(), bytes.size(), 0)
                                       : platform::WriteFully(fd, bytes.data(), bytes.size());
        const int32_t code = platform::LastErrorCode();
        setrlimit(RLIMIT_FSIZE, &before);
        EXPECT_EQ(-1, put) << (positioned ? "pwrite" : "write");
        EXPECT_EQ(EFBIG, code);
        EXPECT_EQ(40000, platform::FileSize(fd));
        close(fd);
    }
    signal(SIGXFSZ, handler);
    std::filesystem::remove(path);
}

}  // namespace
