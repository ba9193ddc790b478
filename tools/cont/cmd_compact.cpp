// cont compact: a container rewritten without what its readers never reach.
#include <string>
#include <vector>

#include "commands.h"
#include "container_lock.h"
#include "container_session.h"
#include "errors.h"
#include "local_files.h"
#include "pack/pack_target.h"
#include "progress.h"
#include "results_report.h"
#include "standard_output.h"

namespace cont {

namespace {

const char kHelp[] =
    "Usage: cont compact [--dry-run] [-v | --json] C.cnt\n"
    "Rewrites C.cnt without the bytes of removed entries and of the filler\n"
    "records between others: every entry is copied, in container order, into a\n"
    "new container made beside C.cnt, which is flushed to the disk and renamed\n"
    "over C.cnt once it reads back whole. Until then C.cnt stays as it was, so a\n"
    "failure or a crash leaves one whole container or the other. A container\n"
    "left unclean is repaired on the way. Prints the sizes before and after.\n"
    "\n"
    "  -n, --dry-run   print the bytes compacting would reclaim and leave C.cnt\n"
    "                  as it is (the new container is still written beside it\n"
    "                  to measure it, then removed)\n"
    "  -v, --verbose   print each entry's name once it is copied\n"
    "  --json          print a JSON object for scripts (see 'man cont')\n"
    "\n"
    "Refused while another program has C.cnt open. When another program wrote to\n"
    "it meanwhile (cont rm, say), nothing is replaced and compact fails. What an\n"
    "interrupted pack --force or compact of C.cnt left beside it is removed when\n"
    "it is proved stale, and named otherwise.\n";

struct Kept {
    std::string name;
    uint64_t size = 0;
};

// The entries to keep, with their sizes. Refuses a container that holds an
// entry compacting could not carry over, since the rewrite would lose it.
int ListKept(ContainerSession& session, std::vector<Kept>* kept, uint64_t* total) {
    std::vector<ListedEntry> listed;
    int status = session.ListEntries(&listed);
    if (status != kExitOk) return status;
    *total = 0;
    for (const ListedEntry& item : listed) {
        if (!item.problem.empty())
            return FailPlain(session.place(item.name), "cannot be opened by URL (" + item.problem +
                                                           "), so it could not be copied; nothing was compacted");
        EntryFile entry;
        if ((status = session.OpenEntry(item.name, &entry, true)) != kExitOk) return status;
        Kept one{item.name, 0};
        const int32_t result = entry.Size(&one.size);
        if (QLX_FAILED(result)) return Fail(session.place(item.name), "cannot stat the entry", result);
        *total += one.size;
        kept->push_back(std::move(one));
    }
    return kExitOk;
}

// Copies every kept entry into a new container at `path`, written through
// the module, flushes it to the disk when it is to be `kept`, and lets go
// of it so that it writes its directory. Each entry copied goes into the
// report.
int CopyInto(Tool& tool, ContainerSession& session, const std::string& path, const std::vector<Kept>& kept,
             uint64_t total, bool durable, ResultsReport* report) {
    ContainerWriter writer;
    std::string reason;
    const int32_t created = writer.Create(*tool.module(), path, &reason);
    if (QLX_FAILED(created)) return Fail(Place{path, {}}, reason, created);
    Progress progress("compacting", total, tool.quiet());
    for (const Kept& one : kept) {
        EntryFile from, to;
        int status = session.OpenEntry(one.name, &from, true);
        if (status != kExitOk) return status;
        int32_t result = writer.AddEntry(one.name, &to, &reason);
        if (QLX_FAILED(result)) return Fail(Place{path, one.name}, reason.empty() ? "cannot add the entry" : reason, result);
        // An empty entry still needs a write to reach the disk.
        if (one.size == 0 && QLX_FAILED(result = to.Write(nullptr, 0)))
            return Fail(Place{path, one.name}, "write failed", result);
        status = session.ReadThrough(from, one.name, one.size, [&](const std::vector<uint8_t>& piece) {
            const int32_t wrote = to.Write(piece.data(), piece.size());
            if (QLX_FAILED(wrote)) {
                Fail(Place{path, one.name}, "write failed at byte " + std::to_string(to.position()), wrote);
                return false;
            }
            progress.Advance(piece.size());
            return true;
        });
        if (status != kExitOk) return status;
        report->entries.push_back(ResultsReport::Entry{one.name, true, one.size, {}, false});
        if (tool.verbose()) PutDoneLine(one.name);
    }
    // Before it is read back and put in place: on the disk, or a failure
    // with the reason. A container of no entries (every one removed) is
    // made by this Sync alone.
    const int32_t synced = durable || kept.empty() ? writer.Sync().code() : S_OK;
    if (QLX_FAILED(synced)) return Fail(Place{path, {}}, "cannot flush the new container to the disk", synced);
    return kExitOk;
}

// The module reports no failure of its final flush, so the new container
// is read back: the same entries, in the same order, of the same sizes.
int ReadBack(Tool& tool, const std::string& path, const std::vector<Kept>& kept) {
    ContainerSession copy(*tool.module(), path);
    std::vector<ListedEntry> listed;
    bool same = copy.OpenQuietly() && copy.ListEntries(&listed) == kExitOk && listed.size() == kept.size();
    for (size_t i = 0; same && i < kept.size(); ++i) {
        EntryFile entry;
        uint64_t size = 0;
        same = listed[i].name == kept[i].name && QLX_SUCCEEDED(copy.OpenEntryQuietly(kept[i].name, &entry)) &&
               entry.Size(&size).ok() && size == kept[i].size;
    }
    return same ? kExitOk : FailPlain(Place{path, {}}, "the new container read back does not hold every entry whole");
}

// The container at `path` copied into a new one at `to` (on the disk
// when `durable`), and read back; every opening of the old one is closed
// again on return.
int Rewrite(Tool& tool, const std::string& path, const std::string& to, bool durable, ResultsReport* report) {
    ContainerSession session(*tool.module(), path);
    std::vector<Kept> kept;
    uint64_t total = 0;
    int status = session.Open();
    if (status == kExitOk) status = ListKept(session, &kept, &total);
    if (status == kExitOk) status = CopyInto(tool, session, to, kept, total, durable, report);
    if (status == kExitOk) status = ReadBack(tool, to, kept);
    return status;
}

int Compact(const Args& args, Tool& tool, ResultsReport* report) {
    const char* cmd = kCompactCommand.name;
    if (args.positionals.size() != 1) return UsageError(cmd, "needs one container");
    const std::string path = args.positionals[0];
    const bool dryRun = args.Has("dry-run");
    // The path is looked at before anything is made for it.
    switch (KindOf(path)) {
        case PathKind::kMissing: return Fail(Place{path, {}}, "no such file", RES_OPEN_FAILED);
        case PathKind::kDirectory: return Fail(Place{path, {}}, "is a directory, not a container", RES_OPEN_FAILED);
        case PathKind::kOther: return Fail(Place{path, {}}, "is not a regular file", RES_OPEN_FAILED);
        default: break;
    }
    if (!tool.module()) return kExitFailure;

    // The new container is made beside the old one under the same file name,
    // which the module stores as its title.
    PackTarget target(*tool.module());
    std::string reason;
    const int32_t prepared = target.Prepare(path, true, true, &reason);
    if (QLX_FAILED(prepared)) return Fail(Place{path, {}}, reason, prepared);
    // From here no one else takes the container up for writing; a program
    // that has it open already makes compacting wait for another time.
    ContainerHold hold;
    bool held = false;
    if (!hold.Take(path, &held, &reason)) {
        target.Abandon(false);
        if (held)
            return Fail(Place{path, {}}, "is open in another program; it is compacted only when no one else has it "
                                         "open", E_ACCESSDENIED);
        return FailPlain(Place{path, {}}, reason);
    }

    // A dry run's copy is measured and removed.
    int status = Rewrite(tool, path, target.writePath(), !dryRun, report);
    uint64_t before = 0, after = 0;
    if (status == kExitOk && (!FileSizeOf(path, &before) || !FileSizeOf(target.writePath(), &after)))
        status = FailPlain(Place{path, {}}, SystemReason("cannot measure the containers"));
    if (status != kExitOk) {
        // Each failure has said why; the old container was never touched.
        target.Abandon(false);
        return status;
    }
    // The writer starts a long stream of bytes on a block boundary behind a
    // filler of its own, so a container of large entries written otherwise
    // may not come out smaller; it then stays as it is.
    const bool smaller = after < before;
    if (dryRun || !smaller) {
        target.Abandon(false);
    } else if (const ContainerHold::LastLook look = hold.TakeAlone(path); look != ContainerHold::LastLook::kUnchanged) {
        // Another program (cont rm, say) wrote to it, or replaced it, since
        // it was read: the copy would bring back what it removed.
        target.Abandon(false);
        if (look == ContainerHold::LastLook::kHeld)
            return Fail(Place{path, {}}, "was opened by another program while it was compacted, and is still open; "
                                         "nothing was replaced", E_ACCESSDENIED);
        return FailPlain(Place{path, {}}, "changed while compacting; nothing was replaced");
    } else if (!target.Commit(&reason)) {
        return FailPlain(Place{path, {}}, reason + "; " + target.Abandon(false).said);
    }
    const uint64_t reclaimed = smaller ? before - after : 0;
    report->compacted = ResultsReport::Compacted{before, after, smaller && !dryRun};
    if (tool.json()) return kExitOk;
    PrintOut("%s: %llu bytes, %llu compacted; %s %llu bytes%s\n", Printable(path).c_str(),
             static_cast<unsigned long long>(before), static_cast<unsigned long long>(after),
             dryRun ? "would reclaim" : "reclaimed", static_cast<unsigned long long>(reclaimed),
             smaller || dryRun ? "" : " (left as it was)");
    return kExitOk;
}

int RunCompact(const Args& args, Tool& tool) {
    if (tool.json()) KeepFailures();
    ResultsReport report;
    if (!args.positionals.empty()) report.container = args.positionals[0];
    return PrintResults(tool.json(), report, Compact(args, tool, &report));
}

}  // namespace

const Command kCompactCommand = {
    "compact", "rewrite a container without removed entries", kHelp,
    {{"dry-run", 'n', false}, {"verbose", 'v', false}, {"json", 0, false}}, RunCompact,
};

}  // namespace cont
