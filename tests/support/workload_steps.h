// The steps of a container workload as a host takes them through the
// module's file objects: create, add, write in pieces, seek (and so
// overwrite), read, Sync, stat, remove, close, reopen, and a copy of the
// file as a crash would leave it. Plain data, so that a workload can be
// written by hand, drawn from a fuzz input or replayed; workload_runner.h
// takes them and checks every outcome against a model.
#ifndef CONTFS_TESTS_SUPPORT_WORKLOAD_STEPS_H
#define CONTFS_TESTS_SUPPORT_WORKLOAD_STEPS_H

#include <cstdint>
#include <string>

namespace workload {

enum class StepKind : uint8_t {
    kCreate,       // every handle closed, then a writer of a new entry `name` (WriteAccess): the file is emptied
    kAdd,          // a writer of a new entry `name`: WriteAccess, and AppendAccess when no handle holds the container
    kOpenReader,   // a reader of entry `name` (ReadAccess)
    kWrite,        // `size` new bytes at the handle's position, in pieces of `piece` bytes (a writer's handle)
    kSeek,         // the handle to `position`, taken modulo the entry's size + 2 (so sometimes beyond it)
    kRead,         // `size` bytes at the handle's position, in pieces of `piece` bytes
    kSync,         // IQLXFileSync::Sync on the handle
    kStat,         // IQLXFileStat::Stat on the handle
    kRemove,       // IQLXFileRemove::Remove on the handle: its entry's name goes
    kCloseHandle,  // the handle released
    kCloseAll,     // every handle released: the container is closed
    kReopen,       // closed, then every entry read back through handles of its own, and closed again
    kCrashCopy,    // the file copied as it is now, as a crash would leave it, and the copy read back twice
    kCount
};

struct Step {
    StepKind kind = StepKind::kCloseAll;
    uint32_t handle = 0;    // which open handle, modulo their number
    uint32_t name = 0;      // which of the runner's names, modulo their number
    uint64_t position = 0;  // kSeek
    uint32_t size = 0;      // kWrite, kRead
    uint32_t piece = 1;     // kWrite, kRead: 0 counts as 1
    bool relative = false;  // kSeek: Seek64 relative to the handle's position
    bool gather = false;    // kCreate, kAdd: the writer gathers its appends (GatherAccess)
};

inline const char* KindName(StepKind kind) {
    static const char* const kNames[] = {"create", "add",    "open-reader", "write",     "seek",   "read",      "sync",
                                         "stat",   "remove", "close",       "close-all", "reopen", "crash-copy"};
    static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(StepKind::kCount), "a name per kind");
    return static_cast<size_t>(kind) < static_cast<size_t>(StepKind::kCount) ? kNames[static_cast<size_t>(kind)] : "?";
}

inline std::string StepText(const Step& step) {
    std::string text = KindName(step.kind);
    text += " handle " + std::to_string(step.handle) + " name " + std::to_string(step.name);
    switch (step.kind) {
        case StepKind::kSeek:
            text += std::string(step.relative ? " by " : " to ") + std::to_string(step.position);
            break;
        case StepKind::kCreate:
        case StepKind::kAdd:
            if (step.gather) text += " gathering";
            break;
        case StepKind::kWrite:
        case StepKind::kRead:
            text += " " + std::to_string(step.size) + " bytes in pieces of " + std::to_string(step.piece);
            break;
        default: break;
    }
    return text;
}

}  // namespace workload

#endif
