// The host library on its own: the URLs it writes and reads back, byte for
// byte, and what its writer leaves on disk when it fails or writes nothing.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <contfs/container_url.h>
#include <contfs/container_writer.h>
#include <contfs/module.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace contfs;

class HostLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(CONTFS_TEST_TMPDIR);
        char pattern[] = CONTFS_TEST_TMPDIR "/host-library-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
};

// Every byte a name may hold (all but 0), escaped by MakeContUrl where the
// module would take it otherwise, comes back from ReadContUrl as it was;
// and escapes written by hand in either case, at both ends of the digits
// and of the letters, read as the module reads them.
TEST_F(HostLibraryTest, UrlsCarryEveryByteOfANameThereAndBack) {
    const std::string path = "/srv/media/clips.cnt";
    // Every byte but those no URL can carry ('#', '\\', which the module
    // reads as '/', and '&' beside '"', which one name cannot hold both of).
    std::string every = "x";
    for (int c = 1; c < 256; ++c) {
        if (c != '#' && c != '\\' && c != '&') every += static_cast<char>(c);
    }
    for (const std::string& name : {every, std::string("%41%"), std::string("a&b=c"), std::string("\x7f\x80\xff")}) {
        std::string reason;
        ASSERT_TRUE(UrlCanName(path, name, &reason)) << reason;
        std::string readPath, readName;
        ASSERT_TRUE(ReadContUrl(MakeContUrl(path, name), &readPath, &readName, &reason)) << reason;
        EXPECT_EQ("/" + path, "/" + readPath);
        EXPECT_EQ(name, readName);
    }
    std::string readPath, readName, reason;
    ASSERT_TRUE(ReadContUrl("cont:////srv/c%2Ecnt?file=%30%39%3a%40%41%46%47%60%61%66%67%7E%7f%80%9F%A0%Ff%fF", &readPath,
                            &readName, &reason))
        << reason;
    EXPECT_EQ("/srv/c.cnt", readPath);
    EXPECT_EQ("09:@AFG`afg~\x7f\x80\x9f\xa0\xff\xff", readName);
    // Not escapes: the bytes stay as written.
    ASSERT_TRUE(ReadContUrl("cont:///c.cnt?file=%g0%0g%", &readPath, &readName, &reason)) << reason;
    EXPECT_EQ("%g0%0g%", readName);
}

// A writer that takes up a missing file for adding makes it, and takes it
// back when nothing reaches it; a file it did not make stays whatever
// happens.
TEST_F(HostLibraryTest, AWriterTakesBackOnlyTheFileItMadeAndNeverFilled) {
    Module module;
    ASSERT_EQ(S_OK, module.Load(CONTFS_MODULE_PATH).code());
    const fs::path made = dir / "made.cnt";
    {
        ContainerWriter writer;
        ASSERT_EQ(S_OK, writer.Append(module, made.string()).code());
        EXPECT_TRUE(fs::exists(made));
        writer.Close();
    }
    EXPECT_FALSE(fs::exists(made)) << "an empty file the writer made is left behind";

    const fs::path notes = dir / "notes.txt";
    std::ofstream(notes) << "not a container\n";
    chmod(notes.c_str(), 0640);
    {
        ContainerWriter writer;
        std::string why;
        EXPECT_EQ(RES_BAD_FORMAT, writer.Append(module, notes.string(), &why).code());
        writer.Close();
    }
    ASSERT_TRUE(fs::exists(notes));
    std::ifstream in(notes);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ("not a container\n", text);
    struct stat st {};
    ASSERT_EQ(0, stat(notes.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777u);

    // A new container whose first entry cannot be added (a name no URL
    // carries) leaves no file either.
    const fs::path fresh = dir / "fresh.cnt";
    {
        ContainerWriter writer;
        ASSERT_EQ(S_OK, writer.Create(module, fresh.string()).code());
        EntryFile entry;
        EXPECT_TRUE(writer.AddEntry("", &entry).failed());
        writer.Close();
    }
    EXPECT_FALSE(fs::exists(fresh));
}

// A program that looks at the new container while it is still an empty
// file (a follower polling for it) holds it for a moment, as the module's
// readers do; the writer's first entry waits for it rather than the
// recording failing at its start.
TEST_F(HostLibraryTest, AWriterWaitsForAReaderThatGlancesAtItsEmptyFile) {
    Module module;
    ASSERT_EQ(S_OK, module.Load(CONTFS_MODULE_PATH).code());
    const fs::path live = dir / "live.cnt";
    ContainerWriter writer;
    ASSERT_EQ(S_OK, writer.Create(module, live.string()).code());
    std::ofstream(live).close();
    const int glance = open(live.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_LE(0, glance);
    ASSERT_EQ(0, flock(glance, LOCK_SH));
    std::thread reader([glance] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        close(glance);
    });
    EntryFile entry;
    EXPECT_EQ(S_OK, writer.AddEntry("stream.ts", &entry).code());
    reader.join();
    EXPECT_EQ(S_OK, entry.Write("bytes", 5).code());
    entry.Release();
    writer.Close();
    EXPECT_LT(0u, fs::file_size(live));
}

}  // namespace
