// What each entry must, may and must not hold at a cut of a power-cut log
// (the host's notes up to the cut), and the judgement of what a reader of a
// crash image found against it.
#ifndef CONTFS_TESTS_MODULE_POWER_CUT_TRUTH_H
#define CONTFS_TESTS_MODULE_POWER_CUT_TRUTH_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "power_cut_log.h"
#include "power_cut_workloads.h"

namespace powercut {

struct EntryTruth {
    bool held = false;                                    // it existed at the last durable point,
    std::string durable;                                  // with these bytes
    bool exists = false;                                  // it exists for the host now,
    std::string latest;                                   // with these bytes (every write that returned)
    std::string landing;                                  // latest with a write in progress put in
    std::vector<std::pair<uint64_t, std::string>> since;  // writes begun since the durable point
    bool guarded = false;                                 // there when an add began: must stay exactly so
    bool replaced = false;                                // removed and added again since the durable point
};

using Truth = std::map<std::string, EntryTruth>;

inline Truth TruthAt(const Log& log, size_t cut) {
    Truth truth;
    for (size_t i = 0; i < cut; ++i) {
        const Op& op = log[i];
        if (op.ChangesFile()) continue;
        EntryTruth& entry = truth[op.name];
        switch (op.kind) {
            case Op::kAdded:
                entry.replaced = entry.held && !entry.exists;
                entry.guarded = false;
                entry.exists = true;
                entry.latest = entry.landing = "";
                break;
            case Op::kWriteBegan:
                entry.since.emplace_back(op.at, op.bytes);
                entry.landing = entry.latest;
                if (entry.landing.size() < op.at + op.bytes.size()) entry.landing.resize(op.at + op.bytes.size());
                entry.landing.replace(op.at, op.bytes.size(), op.bytes);
                break;
            case Op::kWriteEnded:
                entry.latest = entry.landing;
                break;
            case Op::kRemoved:
                entry.exists = false;
                entry.guarded = false;
                entry.latest = entry.landing = "";
                break;
            case Op::kDurable:
            case Op::kGuard:
                for (auto& [name, each] : truth) {
                    if (name.empty()) continue;
                    if (op.kind == Op::kGuard) {
                        each.guarded = each.exists;
                        continue;
                    }
                    each.held = each.exists;
                    each.durable = each.latest;
                    each.since.clear();
                    each.replaced = false;
                }
                break;
            default:
                break;
        }
    }
    truth.erase("");
    return truth;
}

enum Outcome { kExact, kPrefix, kDamage, kAbsent, kRefused, kWrong, kOutcomes };
inline const char* const kOutcomeNames[kOutcomes] = {"exact", "prefix", "damage", "absent", "refused", "wrong"};

struct Judgement {
    Outcome outcome = kExact;
    uint64_t wrongBefore = 0;  // wrong bytes within the durable prefix
    uint64_t wrongAfter = 0;   // and past it
    std::string violation;     // empty when the entry is as it may be
};

// exact: as the host last wrote it (absent, if it removed it); prefix: fewer
// or older bytes, every one a value the entry held; damage: a read failed
// after those; wrong: a byte served that the entry never held since its
// durable point (beyond its bytes, or neither the durable value nor one
// written since). `clean` is the image's clean flag.
inline Judgement Judge(const EntryTruth& truth, const EntryRead& read, int clean) {
    Judgement judged;
    const bool present = read.status == EntryRead::kEnded || read.status == EntryRead::kFailed;
    const std::string& got = read.bytes;
    // A replaced entry that is not its old self whole is judged as new.
    const bool asOld = truth.replaced && read.status == EntryRead::kEnded && got == truth.durable;
    const bool asNew = truth.replaced && !asOld;
    const std::string none;
    const std::string& durable = truth.held && !asNew ? truth.durable : none;
    // Byte by byte only where neither the latest nor the durable bytes
    // match whole.
    auto starts = [&got](const std::string& with) {
        return got.size() <= with.size() && got.compare(0, got.size(), with, 0, got.size()) == 0;
    };
    const bool whole = starts(truth.landing) || starts(durable);
    for (size_t at = 0; !whole && at < got.size(); ++at) {
        const char b = got.data()[at];
        bool held = (at < truth.landing.size() && truth.landing.data()[at] == b) ||
                    (at < durable.size() && durable.data()[at] == b);
        for (const auto& [from, bytes] : truth.since)
            held = held || (at >= from && at - from < bytes.size() && bytes.data()[at - from] == b);
        if (!held) ++(at < durable.size() ? judged.wrongBefore : judged.wrongAfter);
    }
    const bool latest = truth.exists ? read.status == EntryRead::kEnded && (got == truth.latest || got == truth.landing)
                                     : read.status == EntryRead::kAbsent;
    judged.outcome = read.status == EntryRead::kRefused                  ? kRefused
                     : read.status == EntryRead::kAbsent && truth.exists ? kAbsent
                     : judged.wrongBefore + judged.wrongAfter            ? kWrong
                     : read.status == EntryRead::kFailed                 ? kDamage
                     : latest                                            ? kExact
                                                                         : kPrefix;
    // As at the durable point, the directory's other consistent state.
    const bool asDurable =
        truth.held ? read.status == EntryRead::kEnded && got == truth.durable : read.status == EntryRead::kAbsent;
    std::string& why = judged.violation;
    if (judged.wrongBefore) {
        why = "wrong bytes within the durable prefix";
    } else if (clean == 1 && !latest && !asDurable) {
        why = "the image is marked clean but the entry is " + std::string(kOutcomeNames[judged.outcome]);
    } else if (truth.guarded && !latest) {
        why = "an entry that was there before the add began is " + std::string(kOutcomeNames[judged.outcome]);
    } else if (truth.replaced) {
        if (!asOld && (!present || got.size() > truth.landing.size()))
            why = "the replaced entry holds neither its old bytes nor a prefix of its new ones";
    } else if (truth.held && (present || truth.exists) && got.size() < truth.durable.size()) {
        why = "holds " + std::to_string(got.size()) + " of the " + std::to_string(truth.durable.size()) +
              " bytes it had at the last durable point";
    } else if (!truth.held && !truth.exists && present) {
        why = "a removed entry came back";
    }
    return judged;
}

}  // namespace powercut

#endif
