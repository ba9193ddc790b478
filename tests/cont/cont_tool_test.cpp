// The cont tool seen from a shell: each test runs the built binary on files
// in a scratch directory and checks its output, its files and its exit
// status.
#include <sstream>

#include "cont_fixture.h"
#include "support/host_doubles.h"
#include "support/module_loader.h"
#include "support/container_bytes.h"

namespace {

using namespace conttest;

class ContToolTest : public ContFixture {
protected:
    // Files of the sizes the round trips care about, written to the scratch
    // directory; returns their names.
    std::vector<std::string> MakeSampleFiles() {
        const std::vector<std::pair<std::string, size_t>> files = {
            {"empty.bin", 0}, {"one.bin", 1}, {"fifteen.bin", 15}, {"sixteen.bin", 16}, {"big.bin", (5u << 20) + 77},
        };
        std::vector<std::string> names;
        uint32_t seed = 1;
        for (const auto& [name, size] : files) {
            WriteAll(At(name), Pattern(size, seed++));
            names.push_back(name);
        }
        return names;
    }

    std::vector<std::string> Paths(const std::vector<std::string>& names) {
        std::vector<std::string> paths;
        for (const std::string& n : names) paths.push_back(At(n).string());
        return paths;
    }

    void ExpectRoundTrip(const std::vector<std::string>& packArgs) {
        const std::vector<std::string> names = MakeSampleFiles();
        std::vector<std::string> args = packArgs;
        args.push_back(At("x.cnt").string());
        for (const std::string& p : Paths(names)) args.push_back(p);
        ContOk(args);

        std::string expectedListing;
        for (const std::string& n : names)
            expectedListing += std::to_string(fs::file_size(At(n))) + "  " + n + "\n";
        const std::string listing = ContOk({"ls", At("x.cnt").string()});
        // Sizes are right-aligned to the widest; compare without the padding.
        std::istringstream lines(listing);
        std::string normalised, line;
        while (std::getline(lines, line)) normalised += line.substr(line.find_first_not_of(' ')) + "\n";
        EXPECT_EQ(expectedListing, normalised);

        for (const std::string& n : names) {
            const std::string original = ReadAll(At(n));
            const std::string viaCat = ContOk({"cat", At("x.cnt").string(), n});
            EXPECT_EQ(original.size(), viaCat.size()) << n;
            EXPECT_EQ(Checksum(original), Checksum(viaCat)) << n;
            EXPECT_TRUE(original == viaCat) << n;
        }
        ContOk({"extract", "-C", At("out").string(), At("x.cnt").string()});
        for (const std::string& n : names) {
            EXPECT_TRUE(fs::exists(At("out") / n)) << n;
            EXPECT_EQ(Checksum(ReadAll(At(n))), Checksum(ReadAll(At("out") / n))) << n;
        }
        EXPECT_NE(std::string::npos, ContOk({"check", At("x.cnt").string()}).find("result:    ok"));
    }

};

// The entry numbers of the data records, in file order.
std::vector<uint32_t> DataRecordOwners(const std::string& file) {
    auto be = [&](size_t at, size_t n) {
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v = (v << 8) | static_cast<unsigned char>(file[at + i]);
        return v;
    };
    std::vector<uint32_t> owners;
    size_t at = 11 + be(7, 4);  // ".W7K" header: magic, version, flag, title
    while (at + 5 <= file.size()) {
        const uint64_t length = be(at + 1, 4);
        if (file[at] == 2) owners.push_back(static_cast<uint32_t>(be(at + 5, 4)));
        if (length == 0) break;
        at += 5 + length;
    }
    return owners;
}

// ---- making and reading containers ------------------------------------------

TEST_F(ContToolTest, PackedFilesOfEverySizeComeBackByteForByte) { ExpectRoundTrip({"pack"}); }

TEST_F(ContToolTest, InterleavedPackComesBackByteForByte) { ExpectRoundTrip({"pack", "--interleave"}); }

TEST_F(ContToolTest, InterleavedPackAlternatesDataRecords) {
    WriteAll(At("a"), Pattern(300000, 1));
    WriteAll(At("b"), Pattern(300000, 2));
    ContOk({"pack", "--interleave", "--no-gather", At("x.cnt").string(), At("a").string(), At("b").string()});
    const std::vector<uint32_t> owners = DataRecordOwners(ReadAll(At("x.cnt")));
    ASSERT_GE(owners.size(), 4u);
    EXPECT_EQ((std::vector<uint32_t>{0, 1, 0, 1}), std::vector<uint32_t>(owners.begin(), owners.begin() + 4));

    // Gathered (the default), each entry's pieces reach the file as one
    // record of up to 1 MiB, written at once or not.
    ContOk({"pack", "--interleave", At("g.cnt").string(), At("a").string(), At("b").string()});
    EXPECT_EQ((std::vector<uint32_t>{0, 1}), DataRecordOwners(ReadAll(At("g.cnt"))));
    EXPECT_TRUE(Pattern(300000, 1) == ContOk({"cat", At("g.cnt").string(), "a"}));

    // Without --interleave each entry's bytes lie in one run.
    ContOk({"pack", "--force", At("y.cnt").string(), At("a").string(), At("b").string()});
    EXPECT_EQ((std::vector<uint32_t>{0, 1}), DataRecordOwners(ReadAll(At("y.cnt"))));
}

TEST_F(ContToolTest, PackReadsStandardInputUnderTheGivenName) {
    const std::string bytes = Pattern(70000, 9);
    WriteAll(At("in"), bytes);
    ContOk({"pack", "--name", "stream.dat", At("x.cnt").string(), "-"}, "in");
    EXPECT_TRUE(bytes == ContOk({"cat", At("x.cnt").string(), "stream.dat"}));
}

// With no data written a container holds nothing on disk; cont still makes
// it readable.
TEST_F(ContToolTest, ContainerOfEmptyFilesCanBeReadBack) {
    WriteAll(At("e1"), "");
    WriteAll(At("e2"), "");
    const std::string c = At("x.cnt").string();
    ContOk({"pack", c, At("e1").string(), At("e2").string()});
    EXPECT_EQ("0  e1\n0  e2\n", ContOk({"ls", c}));
    EXPECT_EQ("", ContOk({"cat", c, "e2"}));
    EXPECT_NE(std::string::npos, ContOk({"check", c}).find("result:    ok"));
}

TEST_F(ContToolTest, CatHonoursOffsetAndLength) {
    const std::string bytes = Pattern((1u << 20) + 5000, 3);
    WriteAll(At("a"), bytes);
    ContOk({"pack", At("x.cnt").string(), At("a").string()});
    const std::string c = At("x.cnt").string();
    EXPECT_TRUE(bytes.substr(100) == ContOk({"cat", "--offset", "100", c, "a"}));
    EXPECT_TRUE(bytes.substr(100, 10) == ContOk({"cat", "--offset=100", "--length=10", c, "a"}));
    // Across the tool's 1 MiB read pieces.
    EXPECT_TRUE(bytes.substr((1u << 20) - 3, 4000) ==
                ContOk({"cat", "--offset", std::to_string((1u << 20) - 3), "--length", "4000", c, "a"}));
    EXPECT_TRUE(bytes.substr(0, 1) == ContOk({"cat", "--length", "1", c, "a"}));
    EXPECT_EQ("", ContOk({"cat", "--offset", std::to_string(bytes.size()), c, "a"}));
    EXPECT_TRUE(bytes.substr(bytes.size() - 7) ==
                ContOk({"cat", "--offset", std::to_string(bytes.size() - 7), "--length", "1G", c, "a"}));

    // Sizes take decimals with a unit; a fraction of a byte is no size.
    EXPECT_TRUE(bytes.substr(524288, 1536) == ContOk({"cat", "--offset", "0.5M", "--length", "1.5k", c, "a"}));
    EXPECT_EQ(2, Cont({"cat", "--offset", "1.5", c, "a"}).status);

    Outcome past = Cont({"cat", "--offset", std::to_string(bytes.size() + 1), c, "a"});
    ExpectError(past, "entry 'a'", "E_INVALIDARG (0x80070057)");
    EXPECT_EQ("", past.out);
}

TEST_F(ContToolTest, StatGivesSizeAndUrl) {
    WriteAll(At("a"), Pattern(12345, 4));
    ContOk({"pack", At("x.cnt").string(), At("a").string()});
    const std::string out = ContOk({"stat", At("x.cnt").string(), "a"});
    EXPECT_NE(std::string::npos, out.find("size:     12345\n")) << out;
    EXPECT_NE(std::string::npos, out.find("url:      cont:///" + fs::canonical(At("x.cnt")).string() + "?file=a\n"))
        << out;
}

// An entry past 4 GiB, in a sparse file: its whole size in the listing
// and in stat, and its last bytes by cat.
TEST_F(ContToolTest, AnEntryPastFourGiBIsListedStatedAndRead) {
    const uint64_t size = (5ull << 30) + 77;
    const std::string tail = "the last bytes of a long entry";
    const std::string c = At("big.cnt").string();
    ASSERT_TRUE(ctest::WriteSparseContainer(c, "long", size, tail));
    EXPECT_EQ(std::to_string(size) + "  long\n", ContOk({"ls", c}));
    EXPECT_NE(std::string::npos, ContOk({"ls", "--json", c}).find("\"size\": " + std::to_string(size)));
    const std::string stat = ContOk({"stat", c, "long"});
    EXPECT_NE(std::string::npos, stat.find("size:     " + std::to_string(size) + "\n")) << stat;
    EXPECT_EQ(tail, ContOk({"cat", "--offset", std::to_string(size - tail.size()), c, "long"}));
}

TEST_F(ContToolTest, ListUrlsOpenTheEntriesTheyName) {
    WriteAll(At("a"), "alpha");
    WriteAll(At("b"), "bravo");
    ContOk({"pack", At("x.cnt").string(), At("a").string(), At("b").string()});
    const std::string root = "cont:///" + fs::canonical(At("x.cnt")).string();
    EXPECT_EQ(root + "?file=a\n" + root + "?file=b\n", ContOk({"ls", "--urls", At("x.cnt").string()}));
    // The URL is what a player opens.
    host::LoadedModule module;
    IUnknown* object = module.NewFileObject();
    ASSERT_NE(nullptr, object);
    host::Request request(root + "?file=b");
    host::FileResponse response;
    auto* handler = host::Query<IQLXRequestHandler>(object, IID_IQLXRequestHandler);
    auto* file = host::Query<IQLXFileObject>(object, IID_IQLXFileObject);
    ASSERT_EQ(S_OK, handler->AssignRequest(&request));
    ASSERT_EQ(S_OK, file->Open(ReadAccess, &response));
    ASSERT_EQ(S_OK, file->Read(100));
    EXPECT_EQ("bravo", response.Last().data);
    handler->Release();
    file->Release();
    object->Release();
}

TEST_F(ContToolTest, NamesThatUrlsTreatSpeciallyStillRoundTrip) {
    // Digits alone would be read as a number, '&' would end the option, '%'
    // would start an escape; a command's name is an entry name after the
    // command.
    for (const std::string name : {"123", "a b&c", "100%", "x?y=z", "ls"}) {
        WriteAll(At("in"), "bytes of " + name);
        ContOk({"pack", "--force", "--name", name, At("x.cnt").string(), At("in").string()});
        EXPECT_EQ("bytes of " + name, ContOk({"cat", At("x.cnt").string(), name})) << name;
        EXPECT_NE(std::string::npos, ContOk({"ls", At("x.cnt").string()}).find("  " + name + "\n")) << name;
    }
    Outcome hash = Cont({"pack", "--force", "--name", "a#b", At("x.cnt").string(), At("in").string()});
    ExpectError(hash, "entry 'a#b'", "E_INVALIDARG");
}

// The URL parser collapses "." and ".." segments and reads '%' as an
// escape; cont writes container paths so that neither changes them.
TEST_F(ContToolTest, ContainerPathsThatUrlsTreatSpecially) {
    fs::create_directories(At("my dir%41/sub"));
    WriteAll(At("a"), "alpha");
    const fs::path sub = At("my dir%41/sub");
    Outcome packed = Cont({"pack", "../x.cnt", At("a").string()}, {}, {}, sub);
    ASSERT_EQ(0, packed.status) << packed.err;
    ASSERT_TRUE(fs::exists(At("my dir%41/x.cnt")));
    Outcome read = Cont({"cat", "./../sub/../x.cnt", "a"}, {}, {}, sub);
    EXPECT_EQ(0, read.status) << read.err;
    EXPECT_EQ("alpha", read.out);
    EXPECT_NE(std::string::npos, ContOk({"ls", "--urls", At("my dir%41/x.cnt").string()}).find("my%20dir%2541/x.cnt"));

    fs::create_directories(At("odd#dir"));
    ExpectError(Cont({"pack", At("odd#dir/x.cnt").string(), At("a").string()}), "odd#dir",
                "RES_INVALID_PATH (0x800400CC)");
    EXPECT_FALSE(fs::exists(At("odd#dir/x.cnt")));
}

TEST_F(ContToolTest, PackIntoAMissingDirectoryFails) {
    WriteAll(At("a"), "alpha");
    ExpectError(Cont({"pack", At("no/such/x.cnt").string(), At("a").string()}),
                "x.cnt: cannot create the container", "No such file or directory");
}

TEST_F(ContToolTest, ExtractWritesIntoTheCurrentDirectoryAndReplacesFiles) {
    WriteAll(At("a"), "alpha");
    const std::string c = At("x.cnt").string();
    ContOk({"pack", c, At("a").string()});
    fs::create_directories(At("here"));
    WriteAll(At("here/a"), "an older and longer file");
    Outcome o = Cont({"extract", c}, {}, {}, At("here"));
    EXPECT_EQ(0, o.status) << o.err;
    EXPECT_EQ("alpha", ReadAll(At("here/a")));
}

TEST_F(ContToolTest, RemovedEntriesStayGone) {
    WriteAll(At("a"), "alpha");
    WriteAll(At("b"), "bravo");
    WriteAll(At("c"), "charlie");
    const std::string c = At("x.cnt").string();
    ContOk({"pack", c, At("a").string(), At("b").string(), At("c").string()});
    ContOk({"rm", c, "b"});
    EXPECT_EQ("5  a\n7  c\n", ContOk({"ls", c}));
    EXPECT_EQ("charlie", ContOk({"cat", c, "c"}));
    ExpectError(Cont({"cat", c, "b"}), "entry 'b'", "E_FAIL (0x80004005)");

    // One missing name: nothing is removed.
    ExpectError(Cont({"rm", c, "a", "nope"}), "entry 'nope'", "E_FAIL");
    EXPECT_EQ("5  a\n7  c\n", ContOk({"ls", c}));
}

TEST_F(ContToolTest, ExtractNamedEntries) {
    WriteAll(At("a"), "alpha");
    WriteAll(At("b"), "bravo");
    const std::string c = At("x.cnt").string();
    ContOk({"pack", c, At("a").string(), At("b").string()});
    ContOk({"extract", c, "b", "-C", At("one").string()});
    EXPECT_EQ("bravo", ReadAll(At("one/b")));
    EXPECT_FALSE(fs::exists(At("one/a")));
}

// ---- check and repair -------------------------------------------------------------

TEST_F(ContToolTest, CheckReportsTheHeader) {
    WriteAll(At("a"), Pattern(1000, 5));
    ContOk({"pack", At("x.cnt").string(), At("a").string()});
    const std::string out = ContOk({"check", At("x.cnt").string()});
    EXPECT_NE(std::string::npos, out.find("variant:   .W7K\nversion:   1\nclean:     yes\ntitle:     x.cnt\n")) << out;
    EXPECT_NE(std::string::npos, out.find("entries:   1\n")) << out;
    EXPECT_NE(std::string::npos, out.find("read:      1000 bytes\n")) << out;
    EXPECT_EQ(std::string::npos, out.find("repaired")) << out;
}

// Writes through the module as a player would and copies the container
// file while the entries are still open, as a crash would leave it.
TEST_F(ContToolTest, CheckRepairsAContainerCopiedWhileBeingWritten) {
    const std::string live = At("live.cnt").string();
    const std::vector<std::string> bytes = {Pattern(100000, 6), Pattern(250000, 7)};
    {
        host::LoadedModule module;
        host::Request requests[2] = {host::Request("cont:///" + live + "?file=first"),
                                     host::Request("cont:///" + live + "?file=second")};
        host::FileResponse responses[2];
        IUnknown* objects[2] = {};
        IQLXFileObject* files[2] = {};
        for (int i = 0; i < 2; ++i) {
            objects[i] = module.NewFileObject();
            ASSERT_NE(nullptr, objects[i]);
            auto* handler = host::Query<IQLXRequestHandler>(objects[i], IID_IQLXRequestHandler);
            ASSERT_EQ(S_OK, handler->AssignRequest(&requests[i]));
            handler->Release();
            files[i] = host::Query<IQLXFileObject>(objects[i], IID_IQLXFileObject);
            ASSERT_EQ(S_OK, files[i]->Open(WriteAccess, &responses[i]));
        }
        for (size_t at = 0; at < 250000; at += 50000) {
            for (int i = 0; i < 2; ++i) {
                if (at >= bytes[i].size()) continue;
                host::HostBuffer piece(bytes[i].substr(at, 50000));
                ASSERT_EQ(S_OK, files[i]->Write(&piece));
            }
        }
        fs::copy_file(live, At("copy.cnt"));
        for (int i = 0; i < 2; ++i) {
            files[i]->Release();
            objects[i]->Release();
        }
    }
    const std::string copy = At("copy.cnt").string();
    ASSERT_EQ(0, ReadAll(At("copy.cnt"))[6]) << "the copy should still be unclean";

    const std::string out = ContOk({"check", copy});
    EXPECT_NE(std::string::npos, out.find("clean:     no\n")) << out;
    EXPECT_NE(std::string::npos,
              out.find("repaired:  it was not closed cleanly; rebuilt the sizes and seek tables of 2 entries from "))
        << out;
    EXPECT_NE(std::string::npos, out.find("; written back and marked clean\n")) << out;
    EXPECT_NE(std::string::npos, out.find("  first: 100000 of 100000 bytes readable\n")) << out;
    EXPECT_NE(std::string::npos, out.find("read:      350000 bytes\n")) << out;
    EXPECT_EQ(1, ReadAll(At("copy.cnt"))[6]);
    EXPECT_TRUE(bytes[0] == ContOk({"cat", copy, "first"}));
    EXPECT_TRUE(bytes[1] == ContOk({"cat", copy, "second"}));
    // Once repaired, a second check has nothing to repair.
    EXPECT_EQ(std::string::npos, ContOk({"check", copy}).find("repaired"));
}

// Standard error on a pseudo-terminal, as in an interactive shell.
class Terminal {
public:
    Terminal() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) name_ = ptsname(master_);
    }
    ~Terminal() {
        if (master_ >= 0) close(master_);
    }
    const std::string& name() const { return name_; }
    // Everything written to the terminal so far.
    std::string Drain() {
        std::string text;
        char chunk[4096];
        for (ssize_t n; (n = read(master_, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<size_t>(n));
        return text;
    }

private:
    int master_ = -1;
    std::string name_;
};

TEST_F(ContToolTest, ProgressLineOnlyOnATerminalAndNotWhenQuiet) {
    WriteAll(At("big"), Pattern(48u << 20, 10));
    Terminal terminal;
    ASSERT_FALSE(terminal.name().empty());
    stderrDevice = terminal.name();
    // -v names the entry on standard output beside the progress line.
    Outcome shown = Cont({"pack", "-v", At("x.cnt").string(), At("big").string()});
    EXPECT_EQ(0, shown.status);
    EXPECT_EQ("big\n", shown.out);
    const std::string line = terminal.Drain();
    EXPECT_NE(std::string::npos, line.find("packing")) << line;
    EXPECT_NE(std::string::npos, line.find(" / 48.0 MiB (")) << line;
    EXPECT_NE(std::string::npos, line.find(" MiB/s  ")) << line;
    EXPECT_NE(std::string::npos, line.find(" left")) << line;

    // From a pipe, whose size no one knows: bytes and rate, nothing left.
    PipeFeed feed(Pattern(40u << 20, 12), 1u << 20, std::chrono::microseconds(0));
    inputFd = feed.readEnd();
    Outcome piped = Cont({"pack", "--name", "p", At("p.cnt").string(), "-"});
    inputFd = -1;
    EXPECT_EQ(0, piped.status);
    const std::string counted = terminal.Drain();
    EXPECT_NE(std::string::npos, counted.find("packing 3")) << counted;
    EXPECT_NE(std::string::npos, counted.find(" MiB/s")) << counted;
    EXPECT_EQ(std::string::npos, counted.find(" left")) << counted;

    Outcome quiet = Cont({"cat", "--quiet", At("x.cnt").string(), "big"});
    EXPECT_EQ(0, quiet.status);
    EXPECT_EQ("", terminal.Drain());

    stderrDevice.clear();  // a file: no progress line either
    Outcome toFile = Cont({"check", At("x.cnt").string()});
    EXPECT_EQ(0, toFile.status);
    EXPECT_EQ("", toFile.err);
}

// Whatever the damage, cont answers with a status and a reason, never a
// crash.
TEST_F(ContToolTest, DamagedContainersNeverCrashTheTool) {
    for (int i = 0; i < 3; ++i) WriteAll(At("f" + std::to_string(i)), Pattern(30000 + 20000 * i, 20 + i));
    ContOk({"pack", "--interleave", At("good.cnt").string(), At("f0").string(), At("f1").string(),
            At("f2").string()});
    const std::string good = ReadAll(At("good.cnt"));
    uint32_t x = 12345;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    for (int round = 0; round < 40; ++round) {
        std::string bad = good;
        if (round % 4 == 3) {
            bad.resize(next() % bad.size());
        } else {
            // Damage where it hurts most: the header and directory records.
            const size_t span = round % 2 ? bad.size() : 16500;
            for (int flips = 1 + next() % 4; flips > 0; --flips) bad[next() % span] ^= static_cast<char>(1 + next() % 255);
        }
        WriteAll(At("bad.cnt"), bad);
        for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
                 {"check", At("bad.cnt").string()}, {"ls", At("bad.cnt").string()}}) {
            Outcome o = Cont(args);
            EXPECT_TRUE(o.status == 0 || o.status == 1) << "round " << round << " " << args[0] << ": " << o.status;
            if (o.status == 1) {
                EXPECT_FALSE(o.err.empty());
            }
        }
    }
}

// The crafted directories of two bug reports: entry records 16 bytes apart,
// each claiming a 1 MB name, and every index slot leading to one entry
// record. They once took gigabytes and minutes; now a moment and little
// memory, with a reason.
TEST_F(ContToolTest, CraftedDirectoriesAreRefusedAtOnceInLittleMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr long kMostKb = 1024 * 1024;  // with the sanitizer's shadow and quarantine
#else
    constexpr long kMostKb = 64 * 1024;
#endif
    for (const char* name : {"overlapping-entry-records", "slots-sharing-one-entry-record"}) {
        fs::copy_file(fs::path(CONTFS_SOURCE_DIR) / "fuzz/corpus/container" / name, At(name));
        for (const char* command : {"ls", "check"}) {
            const Outcome o = Finish(Start({command, At(name).string()}), 20);
            EXPECT_EQ(1, o.status) << name << " " << command;
            EXPECT_NE(std::string::npos, o.err.find("cannot read the container's directory")) << o.err;
            EXPECT_LT(o.maxRssKb, kMostKb) << name << " " << command;
        }
    }
}

// ---- errors ----------------------------------------------------------------------

TEST_F(ContToolTest, MissingContainer) {
    const std::string c = At("none.cnt").string();
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"ls", c}, {"cat", c, "a"}, {"stat", c, "a"}, {"extract", c}, {"rm", c, "a"}, {"check", c}}) {
        Outcome o = Cont(args);
        ExpectError(o, c, "RES_OPEN_FAILED (0x80040008)");
    }
}

TEST_F(ContToolTest, FileThatIsNotAContainer) {
    WriteAll(At("notes.txt"), "these are not the bytes of a container\n");
    const std::string c = At("notes.txt").string();
    ExpectError(Cont({"ls", c}), c, "RES_BAD_FORMAT (0x80040017)");
    Outcome check = Cont({"check", c});
    ExpectError(check, c, "RES_BAD_FORMAT (0x80040017)");
    EXPECT_NE(std::string::npos, check.out.find("variant:   unknown (first bytes 74 68 65 73)")) << check.out;
}

TEST_F(ContToolTest, DamagedDirectory) {
    WriteAll(At("a"), Pattern(5000, 8));
    const std::string c = At("x.cnt").string();
    ContOk({"pack", c, At("a").string()});
    std::string file = ReadAll(c);
    file[11 + 5] = 9;  // the first record after the header is no index record
    WriteAll(c, file);
    ExpectError(Cont({"ls", c}), c, "E_FAIL (0x80004005)");
    Outcome check = Cont({"check", c});
    ExpectError(check, c, "E_FAIL (0x80004005)");
    EXPECT_NE(std::string::npos,
              check.out.find("damage:    at offset 16, in a record of type 9: the first record at offset 16 has type "
                             "9, not an index record\n"))
        << check.out;
}

TEST_F(ContToolTest, DamagedEntryDataFailsTheCheckAndTheRead) {
    WriteAll(At("a"), Pattern(5000, 8));
    WriteAll(At("b"), Pattern(9000, 9));
    const std::string c = At("x.cnt").string();
    ContOk({"pack", c, At("a").string(), At("b").string()});
    fs::resize_file(c, fs::file_size(c) - 100);  // cut inside b's data

    Outcome check = Cont({"check", c});
    EXPECT_EQ(1, check.status);
    EXPECT_NE(std::string::npos, check.err.find("entry 'b'")) << check.err;
    EXPECT_EQ(std::string::npos, check.err.find("entry 'a'")) << check.err;
    EXPECT_NE(std::string::npos, check.out.find("  a: 5000 of 5000 bytes readable\n")) << check.out;
    EXPECT_NE(std::string::npos, check.out.find("  b: 8900 of 9000 bytes readable\n")) << check.out;
    const std::string end = std::to_string(fs::file_size(c));
    EXPECT_NE(std::string::npos, check.out.find("damage:    at offset " + end +
                                                ", in a data record: the data of entry 1 runs past the end of the file "
                                                "at offset " + end + "\n"))
        << check.out;
    EXPECT_NE(std::string::npos, check.out.find("result:    FAILED")) << check.out;

    Outcome cat = Cont({"cat", c, "b"});
    EXPECT_EQ(1, cat.status);
    EXPECT_NE(std::string::npos, cat.err.find("entry 'b'")) << cat.err;
    EXPECT_TRUE(Pattern(5000, 8) == ContOk({"cat", c, "a"}));
}

TEST_F(ContToolTest, EntryThatDoesNotExist) {
    WriteAll(At("a"), "alpha");
    const std::string c = At("x.cnt").string();
    ContOk({"pack", c, At("a").string()});
    const std::string missing = "entry 'nope': no such entry";
    ExpectError(Cont({"cat", c, "nope"}), missing, "E_FAIL (0x80004005)");
    ExpectError(Cont({"stat", c, "nope"}), missing, "E_FAIL (0x80004005)");
    ExpectError(Cont({"extract", c, "nope", "-C", At("o").string()}), missing, "E_FAIL (0x80004005)");
    EXPECT_FALSE(fs::exists(At("o/nope")));
}

TEST_F(ContToolTest, PackRefusesToEmptyAnExistingFile) {
    WriteAll(At("a"), "alpha");
    WriteAll(At("x.cnt"), "precious");
    const std::string c = At("x.cnt").string();
    ExpectError(Cont({"pack", c, At("a").string()}), c, "E_ACCESSDENIED (0x80070005)");
    EXPECT_EQ("precious", ReadAll(c));
    ContOk({"pack", "--force", c, At("a").string()});
    EXPECT_EQ("alpha", ContOk({"cat", c, "a"}));
    // Never onto one of its own inputs, --force or not.
    ExpectError(Cont({"pack", "--force", At("a").string(), At("a").string()}), "a", "E_INVALIDARG");
    EXPECT_EQ("alpha", ReadAll(At("a")));
}

TEST_F(ContToolTest, PackChecksEveryInputBeforeWriting) {
    WriteAll(At("a"), "alpha");
    const std::string c = At("x.cnt").string();
    ExpectError(Cont({"pack", c, At("a").string(), At("missing").string()}), "missing", "RES_OPEN_FAILED");
    ExpectError(Cont({"pack", c, At("a").string(), At("a").string()}), "entry 'a'", "E_INVALIDARG");
    EXPECT_FALSE(fs::exists(c));
}

// A listing that never reached its reader is a failure, not a success.
TEST_F(ContToolTest, AFailedWriteToStandardOutputFailsTheCommand) {
    WriteAll(At("a"), Pattern(3000000, 11));
    const std::string c = At("x.cnt").string();
    ContOk({"pack", c, At("a").string()});
    stdoutDevice = "/dev/full";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"ls", c}, {"ls", "--urls", c}, {"check", c}, {"stat", c, "a"}, {"cat", c, "a"}})
        ExpectError(Cont(args), "standard output", "No space left on device");
}

TEST_F(ContToolTest, UsageErrorsExitWithTwo) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {}, {"frobnicate"}, {"ls"}, {"ls", "--bogus", "x"}, {"cat", "x"}, {"cat", "--offset", "ten", "x", "a"},
             {"pack", "x.cnt"}, {"pack", "x.cnt", "-"}, {"pack", "x.cnt", "a", "b", "--name", "n"},
             {"pack", "--name", "m", "--name", "n", "x.cnt", "a", "b"}, {"pack", "x.cnt", "--name", "m", "-", "--name", "n", "-"},
             {"rm", "x"},
             {"stat", "x"}, {"check"}, {"extract", "-C"}, {"help", "frobnicate"}, {"help", "ls", "cat"},
             {"x.cnt", "ls"}, {"ls", "-"}, {"cat", "-", "a"}, {"pack", "-", "a"}, {"extract", "-"}}) {
        Outcome o = Cont(args);
        EXPECT_EQ(2, o.status) << (args.empty() ? "" : args[0]);
        EXPECT_FALSE(o.err.empty());
    }
    // An unknown command names the nearest one, when one is near.
    EXPECT_NE(std::string::npos, Cont({"lss", "x.cnt"}).err.find("unknown command 'lss'; did you mean 'ls'?\n"));
    EXPECT_NE(std::string::npos, Cont({"help", "extarct"}).err.find("did you mean 'extract'?"));
    EXPECT_EQ(std::string::npos, Cont({"frobnicate"}).err.find("did you mean"));
}

// -v names each entry once it is done, on standard output, as tar -v does.
TEST_F(ContToolTest, VerboseNamesEachEntryDone) {
    WriteAll(At("a"), "alpha");
    WriteAll(At("b"), "");
    WriteAll(At("n"), "new");
    const std::string c = At("x.cnt").string();
    EXPECT_EQ("a\nb\n", ContOk({"pack", "-v", c, At("a").string(), At("b").string()}));
    EXPECT_EQ("n\n", ContOk({"add", "--verbose", c, At("n").string()}));
    EXPECT_EQ("n\na\n", ContOk({"extract", "-v", "-C", At("out").string(), c, "n", "a"}));
    EXPECT_EQ("b\n", ContOk({"rm", "-v", c, "b"}));
    const std::string compacted = ContOk({"compact", "-v", c});
    EXPECT_EQ(0u, compacted.find("a\nn\n" + c + ": ")) << compacted;
}

// ls -l reads every entry through and says how far it reads;
// --human-readable gives sizes as ls -lh does, and -h stays help.
TEST_F(ContToolTest, LongListingSaysHowFarEachEntryReads) {
    WriteAll(At("small"), Pattern(1536, 1));
    WriteAll(At("big"), Pattern((5u << 20) + 77, 2));
    const std::string c = At("x.cnt").string();
    ContOk({"pack", c, At("small").string(), At("big").string()});
    EXPECT_EQ("   1536  whole  small\n5242957  whole  big\n", ContOk({"ls", "-l", c}));
    EXPECT_EQ("1.5K  whole  small\n5.1M  whole  big\n", ContOk({"ls", "-l", "--human-readable", c}));
    EXPECT_EQ("1.5K  small\n5.1M  big\n", ContOk({"ls", "--human-readable", c}));
    EXPECT_EQ(0u, ContOk({"ls", "-h"}).find("Usage: cont ls"));

    fs::resize_file(c, fs::file_size(c) - 1000);
    const Outcome cut = Cont({"ls", "-l", c});
    ExpectError(cut, "entry 'big': read failed at byte ", "x.cnt");
    unsigned long long size = 0, readable = 0;
    ASSERT_EQ(2, std::sscanf(cut.out.c_str() + cut.out.find('\n') + 1, "%llu  to %llu  big", &size, &readable))
        << cut.out;
    EXPECT_EQ((5u << 20) + 77, size);
    EXPECT_GT(readable, 0u);
    EXPECT_LE(readable, size - 1000);
}

TEST_F(ContToolTest, EveryCommandHasHelp) {
    for (const std::string cmd : {"pack", "ls", "cat", "extract", "stat", "rm", "check"}) {
        Outcome o = Cont({cmd, "--help"});
        EXPECT_EQ(0, o.status) << cmd;
        EXPECT_EQ(0u, o.out.find("Usage: cont " + cmd)) << o.out;
        EXPECT_EQ(o.out, Cont({"help", cmd}).out) << cmd;
    }
    EXPECT_EQ(0, Cont({"--help"}).status);
}

TEST_F(ContToolTest, ModuleCanBeNamedOrIsMissing) {
    WriteAll(At("a"), "alpha");
    ContOk({"pack", At("x.cnt").string(), At("a").string()});
    Outcome named = Cont({"ls", "--module", CONTFS_MODULE_PATH, At("x.cnt").string()});
    EXPECT_EQ(0, named.status) << named.err;
    // Common options may also stand before the command.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"ls", "--module", At("nope.so").string(), At("x.cnt").string()},
             {"--module", At("nope.so").string(), "-q", "ls", At("x.cnt").string()}}) {
        Outcome bad = Cont(args);
        EXPECT_EQ(1, bad.status);
        EXPECT_NE(std::string::npos, bad.err.find("cannot load module")) << bad.err;
    }
    Outcome env = Cont({"ls", At("x.cnt").string()}, {}, {"CONT_MODULE=" + At("nope.so").string()});
    EXPECT_EQ(1, env.status);
    EXPECT_NE(std::string::npos, env.err.find("nope.so")) << env.err;
}

// cmake --install lays out bin/, lib/.../contfs/ and include/qlx/; the
// installed cont finds its module with no help.
TEST_F(ContToolTest, InstalledToolFindsTheInstalledModule) {
    const fs::path build = fs::path(CONTFS_MODULE_PATH).parent_path();
    const fs::path prefix = At("prefix");
    const std::string command = "cmake --install '" + build.string() + "' --prefix '" + prefix.string() + "' >'" +
                                At("install.log").string() + "' 2>&1";
    ASSERT_EQ(0, std::system(command.c_str())) << ReadAll(At("install.log"));
    EXPECT_TRUE(fs::exists(prefix / "include/qlx/interfaces.h"));
    const fs::path tool = prefix / "bin/cont";
    ASSERT_TRUE(fs::exists(tool));

    WriteAll(At("a"), "alpha");
    const std::string c = At("x.cnt").string();
    ContOk({"pack", c, At("a").string()});
    const std::string out = At("installed.out").string();
    const std::string run = "'" + tool.string() + "' cat '" + c + "' a >'" + out + "' 2>&1";
    EXPECT_EQ(0, std::system(run.c_str())) << ReadAll(out);
    EXPECT_EQ("alpha", ReadAll(out));
    const std::string version = "'" + tool.string() + "' --version >'" + out + "' 2>&1";
    EXPECT_EQ(0, std::system(version.c_str()));
    EXPECT_NE(std::string::npos, ReadAll(out).find(prefix.string())) << ReadAll(out);

    // The manual describes every command cont lists, and the completions
    // for bash, zsh and fish offer them, their options and a container's
    // entries.
    std::vector<std::string> commands;
    std::istringstream help(ContOk({"--help"}));
    bool inList = false;
    for (std::string line; std::getline(help, line);) {
        if (line == "Commands:") inList = true;
        else if (line.empty()) inList = false;
        else if (inList) commands.push_back(line.substr(2, line.find(' ', 2) - 2));
    }
    ASSERT_GE(commands.size(), 9u);
    const std::string manual = ReadAll(prefix / "share/man/man1/cont.1");
    for (const std::string& command : commands)
        EXPECT_NE(std::string::npos, manual.find("\n.SS cont " + command + " ")) << command;

    const fs::path completion = prefix / "share/bash-completion/completions/cont";
    ASSERT_TRUE(fs::exists(completion));
    WriteAll(At("complete.sh"), "source '" + completion.string() + "'\n"
             "COMP_WORDS=(\"$@\"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _cont; printf '%s\\n' \"${COMPREPLY[@]}\"\n");
    auto complete = [&](const std::vector<std::string>& words) {
        std::string run = "bash '" + At("complete.sh").string() + "' '" + tool.string() + "'";
        for (const std::string& w : words) run += " '" + w + "'";
        run += " >'" + out + "' 2>&1";
        EXPECT_EQ(0, std::system(run.c_str()));
        return ReadAll(out);
    };
    std::string offered;
    for (const std::string& command : commands) offered += command + "\n";
    EXPECT_EQ(offered + "help\n", complete({""}));
    EXPECT_EQ("--directory\n", complete({"extract", "--d"}));
    EXPECT_EQ("--json\n", complete({"-q", "check", "--j"}));
    EXPECT_EQ("a\n", complete({"cat", c, ""}));

    // zsh: the installed function, autoloaded as compinit would, with the
    // builtins it calls standing in as functions that print the
    // candidates beginning with the word completed.
    const fs::path zsh = prefix / "share/zsh/site-functions/_cont";
    ASSERT_TRUE(fs::exists(zsh));
    WriteAll(At("complete.zsh"), "fpath=('" + zsh.parent_path().string() + "' $fpath)\n"
             "offer() { local c; for c in \"$@\"; do [[ $c == ${words[CURRENT]}* ]] && print -r -- $c; done; }\n"
             "compadd() { while [[ $# -gt 0 && $1 != -- ]]; do shift; done; shift; offer \"$@\"; }\n"
             "_describe() { local -a items; items=(\"${(@P)${@[-1]}}\"); offer \"${items[@]%%:*}\"; }\n"
             "_files() { print -r -- files; }\n"
             "autoload -Uz _cont; words=(\"$@\"); CURRENT=$#; _cont\n");
    // fish: its own `complete -C`, the descriptions after a tab dropped,
    // in fish's order.
    const fs::path fish = prefix / "share/fish/vendor_completions.d/cont.fish";
    ASSERT_TRUE(fs::exists(fish));
    auto completeIn = [&](const std::string& shell, const std::vector<std::string>& words) {
        // fish takes the word being completed as typed, quotes and all.
        std::string line = "'" + tool.string() + "'";
        for (const std::string& w : words) line += shell == "zsh" ? " '" + w + "'" : " " + w;
        const std::string run =
            shell == "zsh" ? "zsh -f '" + At("complete.zsh").string() + "' " + line
                           : "fish --no-config -c \"source '" + fish.string() + "'; complete -C \\\"" + line + "\\\"\"";
        EXPECT_EQ(0, std::system((run + " | cut -f1 >'" + out + "' 2>&1").c_str())) << run;
        return ReadAll(out);
    };
    std::vector<std::string> sorted = commands;
    sorted.push_back("help");
    std::sort(sorted.begin(), sorted.end());
    std::string fishOffered;
    for (const std::string& command : sorted) fishOffered += command + "\n";
    for (const std::string shell : {"zsh", "fish"}) {
        EXPECT_EQ(shell == "zsh" ? offered + "help\n" : fishOffered, completeIn(shell, {""})) << shell;
        EXPECT_EQ("--directory\n", completeIn(shell, {"extract", "--d"})) << shell;
        EXPECT_EQ("--json\n", completeIn(shell, {"-q", "check", "--j"})) << shell;
        EXPECT_EQ("a\n", completeIn(shell, {"cat", c, ""})) << shell;
    }
}

}  // namespace
