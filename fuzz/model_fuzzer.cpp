// Drives the module through its file objects, in-process, with a workload
// its input spells out (model_codec.h: 11 bytes a step): containers created
// and taken up for adding, entries written in pieces (by gathering writers
// too), overwritten after seeks, read by the writer and by readers beside
// it, synced, stat'ed, removed, closed and reopened, and the file copied as
// a crash would leave it. Every outcome is held against the model of workload_runner.h: each
// read gives the model's bytes, each open, seek, write, stat and removal
// succeeds or fails as the model says, a crash copy repairs to the model and
// reads the same a second time, nothing is left of the module once every
// handle is gone. After the last step the container is closed and read back.
//
// Fuzzing (from the clang build in build/fuzz; fuzz/corpus-work/ is ignored;
// TMPDIR on a memory file system spares the disk, and the syncs):
//   mkdir -p fuzz/corpus-work/model
//   TMPDIR=/dev/shm build/fuzz/fuzz/fuzz_model -max_total_time=600 -max_len=2048 -timeout=10 \
//       fuzz/corpus-work/model fuzz/corpus/model
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "model_codec.h"
#include "support/workload_runner.h"

namespace {

// Enough for entries past their first seek-table chunk (25000 bytes) and
// for many steps, little enough that every input takes milliseconds.
constexpr size_t kMaxSteps = 128;
constexpr uint64_t kMaxBytesMoved = 2u << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string path = fuzz::ScratchDir() + "/model.cnt";
    unlink(path.c_str());
    std::vector<workload::Step> steps = fuzz::DecodeSteps(bytes, size);
    if (steps.size() > kMaxSteps) steps.resize(kMaxSteps);
    {
        workload::Runner runner(path, {"a", "b", "c", "d"}, [](const std::string& what) { fuzz::Broken(what); });
        uint64_t moved = 0;
        for (const workload::Step& step : steps) {
            const bool movesBytes = step.kind == workload::StepKind::kWrite || step.kind == workload::StepKind::kRead;
            if (movesBytes && (moved += step.size) > kMaxBytesMoved) continue;
            runner.Run(step);
        }
        workload::Step reopen;
        reopen.kind = workload::StepKind::kReopen;
        runner.Run(reopen);
    }
    unlink(path.c_str());
    return 0;
}
