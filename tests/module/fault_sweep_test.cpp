// The fault sweep: one scripted run of the whole module as a host drives it
// (entries written interleaved, one of them and the entry added later
// gathering their writes, and overwritten, the container closed,
// reopened, read, listed, an entry removed, an uncleanly closed copy
// recovered and then added to), first counted, then repeated once for every operation it makes
// on a data file and every allocation, with exactly that one failing, or
// every one from it on, or the disk full from a given write on.
//
// In every repetition each module call must give a result code (no
// exception, no crash; a hang ends at the test's timeout), a read that
// succeeds must deliver the entry's true bytes, no object may stay alive,
// and afterwards, read again without faults, every entry of both files must
// be a prefix of its bytes. A fault after a file was finished must lose
// nothing of it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "careful_host.h"
#include "container/container_file.h"
#include "container/container_registry.h"
#include "frame/module_count.h"
#include "support/allocation_watch.h"
#include "swept_data_file.h"

namespace {

using ctest::AllocationWatch;
using namespace sweep;

using EntryBytes = std::map<std::string, std::string>;  // by entry name

std::string Pattern(size_t count, uint32_t seed) {
    std::string bytes(count, '\0');
    std::mt19937 random(seed);
    for (char& b : bytes) b = static_cast<char>(random());
    return bytes;
}

std::string Sizes(const EntryBytes& contents) {
    std::string text;
    for (const auto& [name, bytes] : contents) text += " " + name + ":" + std::to_string(bytes.size());
    return "{" + text + " }";
}

struct Truth {
    std::string alpha = Pattern(40000, 1);
    std::string beta = Pattern(3001, 2);
    std::string gamma = Pattern(100, 3);
    std::string delta = Pattern(9000, 4);
    const std::string& Of(const std::string& name) const {
        static const std::string none;
        return name == "alpha" ? alpha : name == "beta" ? beta : name == "gamma" ? gamma : name == "delta" ? delta : none;
    }
};

// Where the counted run stood at a moment of the script.
struct Marks {
    uint64_t operations = 0;
    uint64_t writes = 0;
    uint64_t allocations = 0;
};

class FaultSweepTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (getenv("TMPDIR") ? std::string(getenv("TMPDIR")) : std::string("/tmp")) + "/sweepXXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    std::string One() const { return m_dir + "/one.cnt"; }
    std::string Copy() const { return m_dir + "/unclean.cnt"; }

    // The scripted run. `copied` and `closed` receive the counts at which the
    // unclean copy was taken and the container was closed.
    void Run(AllocationWatch& watch, Marks* copied, Marks* closed) {
        std::filesystem::remove(One());
        std::filesystem::remove(Copy());
        const uint32_t write = 2, read = 1;
        {
            HostHeldFile alpha(Url(One(), "alpha"), write, &truth.alpha);
            HostHeldFile beta(Url(One(), "beta"), write | GatherAccess, &truth.beta);
            alpha.Write(0, 5000);
            beta.Write(0, 3000);
            alpha.Write(5000, 35000);  // past the first seek-table chunk
            beta.Write(3000, 3001);
            HostHeldFile gamma(Url(One(), "gamma"), write, &truth.gamma);  // added after writing began
            gamma.Write(0, 100);
            alpha.Write(35000, 37000);
            alpha.Seek(1000);
            alpha.Write(1000, 4000);  // overwritten with the same bytes
            alpha.Seek(37000);
            alpha.Write(37000, 40000);
            beta.Seek(truth.beta.size());  // its gathered bytes go to the file before the copy
            Mark(watch, copied);
            {
                AllocationWatch::Scope test(false);
                std::error_code none;  // no file: the container could not be made
                std::filesystem::copy_file(One(), Copy(), none);  // as a crash would have left it
            }
        }
        Mark(watch, closed);
        {
            HostHeldFile reader(Url(One(), "alpha"), read, &truth.alpha);
            reader.Read(7000);
            reader.Seek(26000);
            reader.Read(100, 100);
            reader.Stat();
            reader.CheckExistence(Url(One(), "beta"));
            reader.List();
            HostHeldFile remover(Url(One(), "beta"), read, &truth.beta);
            remover.Remove();
        }
        {
            HostHeldFile recovered(Url(Copy(), "beta"), read, &truth.beta);  // recovers the copy
            recovered.Read(1000);
            recovered.List();
        }
        {
            HostHeldFile added(Url(Copy(), "delta"), write | AppendAccess | GatherAccess, &truth.delta);
            added.Write(0, 4000);
            added.Write(4000, 9000);
        }
    }

    static void Mark(AllocationWatch& watch, Marks* marks) {
        if (marks) *marks = Marks{g_io.operations, g_io.writes, watch.Allocations()};
    }

    // Every entry of a file, read without faults through the container.
    EntryBytes Contents(const std::string& path) {
        EntryBytes contents;
        if (!std::filesystem::exists(path)) return contents;
        IContainerFile* container = NewContainerFile(path.c_str(), kContainerReadAccess);
        container->AddRef();
        if (!container->IsOpen()) ADD_FAILURE() << path << " does not open";
        // Header ("one.cnt" in both) and the first index record.
        const uint64_t directoryStart = 11 + 7 + 5 + 2056;
        const int32_t directory = container->IsOpen() ? container->ReadDirectory() : E_FAIL;
        EXPECT_TRUE(directory == S_OK || std::filesystem::file_size(path) < directoryStart)
            << path << ": the directory cannot be read, " << std::hex << directory;
        for (const char* name : {"alpha", "beta", "gamma", "delta"}) {
            ContainerEntry* entry = container->FindEntry(name);
            if (!entry) continue;
            std::string& bytes = contents[name];
            EntryCursor cursor;
            cursor.index = entry->index;
            // An entry of no bytes has nothing to read: its read fails.
            for (int32_t read = S_OK; entry->size != 0 && read != RES_END_OF_DATA;) {
                IQLXBuffer* buffer = nullptr;
                read = container->ReadEntry(&cursor, &buffer, 4096);
                if (read == S_OK) bytes += host::BytesOf(buffer);
                if (buffer) buffer->Release();
                if (QLX_FAILED(read)) {
                    ADD_FAILURE() << path << ": " << name << " cannot be read through";
                    break;
                }
            }
        }
        IQLXEnumeratorIUnknown* list = nullptr;
        uint32_t count = 0;
        if (QLX_SUCCEEDED(container->QueryInterface(IID_IQLXEnumeratorIUnknown, reinterpret_cast<void**>(&list)))) {
            list->GetCount(&count);
            list->Release();
        }
        EXPECT_LE(count, 4u) << path;
        container->Release();
        return contents;
    }

    void ExpectPrefixes(const EntryBytes& contents, const std::string& path) {
        for (const auto& [name, bytes] : contents) {
            EXPECT_TRUE(bytes == truth.Of(name).substr(0, bytes.size()))
                << path << ": " << name << " is not a prefix of its bytes (" << bytes.size() << " bytes)";
        }
    }

    Truth truth;

private:
    std::string m_dir;
};

TEST_F(FaultSweepTest, EveryFaultLeavesEveryEntryAPrefixOfItsBytes) {
    // The counted run, without faults, and what it leaves. A first run makes
    // what the module makes once per process (the registry's table), so that
    // every later run counts the same allocations.
    Marks copied, closed, end;
    for (int run = 0; run < 2; ++run) {
        g_io = IoPlan{};
        SweptDataFiles swept;
        AllocationWatch watch(false);
        Run(watch, &copied, &closed);
        Mark(watch, &end);
    }
    // beta was removed from the finished container; the copy still has it,
    // and delta was added to the copy.
    const EntryBytes finished = Contents(One());
    EntryBytes recovered = Contents(Copy());
    EXPECT_TRUE(finished == EntryBytes({{"alpha", truth.alpha}, {"gamma", truth.gamma}})) << Sizes(finished);
    EXPECT_TRUE(recovered == EntryBytes({{"alpha", truth.alpha}, {"beta", truth.beta}, {"gamma", truth.gamma},
                                         {"delta", truth.delta}}))
        << Sizes(recovered);
    recovered.erase("delta");
    ASSERT_FALSE(HasFailure());

    struct Sweep {
        const char* name;
        uint64_t points;    // injection points
        uint64_t copiedAt;  // the point from which the copy is taken whole
        uint64_t closedAt;  // the point from which the container is finished
    };
    const Sweep sweeps[] = {
        {"data-file operation fails", end.operations, copied.operations, closed.operations},
        {"data-file operations fail from", end.operations, copied.operations, closed.operations},
        {"disk full at write", end.writes, copied.writes, closed.writes},
        {"allocation fails", end.allocations, copied.allocations, closed.allocations},
        {"allocations fail from", end.allocations, copied.allocations, closed.allocations},
    };
    uint64_t runs = 0;
    for (size_t kind = 0; kind < sizeof sweeps / sizeof sweeps[0]; ++kind) {
        const Sweep& sweep = sweeps[kind];
        for (uint64_t k = 1; k <= sweep.points; ++k) {
            SCOPED_TRACE(std::string(sweep.name) + " " + std::to_string(k) + " of " + std::to_string(sweep.points));
            g_io = IoPlan{};
            if (kind < 3) {
                g_io.fault = kind == 0 ? Fault::kOnce : kind == 1 ? Fault::kOnward : Fault::kDiskFull;
                g_io.failAt = k;
            }
            uint64_t allocations = 0;
            {
                SweptDataFiles swept;
                AllocationWatch watch(false);
                if (kind == 3) watch.FailAllocation(k);
                if (kind == 4) watch.FailAllocationsFrom(k);
                Run(watch, nullptr, nullptr);
                allocations = watch.Allocations();
            }
            ++runs;
            EXPECT_TRUE(kind < 3 ? g_io.failed > 0 : allocations >= k) << "the fault was never reached";
            EXPECT_EQ(ContainerRegistry().Count(), 0u) << "a container is still open";
            EXPECT_EQ(ModuleObjectCount.load(), 0) << "a module object is still alive";

            const EntryBytes one = Contents(One());
            EntryBytes copy = Contents(Copy());
            ExpectPrefixes(one, One());
            ExpectPrefixes(copy, Copy());
            if (k > sweep.closedAt) {
                EntryBytes expected = finished;
                if (one.count("beta")) expected["beta"] = truth.beta;  // the removal failed
                EXPECT_TRUE(one == expected) << Sizes(one) << " instead of " << Sizes(expected);
            }
            if (k > sweep.copiedAt) {
                // Whatever became of adding delta (a prefix of it, checked
                // above), what the copy held before stays whole.
                copy.erase("delta");
                EXPECT_TRUE(copy == recovered) << Sizes(copy) << " instead of " << Sizes(recovered);
            }
            ASSERT_FALSE(HasFailure());
        }
        std::printf("%s: %llu injection points\n", sweep.name, static_cast<unsigned long long>(sweep.points));
    }
    std::printf("%llu faulted runs\n", static_cast<unsigned long long>(runs));
}

}  // namespace
