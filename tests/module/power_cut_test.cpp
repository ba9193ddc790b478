// The power-cut simulation: each workload run several times, seeded; from
// each run's log crash images under the three models (crash_images.h), at
// sync boundaries and at random cuts; every image opened with the module
// and every entry read through and judged (power_cut_truth.h). Asserted,
// for every image: an image marked clean holds every entry exactly as
// written or as at its durable point; every entry holds at least the bytes
// it had at the last completed Sync or close; an entry there before an add
// stays exactly so (the one replaced: its old bytes whole or a prefix of
// its new ones); wrong bytes only past the durable prefix. Compaction's new
// container must have nothing unsynced when its writer has finished.
//
// POWER_CUT_IMAGES sets the images per workload and model (default 1000, in
// runs of 125, more where a run has more sync boundaries),
// POWER_CUT_SEED the first seed (default 1), POWER_CUT_LOG=N prints the log
// of run N (its ops numbered as the recipes count them). A failure names
// the seed, the run and the image's recipe; the first few failing images
// are kept in the build's test-tmp/power-cut-failures/.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "crash_images.h"
#include "power_cut_log.h"
#include "power_cut_truth.h"
#include "power_cut_workloads.h"

namespace {

using namespace powercut;

// Images of each run under each model: more images are more runs, so that
// a run's images are the same whatever the total.
constexpr size_t kImagesPerRun = 125;
constexpr size_t kFailuresShown = 5;
constexpr Model kModels[] = {Model::kProcess, Model::kPages, Model::kSectors};

uint64_t EnvNumber(const char* name, uint64_t otherwise) {
    const char* text = getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : otherwise;
}

struct Tally {
    uint64_t images = 0, clean = 0, violations = 0, wrongBefore = 0, wrongAfter = 0;
    uint64_t entries[kOutcomes] = {};
};

// Cuts just before and after every sync and after every durable point,
// then anywhere: `count` in all, or a quarter of it more than those.
std::vector<size_t> Cuts(const Log& log, size_t from, size_t count, std::mt19937_64& random) {
    std::vector<size_t> cuts;
    for (size_t i = from; i < log.size(); ++i) {
        if (log[i].kind == Op::kSync) cuts.push_back(i);
        if (log[i].kind == Op::kSync || log[i].kind == Op::kDurable) cuts.push_back(i + 1);
    }
    const size_t all = std::max(count, cuts.size() + count / 4);
    while (cuts.size() < all) cuts.push_back(from + random() % (log.size() - from + 1));
    return cuts;
}

void PrintLog(const Log& log) {
    static const char* const kinds[] = {"write",       "length",  "sync",    "added", "write began",
                                        "write ended", "removed", "durable", "guard"};
    for (size_t i = 0; i < log.size(); ++i)
        std::printf("%zu: %s %s at %llu, %zu bytes\n", i, kinds[log[i].kind], log[i].name.c_str(),
                    static_cast<unsigned long long>(log[i].at), log[i].bytes.size());
}

// Changes of `path` after its last sync in the first `cut` ops.
size_t Unsynced(const Log& log, const std::string& path, size_t cut) {
    size_t unsynced = 0;
    for (size_t i = 0; i < cut; ++i) {
        if (log[i].name != path || !log[i].ChangesFile()) continue;
        unsynced = log[i].kind == Op::kSync ? 0 : unsynced + 1;
    }
    return unsynced;
}

class PowerCutTest : public ::testing::Test {
protected:
    using Workload = RecordedRun (*)(const std::string& dir, std::mt19937_64& random);

    void SetUp() override {
        // Memory, where there is a file system of it: the images are many,
        // and the module syncs each one it repairs.
        std::error_code none;
        const std::string scratch = std::filesystem::is_directory("/dev/shm", none) ? "/dev/shm" : CONTFS_TEST_TMPDIR;
        std::filesystem::create_directories(scratch);
        std::string pattern = scratch + "/power-cut-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    void Simulate(const std::string& workload, Workload run) {
        const uint64_t seed = EnvNumber("POWER_CUT_SEED", 1);
        const uint64_t runs = std::max<uint64_t>(1, EnvNumber("POWER_CUT_IMAGES", 1000) / kImagesPerRun);
        Tally tallies[3];
        for (uint64_t r = 0; r < runs; ++r) {
            const std::string dir = m_dir + "/run" + std::to_string(r);
            std::filesystem::create_directories(dir);
            std::seed_seq runSeed{seed, r};
            std::mt19937_64 random(runSeed);
            const RecordedRun recorded = run(dir, random);
            ASSERT_TRUE(std::any_of(recorded.log.begin() + recorded.from, recorded.log.end(),
                                    [](const Op& op) { return op.ChangesFile(); }))
                << workload << ": the run changed no file";
            if (getenv("POWER_CUT_LOG") && EnvNumber("POWER_CUT_LOG", 0) == r)
                PrintLog(recorded.log);
            const std::string where =
                workload + ", POWER_CUT_SEED=" + std::to_string(seed) + " run " + std::to_string(r);
            for (size_t cut : recorded.cuts) {
                if (const size_t unsynced = Unsynced(recorded.log, recorded.path, cut))
                    Fail(where + ": " + std::to_string(unsynced) +
                         " changes of the new container unsynced when its writer had finished");
            }
            for (size_t m = 0; m < 3; ++m) {
                std::seed_seq imageSeed{seed, r, m + 1};
                std::mt19937_64 pick(imageSeed);
                const std::vector<size_t> cuts = recorded.cuts.empty()
                                                     ? Cuts(recorded.log, recorded.from, kImagesPerRun, pick)
                                                     : std::vector<size_t>(kImagesPerRun, recorded.cuts.back());
                for (size_t cut : cuts) JudgeImage(where, recorded, cut, kModels[m], pick, tallies[m]);
            }
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
        Print(workload, tallies);
        EXPECT_EQ(m_failures, 0u) << workload << ": entries of crash images not as they may be";
    }

    // One crash image made, read and judged entry by entry.
    void JudgeImage(const std::string& where, const RecordedRun& run, size_t cut, Model model, std::mt19937_64& random,
                    Tally& tally) {
        Recipe recipe;
        const std::string bytes = CrashImage(run.log, run.path, run.base, cut, model, random, &recipe);
        const std::string image = m_dir + "/image.cnt";
        PutFile(image, bytes);
        const Truth truth = TruthAt(run.log, cut);
        std::vector<std::string> names;
        for (const auto& [name, entry] : TruthAt(run.log, run.log.size()))
            if (truth.count(name)) names.push_back(name);
        const std::vector<EntryRead> reads = ReadEntries(image, names);
        const int clean = bytes.size() > 6 && bytes.compare(0, 4, ".W7K") == 0 ? bytes[6] : -1;
        ++tally.images;
        tally.clean += clean == 1;
        for (size_t i = 0; i < names.size(); ++i) {
            const EntryTruth& expected = truth.at(names[i]);
            const Judgement judged = Judge(expected, reads[i], clean);
            ++tally.entries[judged.outcome];
            tally.wrongBefore += judged.wrongBefore;
            tally.wrongAfter += judged.wrongAfter;
            if (judged.violation.empty()) continue;
            ++tally.violations;
            if (m_failures < kFailuresShown)
                Fail(where + ", " + recipe.Describe() + ": entry " + names[i] + " " + judged.violation + " (" +
                     kOutcomeNames[judged.outcome] + ": " + std::to_string(reads[i].bytes.size()) + " bytes read, " +
                     std::to_string(expected.latest.size()) + " written, " + std::to_string(expected.durable.size()) +
                     " durable; clean flag " + std::to_string(clean) + "; image kept as " + Keep(where, bytes) + ")");
            else
                ++m_failures;
        }
    }

private:
    void Fail(const std::string& what) {
        ++m_failures;
        ADD_FAILURE() << what;
    }

    // The image, in the build's scratch directory.
    std::string Keep(const std::string& where, const std::string& bytes) const {
        const std::string dir = std::string(CONTFS_TEST_TMPDIR) + "/power-cut-failures";
        std::filesystem::create_directories(dir);
        std::string file = where.substr(0, where.find(','));
        for (char& c : file)
            if (!isalnum(static_cast<unsigned char>(c))) c = '-';
        const std::string path = dir + "/" + file + "-" + std::to_string(m_failures) + ".cnt";
        PutFile(path, bytes);
        return path;
    }

    static void Print(const std::string& workload, const Tally (&tallies)[3]) {
        std::printf("%-22s %-17s %7s %6s %7s %7s %7s %7s %7s %7s %9s %9s %6s\n", "workload", "model", "images", "clean",
                    "exact", "prefix", "damage", "absent", "refused", "wrong", "wrong B<", "wrong B>", "fails");
        for (size_t m = 0; m < 3; ++m) {
            const Tally& t = tallies[m];
            std::printf("%-22s %-17s %7llu %6llu", workload.c_str(), ModelName(kModels[m]),
                        static_cast<unsigned long long>(t.images), static_cast<unsigned long long>(t.clean));
            for (uint64_t count : t.entries) std::printf(" %7llu", static_cast<unsigned long long>(count));
            std::printf(" %9llu %9llu %6llu\n", static_cast<unsigned long long>(t.wrongBefore),
                        static_cast<unsigned long long>(t.wrongAfter), static_cast<unsigned long long>(t.violations));
        }
        std::fflush(stdout);
    }

    std::string m_dir;
    uint64_t m_failures = 0;
};

TEST_F(PowerCutTest, Pack) { Simulate("pack", Pack); }

TEST_F(PowerCutTest, PackInterleavedWithSyncs) { Simulate("pack --interleave", PackInterleaved); }

TEST_F(PowerCutTest, AddToCleanContainer) {
    Simulate("add", [](const std::string& dir, std::mt19937_64& random) { return Add(dir, random, false); });
}

TEST_F(PowerCutTest, AddReplacing) {
    Simulate("add --replace", [](const std::string& dir, std::mt19937_64& random) { return Add(dir, random, true); });
}

TEST_F(PowerCutTest, Remove) { Simulate("rm", Remove); }

TEST_F(PowerCutTest, OverwriteAcrossRecords) { Simulate("overwrite", Overwrite); }

TEST_F(PowerCutTest, RecoveryWriteBack) { Simulate("recovery write-back", Recover); }

TEST_F(PowerCutTest, CompactionRenamesOnlyASyncedContainer) { Simulate("compact", Compact); }

TEST_F(PowerCutTest, PackInterleavedGathered) { Simulate("pack --interleave, gathered", PackInterleavedGathered); }

TEST_F(PowerCutTest, AddGathered) { Simulate("add, gathered", AddGathered); }

}  // namespace
