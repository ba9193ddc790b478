// `cont mount` end to end: a container mounted through FUSE, looked at with
// the system calls and programs any user has.
#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <set>

#include "mount_fixture.h"

namespace mounttest {
namespace {

class MountedContainer : public MountTest {
protected:
    host::LoadedModule module;
};

std::set<std::string> Listing(const std::string& path) {
    std::set<std::string> names;
    DIR* listing = opendir(path.c_str());
    if (!listing) return {"(cannot open: " + std::string(strerror(errno)) + ")"};
    while (dirent* item = readdir(listing)) names.insert(item->d_name);
    closedir(listing);
    return names;
}

// Reads with read(2) until the end or an error; the errno of the error, 0 at the end.
int ReadUntilError(int fd, std::string* bytes) {
    char buffer[64 << 10];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) return errno;
        if (got == 0) return 0;
        bytes->append(buffer, static_cast<size_t>(got));
    }
}

TEST_F(MountedContainer, ShowsNestedNamesAsDirectoriesAndEveryEntryByteForByte) {
    const std::vector<std::pair<std::string, std::string>> entries = {
        {"readme.txt", "read me\n"},
        {"video/intro.bin", Pattern((3u << 20) + 5, 1)},
        {"video/2024/clip one.bin", Pattern((1u << 20) + 17, 2)},
        {"audio/a&b.raw", Pattern(70000, 3)},
        {"empty.dat", ""},
        {"video", "a file where a directory is"},
        {"../up", "outside"},
    };
    ASSERT_EQ("", WriteContainer(module, container, entries));
    MountInForeground(container);

    EXPECT_EQ((std::set<std::string>{".", "..", "readme.txt", "video", "audio", "empty.dat"}), Listing(mountPoint));
    EXPECT_EQ((std::set<std::string>{".", "..", "intro.bin", "2024"}), Listing(InMount("video")));
    EXPECT_EQ((std::set<std::string>{".", "..", "clip one.bin"}), Listing(InMount("video/2024")));
    const std::string told = ReadFile(At("mount.err"));
    EXPECT_NE(std::string::npos, told.find("'../up': not shown")) << told;
    EXPECT_NE(std::string::npos, told.find("'video': not shown")) << told;

    struct stat boxStat {}, seen {};
    ASSERT_EQ(0, stat(container.c_str(), &boxStat));
    ASSERT_EQ(0, stat(InMount("video/2024").c_str(), &seen));
    EXPECT_TRUE(S_ISDIR(seen.st_mode));
    for (const auto& [name, bytes] : entries) {
        if (name == "video" || name == "../up") continue;
        ASSERT_EQ(0, stat(InMount(name).c_str(), &seen)) << name;
        EXPECT_TRUE(S_ISREG(seen.st_mode)) << name;
        EXPECT_EQ(0444 & boxStat.st_mode, 07777 & seen.st_mode) << name;
        EXPECT_EQ(static_cast<off_t>(bytes.size()), seen.st_size) << name;
        EXPECT_EQ(boxStat.st_mtim.tv_sec, seen.st_mtim.tv_sec) << name;
        const fs::path original = At("originals") / name;
        WriteFile(original, bytes);
        const Outcome compared = Run({"cmp", original.string(), InMount(name)});
        EXPECT_EQ(0, compared.status) << name << ": " << compared.out << compared.err;
    }
    EXPECT_EQ(-1, open(InMount("readme.txt").c_str(), O_WRONLY));
    EXPECT_EQ(EROFS, errno);
}

TEST_F(MountedContainer, ReadsAtRandomOffsetsThroughIndependentOpens) {
    const std::string bytes = Pattern((5u << 20) + 321, 7);
    ASSERT_EQ("", WriteContainer(module, container, {{"other", Pattern(4u << 20, 8)}, {"clip", bytes}}, 100000));
    MountInForeground(container);

    // Direct I/O takes the kernel's cache out of the way: every read below
    // reaches the mount at exactly its offset, alternating between two
    // opens of the entry whose positions must not disturb each other.
    int fds[2];
    for (int& fd : fds) {
        fd = open(InMount("clip").c_str(), O_RDONLY | O_DIRECT);
        ASSERT_LE(0, fd) << strerror(errno);
    }
    std::mt19937 random(17);
    std::string got(300000, '\0');
    for (int i = 0; i < 400; ++i) {
        const size_t offset = i % 10 == 9 ? bytes.size() - random() % 1000 : random() % bytes.size();
        const size_t length = 1 + random() % got.size();
        const ssize_t read = pread(fds[i % 2], got.data(), length, static_cast<off_t>(offset));
        const size_t expected = std::min(length, bytes.size() - offset);
        ASSERT_EQ(static_cast<ssize_t>(expected), read) << "at " << offset << " for " << length;
        ASSERT_TRUE(std::equal(got.begin(), got.begin() + read, bytes.begin() + offset)) << "at " << offset;
    }
    EXPECT_EQ(0, pread(fds[0], got.data(), 10, static_cast<off_t>(bytes.size())));
    for (int fd : fds) close(fd);
}

TEST_F(MountedContainer, FollowsAnEntryAnotherProcessIsStillWriting) {
    const std::string first = Pattern(100000, 11), more = Pattern(300000, 12), late = "added while mounted\n";
    const std::string patch = Pattern(5000, 13);
    int toWriter[2], fromWriter[2];
    ASSERT_EQ(0, pipe(toWriter));
    ASSERT_EQ(0, pipe(fromWriter));
    const pid_t writer = fork();
    ASSERT_LE(0, writer);
    if (writer == 0) {
        // The writer: one step per byte from the test, an answer after each.
        auto step = [&] {
            char c = 0;
            return write(fromWriter[1], "k", 1) == 1 && read(toWriter[0], &c, 1) == 1;
        };
        bool ok = true;
        {
            auto live = host::NewHostFile(module, host::ContUrl(container, "live.bin"));
            ok = live->Open(ReadAccess | WriteAccess) == S_OK && live->Write(first) == S_OK && step();
            auto added = host::NewHostFile(module, host::ContUrl(container, "late.txt"));
            ok = ok && live->Write(more) == S_OK && added->Open(ReadAccess | WriteAccess) == S_OK &&
                 added->Write(late) == S_OK && step();
            ok = ok && live->file64->Seek64(0, 0, 0) == S_OK && live->Write(patch) == S_OK && step();
        }
        _exit(ok && write(fromWriter[1], "k", 1) == 1 ? 0 : 1);
    }
    char answer = 0;
    ASSERT_EQ(1, read(fromWriter[0], &answer, 1));
    MountInForeground(container);

    struct stat seen {};
    ASSERT_EQ(0, stat(InMount("live.bin").c_str(), &seen));
    EXPECT_EQ(static_cast<off_t>(first.size()), seen.st_size);
    const int fd = open(InMount("live.bin").c_str(), O_RDONLY);
    ASSERT_LE(0, fd);
    std::string bytes;
    EXPECT_EQ(0, ReadUntilError(fd, &bytes));
    EXPECT_TRUE(bytes == first);
    EXPECT_EQ(0u, Listing(mountPoint).count("late.txt"));

    ASSERT_EQ(1, write(toWriter[1], "k", 1));
    ASSERT_EQ(1, read(fromWriter[0], &answer, 1));
    ASSERT_EQ(0, fstat(fd, &seen));
    EXPECT_EQ(static_cast<off_t>(first.size() + more.size()), seen.st_size);
    // The same open reads on past its old end.
    EXPECT_EQ(0, ReadUntilError(fd, &bytes));
    EXPECT_TRUE(bytes == first + more) << bytes.size();
    close(fd);
    EXPECT_EQ(1u, Listing(mountPoint).count("late.txt"));
    EXPECT_EQ(late, ReadFile(InMount("late.txt")));

    // Bytes rewritten in place, the size unchanged: an open after the change
    // must not be served the pages the kernel kept from the opens before it.
    EXPECT_TRUE(ReadFile(InMount("live.bin")) == first + more);
    ASSERT_EQ(1, write(toWriter[1], "k", 1));
    ASSERT_EQ(1, read(fromWriter[0], &answer, 1));
    const std::string patched = patch + (first + more).substr(patch.size());
    EXPECT_TRUE(ReadFile(InMount("live.bin")) == patched);

    ASSERT_EQ(1, write(toWriter[1], "k", 1));
    int wstatus = 0;
    ASSERT_EQ(writer, waitpid(writer, &wstatus, 0));
    EXPECT_EQ(0, ExitStatus(wstatus));
    // Closed cleanly: still the same bytes.
    EXPECT_TRUE(ReadFile(InMount("live.bin")) == patched);
    for (int fd : {toWriter[0], toWriter[1], fromWriter[0], fromWriter[1]}) close(fd);
}

TEST_F(MountedContainer, DamagedBytesGiveEioAndTheMountStaysUp) {
    const std::string good = Pattern(200000, 21), damaged = Pattern(600000, 22);
    // The damaged entry's record ends the file; a copy cut short loses its last 250000 bytes.
    ASSERT_EQ("", WriteContainer(module, container, {{"good.bin", good}, {"damaged.bin", damaged}}, 1 << 20));
    const uintmax_t size = fs::file_size(container);
    fs::resize_file(container, size - 250000);
    const size_t readable = damaged.size() - 250000;
    MountInForeground(container);

    struct stat seen {};
    ASSERT_EQ(0, stat(InMount("damaged.bin").c_str(), &seen));
    EXPECT_EQ(static_cast<off_t>(damaged.size()), seen.st_size);
    int fd = open(InMount("damaged.bin").c_str(), O_RDONLY);
    ASSERT_LE(0, fd);
    std::string bytes;
    EXPECT_EQ(EIO, ReadUntilError(fd, &bytes)) << "read " << bytes.size() << " bytes";
    // The kernel retries a failed read page by page: what lies before the
    // damage still arrives.
    EXPECT_LE(bytes.size(), readable);
    EXPECT_GT(bytes.size() + (128 << 10), readable);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), damaged.begin()));
    close(fd);

    // Byte by byte with the cache out of the way: up to the cut, and not past it.
    fd = open(InMount("damaged.bin").c_str(), O_RDONLY | O_DIRECT);
    ASSERT_LE(0, fd);
    char piece[4096];
    EXPECT_EQ(4096, pread(fd, piece, 4096, static_cast<off_t>(readable - 4096)));
    EXPECT_TRUE(std::equal(piece, piece + 4096, damaged.begin() + (readable - 4096)));
    EXPECT_EQ(-1, pread(fd, piece, 4096, static_cast<off_t>(readable + 1000)));
    EXPECT_EQ(EIO, errno);
    close(fd);

    EXPECT_TRUE(ReadFile(InMount("good.bin")) == good);
    EXPECT_TRUE(Mounted());
}

TEST_F(MountedContainer, RefusesWhatCannotBeMountedAndSaysWhy) {
    Outcome o = Cont({"mount", At("missing.cnt").string(), mountPoint});
    EXPECT_EQ(1, o.status);
    EXPECT_NE(std::string::npos, o.err.find("RES_OPEN_FAILED")) << o.err;
    WriteFile(At("notes.txt"), "not a container\n");
    o = Cont({"mount", At("notes.txt").string(), mountPoint});
    EXPECT_EQ(1, o.status);
    EXPECT_NE(std::string::npos, o.err.find("RES_BAD_FORMAT")) << o.err;
    EXPECT_FALSE(Mounted());

    ASSERT_EQ("", WriteContainer(module, container, {{"a", "bytes"}}));
    const std::string inside = mountPoint + "/inside.cnt";
    fs::copy_file(container, inside);
    o = Cont({"mount", inside, mountPoint});
    EXPECT_EQ(1, o.status);
    EXPECT_NE(std::string::npos, o.err.find("lies under the mount point")) << o.err;

    // Without -f it goes to the background once the mount is there.
    o = Cont({"mount", container, mountPoint});
    ASSERT_EQ(0, o.status) << o.err;
    EXPECT_TRUE(Mounted());
    o = Cont({"mount", container, mountPoint});
    EXPECT_EQ(1, o.status);
    EXPECT_NE(std::string::npos, o.err.find("busy")) << o.err;
    EXPECT_EQ("bytes", ReadFile(InMount("a")));

    o = Cont({"umount", dir.string()});
    EXPECT_EQ(1, o.status);
    EXPECT_NE(std::string::npos, o.err.find("not a mount point")) << o.err;
    o = Cont({"umount", mountPoint});
    EXPECT_EQ(0, o.status) << o.err;
    EXPECT_FALSE(Mounted());
}

// A user who may not open /dev/fuse is told so, and how an administrator
// lets them in. As root the test runs cont as nobody; it is skipped where
// that user (or the one running it) may open /dev/fuse after all.
TEST_F(MountedContainer, AUserWhoMayNotOpenDevFuseIsToldHowToGetIn) {
    std::vector<std::string> as;
    if (geteuid() == 0) as = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), as.begin(), as.end());
        return Run(args);
    };
    if (run({"sh", "-c", "exec 3<>/dev/fuse"}).status == 0) GTEST_SKIP() << "this user may open /dev/fuse here";
    ASSERT_EQ("", WriteContainer(module, container, {{"a", "bytes"}}));
    fs::permissions(dir, fs::perms::all);
    fs::permissions(mountPoint, fs::perms::all);
    fs::permissions(container, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const Outcome o = run({CONT_TOOL_PATH, "mount", "-f", container, mountPoint});
    EXPECT_EQ(1, o.status) << o.err;
    EXPECT_NE(std::string::npos, o.err.find("cannot mount the container here: user ")) << o.err;
    EXPECT_NE(std::string::npos, o.err.find("may not open /dev/fuse")) << o.err;
    EXPECT_NE(std::string::npos, o.err.find("group")) << o.err;
    EXPECT_FALSE(Mounted());
}

TEST_F(MountedContainer, UnmountingReleasesEveryObjectOfTheModule) {
    ASSERT_EQ("", WriteContainer(module, container, {{"a/one", Pattern(300000, 31)}, {"two", "2"}}));
    // cont mount exits with 0 only when the module lets itself be unloaded
    // at the end, which it does once no object of it is alive.
    MountInForeground(container);
    int fd = open(InMount("a/one").c_str(), O_RDONLY);
    ASSERT_LE(0, fd);
    char bytes[1000];
    ASSERT_EQ(1000, read(fd, bytes, sizeof bytes));
    DIR* listing = opendir(InMount("a").c_str());
    ASSERT_NE(nullptr, listing);
    Outcome o = Cont({"umount", mountPoint});
    EXPECT_EQ(1, o.status);
    EXPECT_NE(std::string::npos, o.err.find("busy")) << o.err;
    close(fd);
    closedir(listing);
    o = Cont({"umount", mountPoint});
    EXPECT_EQ(0, o.status) << o.err;
    EXPECT_EQ(0, ServerExit()) << ReadFile(At("mount.err"));

    // Taken away at once while a file stays open: that file still reads,
    // and the release of its object comes when it is closed.
    MountInForeground(container);
    fd = open(InMount("a/one").c_str(), O_RDONLY);
    ASSERT_LE(0, fd);
    o = Cont({"umount", "--lazy", mountPoint});
    EXPECT_EQ(0, o.status) << o.err;
    EXPECT_FALSE(Mounted());
    EXPECT_EQ(1000, pread(fd, bytes, sizeof bytes, 5000));
    EXPECT_EQ(-1, ServerExit(std::chrono::seconds(0)));
    close(fd);
    EXPECT_EQ(0, ServerExit()) << ReadFile(At("mount.err"));

    // Told to stop while a file is open: the objects of that file go too.
    MountInForeground(container);
    fd = open(InMount("two").c_str(), O_RDONLY);
    ASSERT_LE(0, fd);
    ASSERT_EQ(0, kill(server, SIGTERM));
    EXPECT_EQ(0, ServerExit()) << ReadFile(At("mount.err"));
    EXPECT_FALSE(Mounted());
    close(fd);
}

// An MP4 whose index (the moov box) comes after its media data is read by
// seeking to the end and back; from the mount it decodes like the original.
TEST_F(MountedContainer, DecodesAnMp4WithItsIndexAtTheEnd) {
    const fs::path clip = fs::path(CONTFS_SOURCE_DIR) / "samples/clip.mp4";
    const std::string bytes = ReadFile(clip);
    ASSERT_FALSE(bytes.empty());
    // The top-level boxes: a 4-byte big-endian size, then the type.
    std::vector<std::string> boxes;
    for (size_t at = 0; at + 8 <= bytes.size();) {
        const uint32_t size = (uint32_t(uint8_t(bytes[at])) << 24) | (uint32_t(uint8_t(bytes[at + 1])) << 16) |
                              (uint32_t(uint8_t(bytes[at + 2])) << 8) | uint8_t(bytes[at + 3]);
        boxes.push_back(bytes.substr(at + 4, 4));
        if (size < 8) break;
        at += size;
    }
    const auto mdat = std::find(boxes.begin(), boxes.end(), "mdat");
    ASSERT_NE(boxes.end(), mdat);
    ASSERT_NE(boxes.end(), std::find(mdat, boxes.end(), "moov"));

    ASSERT_EQ(0, Cont({"pack", "-q", container, clip.string()}).status);
    MountInForeground(container);
    const Outcome original = Run({"ffmpeg", "-v", "error", "-i", clip.string(), "-f", "md5", "-"});
    const Outcome mounted = Run({"ffmpeg", "-v", "error", "-i", InMount("clip.mp4"), "-f", "md5", "-"});
    ASSERT_EQ(0, original.status) << original.err;
    EXPECT_EQ(0, mounted.status) << mounted.err;
    EXPECT_EQ(0u, original.out.find("MD5=")) << original.out;
    EXPECT_EQ(original.out, mounted.out);
}

}  // namespace
}  // namespace mounttest
