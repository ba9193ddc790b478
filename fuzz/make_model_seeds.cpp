// Writes the seed corpus of fuzz_model: workloads a host would run, each
// encoded as model_codec.h reads them.
//   make_model_seeds <output directory>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "model_codec.h"

namespace {

using workload::Step;
using workload::StepKind;

// Handles are numbered in the order they were opened (and renumbered as
// they close); names: 0 "a", 1 "b", 2 "c", 3 "d".
Step Make(StepKind kind, uint32_t handle = 0, uint32_t name = 0) {
    Step step;
    step.kind = kind;
    step.handle = handle;
    step.name = name;
    return step;
}
Step Create(uint32_t name, bool gather = false) {
    Step step = Make(StepKind::kCreate, 0, name);
    step.gather = gather;
    return step;
}
Step Add(uint32_t name, bool gather = false) {
    Step step = Make(StepKind::kAdd, 0, name);
    step.gather = gather;
    return step;
}
Step Reader(uint32_t name) { return Make(StepKind::kOpenReader, 0, name); }
Step Write(uint32_t handle, uint32_t size, uint32_t piece) {
    Step step = Make(StepKind::kWrite, handle);
    step.size = size;
    step.piece = piece;
    return step;
}
Step Read(uint32_t handle, uint32_t size, uint32_t piece) {
    Step step = Make(StepKind::kRead, handle);
    step.size = size;
    step.piece = piece;
    return step;
}
Step Seek(uint32_t handle, uint64_t position, bool relative = false) {
    Step step = Make(StepKind::kSeek, handle);
    step.position = position;
    step.relative = relative;
    return step;
}
Step On(StepKind kind, uint32_t handle) { return Make(kind, handle); }
Step Just(StepKind kind) { return Make(kind); }

void Save(const std::string& dir, const std::string& name, const std::vector<Step>& steps) {
    const std::string bytes = fuzz::EncodeSteps(steps);
    std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "make_model_seeds: cannot write %s\n", name.c_str());
        std::exit(1);
    }
    std::printf("%-36s %3zu steps\n", name.c_str(), steps.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_model_seeds <output directory>\n");
        return 2;
    }
    const std::string dir = argv[1];
    Save(dir, "create-write-reopen", {Create(0), Write(0, 100, 7), Just(StepKind::kCloseAll), Just(StepKind::kReopen)});
    Save(dir, "interleaved-writers",
         {Create(0), Add(1), Add(2), Write(0, 3000, 100), Write(1, 3000, 100), Write(2, 10, 1), Write(0, 3000, 4096),
          Write(1, 3000, 65535), Write(2, 2000, 3), Just(StepKind::kReopen)});
    Save(dir, "overwrite-across-records",
         {Create(0), Add(1), Write(0, 1000, 1000), Write(1, 1000, 1000), Write(0, 1000, 1000), Seek(0, 500),
          Write(0, 2000, 700), Seek(0, 0), Read(0, 4000, 512), Just(StepKind::kReopen)});
    Save(dir, "reader-beside-writer",
         {Create(0), Write(0, 500, 500), Reader(0), Read(1, 500, 64), Write(0, 300, 300), Read(1, 300, 4096),
          On(StepKind::kSync, 0), Write(0, 200, 50), Read(1, 1000, 1000), Just(StepKind::kCrashCopy),
          Just(StepKind::kCloseAll), Just(StepKind::kReopen)});
    Save(dir, "past-a-seek-table-chunk",
         {Create(0), Add(1), Write(0, 30000, 4096), Write(1, 100, 100), Write(0, 30000, 4096), Seek(0, 26000),
          Read(0, 100, 100), Seek(0, 100), Read(0, 60000, 65535), Just(StepKind::kReopen), Reader(0), Seek(0, 55000),
          Read(0, 5000, 4096)});
    Save(dir, "remove-and-add-again",
         {Create(0), Add(1), Write(0, 100, 10), Write(1, 100, 10), On(StepKind::kRemove, 0), Add(0), Write(2, 50, 5),
          Just(StepKind::kCrashCopy), Just(StepKind::kCloseAll), Just(StepKind::kReopen)});
    Save(dir, "add-to-a-closed-container",
         {Create(0), Write(0, 100, 100), Just(StepKind::kCloseAll), Add(1), Write(0, 200, 30), Reader(0),
          Read(1, 100, 100), Just(StepKind::kCrashCopy), Just(StepKind::kCloseAll), Add(2), Write(0, 10, 10),
          On(StepKind::kRemove, 0), Just(StepKind::kCloseAll), Just(StepKind::kReopen)});
    Save(dir, "sync-then-crash-copy",
         {Create(0), Write(0, 1000, 100), On(StepKind::kSync, 0), Write(0, 1000, 100), Just(StepKind::kCrashCopy),
          On(StepKind::kSync, 0), Just(StepKind::kCrashCopy), Just(StepKind::kCloseAll)});
    Save(dir, "removal-by-a-reader",
         {Create(0), Add(1), Write(0, 10, 10), Write(1, 20, 20), Just(StepKind::kCloseAll), Reader(0), Reader(1),
          On(StepKind::kRemove, 1), On(StepKind::kStat, 1), Read(0, 10, 3), Just(StepKind::kCloseAll),
          Just(StepKind::kReopen)});
    Save(dir, "seeks-and-stat",
         {Create(0), Write(0, 5000, 5000), Seek(0, 5001), Seek(0, 2500), Seek(0, 0x10000 - 2500, true),
          Read(0, 100, 100), On(StepKind::kStat, 0), Seek(0, 5000), Read(0, 1, 1), Just(StepKind::kCloseAll)});
    Save(dir, "created-never-written",
         {Create(0), Add(1), Just(StepKind::kCrashCopy), On(StepKind::kSync, 0), Just(StepKind::kCloseAll), Reader(0),
          Add(2), Write(0, 10, 10), Just(StepKind::kReopen)});
    Save(dir, "gathering-writers",
         {Create(0, true),
          Add(1),
          Add(2, true),
          Write(0, 3000, 100),
          Write(1, 500, 64),
          Write(2, 700, 7),
          Reader(0),
          Read(3, 5000, 1000),
          Just(StepKind::kCrashCopy),
          Seek(0, 1000),
          Write(0, 200, 200),
          Seek(0, 3000),
          Write(0, 400, 50),
          Just(StepKind::kCrashCopy),
          On(StepKind::kSync, 1),
          Write(2, 300, 300),
          On(StepKind::kCloseHandle, 2),
          Just(StepKind::kCrashCopy),
          Just(StepKind::kCloseAll),
          Just(StepKind::kReopen)});
    Save(dir, "gathering-adder",
         {Create(0), Write(0, 100, 100), Just(StepKind::kCloseAll), Add(1, true), Write(0, 30000, 4096), Reader(1),
          Read(1, 30000, 65535), On(StepKind::kStat, 0), Just(StepKind::kCrashCopy), Read(0, 10, 10), Write(0, 10, 10),
          On(StepKind::kRemove, 0), Just(StepKind::kCrashCopy), Just(StepKind::kCloseAll), Just(StepKind::kReopen)});
    return 0;
}
