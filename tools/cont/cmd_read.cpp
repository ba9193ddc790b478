// cont cat and cont extract: entry bytes out of a container.
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "cont_url.h"
#include "container_session.h"
#include "entry_follow.h"
#include "errors.h"
#include "extract_directory.h"
#include "name_patterns.h"
#include "progress.h"
#include "results_report.h"
#include "standard_output.h"

namespace cont {

namespace {

const char kCatHelp[] =
    "Usage: cont cat [--follow] [--offset N] [--length N] C.cnt ENTRY\n"
    "Writes the entry's bytes to standard output. Of a damaged entry every byte\n"
    "that can be read is written, then cont fails naming the first byte that\n"
    "could not be (exit status 1), as tar does with a cut archive.\n"
    "\n"
    "  --offset N      start N bytes into the entry (suffixes k, M, G; 1.5M)\n"
    "  --length N      write at most N bytes\n"
    "  -f, --follow    go on writing the bytes another program adds to the entry\n"
    "                  as it writes them, as tail -f does, until that program has\n"
    "                  closed the container; waits for the entry to appear;\n"
    "                  stops with 1 when the container file is replaced\n";

const char kExtractHelp[] =
    "Usage: cont extract [-v | --json] [-C DIR] C.cnt [ENTRY...]\n"
    "Writes the named entries (all of them when none is named) to files of the\n"
    "same names, making the directories that names with '/' lead through, and\n"
    "replacing regular files that exist. An ENTRY that names no entry but a\n"
    "directory of them (photos or photos/ for photos/a.jpg) brings every entry\n"
    "beneath it, in container order. An ENTRY with '*', '?' or '[...]' is a\n"
    "pattern, matched as tar --wildcards matches (a wildcard matches '/' too):\n"
    "'*.jpg' brings every entry whose name, or a directory it lies in, ends in\n"
    "'.jpg'; a backslash, or '--' before the names, takes such a name as it is. A\n"
    "name or pattern that selects nothing fails, and the others are still\n"
    "written. Each file is written under a temporary name and renamed into place\n"
    "once whole. Of a damaged entry, the bytes before the damage are kept under\n"
    "its name, or as NAME.partial beside a file of that name, which stays as it\n"
    "was. Nothing is written outside the directory: names with '..' segments or a\n"
    "leading '/' are refused, no symbolic link already there is followed, and\n"
    "links, FIFOs and other special files are never written through, nor is the\n"
    "container itself. An entry that cannot be extracted is reported and the\n"
    "others are still written; the exit status is then 1. A container keeps no\n"
    "mode, owner or time for an entry: files are made with mode 0666 and\n"
    "directories with 0777, less the umask, owned by the user, at the time of\n"
    "extraction.\n"
    "\n"
    "  -C, --directory DIR   write into DIR (made if missing) instead of the\n"
    "                        current directory\n"
    "  -v, --verbose   print each entry's name once its file is written\n"
    "  --json          print a JSON object for scripts (see 'man cont')\n";

int RunCat(const Args& args, Tool& tool) {
    const char* cmd = kCatCommand.name;
    if (args.positionals.size() != 2) return UsageError(cmd, "needs a container and one entry");
    uint64_t offset = 0;
    uint64_t length = UINT64_MAX;
    if (const std::string* v = args.Value("offset"); v && !ParseByteCount(*v, &offset))
        return UsageError(cmd, "--offset needs a byte count, not '" + *v + "'");
    if (const std::string* v = args.Value("length"); v && !ParseByteCount(*v, &length))
        return UsageError(cmd, "--length needs a byte count, not '" + *v + "'");
    if (!tool.module()) return kExitFailure;
    if (args.Has("follow"))
        return FollowEntry(*tool.module(), args.positionals[0], args.positionals[1], offset, length, tool.quiet());

    ContainerSession session(*tool.module(), args.positionals[0]);
    const std::string& name = args.positionals[1];
    int status = session.Open();
    if (status != kExitOk) return status;
    EntryFile entry;
    if ((status = session.OpenEntry(name, &entry)) != kExitOk) return status;
    uint64_t size = 0;
    int32_t result = entry.Size(&size);
    if (QLX_FAILED(result)) return Fail(session.place(name), "cannot stat the entry", result);
    if (offset > size)
        return Fail(session.place(name),
                    "offset " + std::to_string(offset) + " lies past the end (" + std::to_string(size) + " bytes)",
                    E_INVALIDARG);
    if (offset != 0 && QLX_FAILED(result = entry.Seek(offset)))
        return Fail(session.place(name), "cannot seek to byte " + std::to_string(offset), result);
    const uint64_t end = size - offset < length ? size : offset + length;

    Progress progress("reading", end - offset, tool.quiet());
    // A failed write to standard output is reported once, as the command
    // ends.
    return session.ReadThrough(entry, name, end, [&](const std::vector<uint8_t>& piece) {
        std::string reason;
        if (!WriteOut(piece.data(), piece.size(), &reason)) return false;
        progress.Advance(piece.size());
        return true;
    });
}

// Writes one entry to its file; kExitFailure once it has said why not.
// `listed` when the name came from the listing rather than the command line.
// `done` receives the file written (or kept, of a damaged entry) and its
// bytes.
int ExtractOne(ContainerSession& session, ExtractDirectory& directory, const std::string& name, bool listed,
               bool quiet, ResultsReport::Entry* done) {
    std::string reason;
    // A name a container holds need not be one a file can have.
    if (!ExtractableEntryName(name, &reason)) return Fail(session.place(name), reason + "; not extracted", E_INVALIDARG);
    EntryFile entry;
    int status = session.OpenEntry(name, &entry, listed);
    if (status != kExitOk) return status;
    uint64_t size = 0;
    const int32_t result = entry.Size(&size);
    if (QLX_FAILED(result)) return Fail(session.place(name), "cannot stat the entry", result);
    const Place target{directory.PathOf(name), {}};
    done->file = target.container;
    ExtractDirectory::File file;
    if (!directory.Begin(name, &file, &reason)) return FailPlain(target, reason);
    Progress progress("extracting " + name, size, quiet);
    const auto sink = [&](const std::vector<uint8_t>& piece) {
        if (!file.Write(piece.data(), piece.size(), &reason)) {
            FailPlain(target, reason);
            return false;
        }
        progress.Advance(piece.size());
        return true;
    };
    // A damaged entry's readable bytes are kept, as tar keeps a file cut
    // short; a file that was there stays as it was.
    const auto keepPartial = [&] {
        const std::string kept = file.KeepPartial();
        const std::string dir = target.container.substr(0, target.container.rfind('/') + 1);
        if (kept.empty()) return std::string("nothing was extracted");
        done->file = dir + kept;
        done->bytes = file.written();
        const std::string said = "the " + std::to_string(file.written()) + " bytes before it are in " + Printable(dir + kept);
        return file.replacing() ? Printable(target.container) + " is left as it was; " + said : said;
    };
    status = session.ReadThrough(entry, name, size, sink, keepPartial);
    if (status != kExitOk) return status;
    if (!file.Commit(&reason)) return FailPlain(target, reason);
    done->file = target.container;
    done->bytes = size;
    done->done = true;
    return kExitOk;
}

// One entry to extract; `listed` when the listing gave its name. A
// pattern that matched no entry stands for itself, `unmatched`.
struct ChosenEntry {
    ListedEntry entry;
    bool listed = false;
    bool unmatched = false;
};

// The entries that `names` select, in the order named (every listed entry
// when none is). A name of an entry selects that entry; any other name
// selects the entries beneath it as a directory, and a pattern those it
// matches (name_patterns.h), in container order; a name that selects none
// stays as it is for opening it to say why. An entry selected twice is
// chosen once.
int ChooseEntries(ContainerSession& session, const std::vector<NameArgument>& names,
                  std::vector<ChosenEntry>* chosen) {
    std::vector<ListedEntry> listing;
    if (names.empty()) {
        const int status = session.ListEntries(&listing);
        for (ListedEntry& entry : listing) chosen->push_back(ChosenEntry{std::move(entry), true});
        return status;
    }
    bool haveListing = false;
    std::vector<bool> taken;           // by place in the listing
    std::set<std::string> takenNames;  // whole names only: a cut one may stand for several
    for (const NameArgument& name : names) {
        if (!name.pattern && !session.HoldsNoEntry(name.text)) {
            if (takenNames.insert(name.text).second) chosen->push_back(ChosenEntry{ListedEntry{name.text, {}}, false});
            continue;
        }
        if (!haveListing) {
            if (const int status = session.ListEntries(&listing); status != kExitOk) return status;
            taken.assign(listing.size(), false);
            haveListing = true;
        }
        bool any = false;
        for (size_t i = 0; i < listing.size(); ++i) {
            const ListedEntry& entry = listing[i];
            if (!Selects(name, entry.name, entry.cut)) continue;
            any = true;
            if (taken[i] || (!entry.cut && !takenNames.insert(entry.name).second)) continue;
            taken[i] = true;
            chosen->push_back(ChosenEntry{entry, true});
        }
        if (!any) chosen->push_back(ChosenEntry{ListedEntry{name.text, {}}, false, name.pattern});
    }
    return kExitOk;
}

int Extract(const Args& args, Tool& tool, ResultsReport* report) {
    if (args.positionals.empty()) return UsageError(kExtractCommand.name, "needs a container");
    const std::string* dirOption = args.Value("directory");
    const std::string dir = dirOption ? *dirOption : std::string();
    if (dirOption && dir.empty()) return UsageError(kExtractCommand.name, "-C needs a directory");
    const std::vector<NameArgument> names = NameArguments(args, 1);
    std::set<std::string> seen;
    for (const NameArgument& name : names)
        if (!seen.insert(name.text).second) return UsageError(kExtractCommand.name, "entry '" + name.text + "' named twice");
    if (!tool.module()) return kExitFailure;

    ContainerSession session(*tool.module(), args.positionals[0]);
    int status = session.Open();
    if (status != kExitOk) return status;
    std::vector<ChosenEntry> entries;
    if ((status = ChooseEntries(session, names, &entries)) != kExitOk) return status;
    ExtractDirectory directory;
    std::string reason;
    if (!directory.Open(dir, args.positionals[0], &reason)) return FailPlain(Place{dir.empty() ? "." : dir, {}}, reason);

    // One entry that cannot be extracted does not stop the others; each
    // failure has said why. Listed entries no URL opens are reported as
    // they come.
    for (const ChosenEntry& chosen : entries) {
        const ListedEntry& entry = chosen.entry;
        if (chosen.unmatched) {
            status = Fail(session.place(entry.name), "no such entry (the pattern matches none)", E_FAIL);
            continue;
        }
        ResultsReport::Entry done;
        done.name = entry.name;
        if (!entry.problem.empty())
            status = Fail(session.place(entry.name), "cannot be opened by URL: " + entry.problem, E_INVALIDARG);
        else if (ExtractOne(session, directory, entry.name, chosen.listed, tool.quiet(), &done) != kExitOk)
            status = kExitFailure;
        else if (tool.verbose())
            PutDoneLine(entry.name);
        report->entries.push_back(std::move(done));
    }
    return status;
}

int RunExtract(const Args& args, Tool& tool) {
    if (tool.json()) KeepFailures();
    ResultsReport report;
    if (!args.positionals.empty()) report.container = args.positionals[0];
    return PrintResults(tool.json(), report, Extract(args, tool, &report));
}

}  // namespace

const Command kCatCommand = {
    "cat", "write one entry's bytes to standard output", kCatHelp,
    {{"offset", 0, true}, {"length", 0, true}, {"follow", 'f', false}}, RunCat,
};
const Command kExtractCommand = {
    "extract", "write entries to files", kExtractHelp,
    {{"directory", 'C', true}, {"verbose", 'v', false}, {"json", 0, false}}, RunExtract,
};

}  // namespace cont
