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
#include "progress.h"
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
    "Usage: cont extract [-C DIR] C.cnt [ENTRY...]\n"
    "Writes the named entries (all of them when none is named) to files of the\n"
    "same names, making the directories that names with '/' lead through, and\n"
    "replacing regular files that exist. An ENTRY that names no entry but a\n"
    "directory of them (photos or photos/ for photos/a.jpg) brings every entry\n"
    "beneath it, in container order. Each file is written under a temporary\n"
    "name and renamed into place once whole. Of a damaged entry, the bytes\n"
    "before the damage are kept under its name, or as NAME.partial beside a file\n"
    "of that name, which stays as it was. Nothing is written outside the\n"
    "directory: names with '..' segments or a leading '/' are refused, no\n"
    "symbolic link already there is followed, and links, FIFOs and other\n"
    "special files are never written through, nor is the container itself. An\n"
    "entry that cannot be extracted is reported and the others are still\n"
    "written; the exit status is then 1.\n"
    "\n"
    "  -C, --directory DIR   write into DIR (made if missing) instead of the\n"
    "                        current directory\n";

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
int ExtractOne(ContainerSession& session, ExtractDirectory& directory, const std::string& name, bool listed,
               bool quiet) {
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
        const std::string said = "the " + std::to_string(file.written()) + " bytes before it are in " + Printable(dir + kept);
        return file.replacing() ? Printable(target.container) + " is left as it was; " + said : said;
    };
    status = session.ReadThrough(entry, name, size, sink, keepPartial);
    if (status != kExitOk) return status;
    if (!file.Commit(&reason)) return FailPlain(target, reason);
    return kExitOk;
}

// One entry to extract; `listed` when the listing gave its name.
struct ChosenEntry {
    ListedEntry entry;
    bool listed = false;
};

// "photos/" for photos, photos/ or photos//: what names beneath that
// directory begin with.
std::string DirectoryPrefix(const std::string& name) {
    const size_t last = name.find_last_not_of('/');
    return name.substr(0, last == std::string::npos ? 0 : last + 1) + '/';
}

// The entries that `names` select, in the order named (every listed entry
// when none is). A name of an entry selects that entry; any other name
// selects the entries beneath it as a directory, in container order, or,
// when there are none, stays as it is for opening it to say why. An entry
// selected twice is chosen once.
int ChooseEntries(ContainerSession& session, const std::vector<std::string>& names, std::vector<ChosenEntry>* chosen) {
    std::vector<ListedEntry> listing;
    if (names.empty()) {
        const int status = session.ListEntries(&listing);
        for (ListedEntry& entry : listing) chosen->push_back(ChosenEntry{std::move(entry), true});
        return status;
    }
    bool haveListing = false;
    std::vector<bool> taken;           // by place in the listing
    std::set<std::string> takenNames;  // whole names only: a cut one may stand for several
    for (const std::string& name : names) {
        if (!session.HoldsNoEntry(name)) {
            if (takenNames.insert(name).second) chosen->push_back(ChosenEntry{ListedEntry{name, {}}, false});
            continue;
        }
        if (!haveListing) {
            if (const int status = session.ListEntries(&listing); status != kExitOk) return status;
            taken.assign(listing.size(), false);
            haveListing = true;
        }
        const std::string prefix = DirectoryPrefix(name);
        bool any = false;
        for (size_t i = 0; i < listing.size(); ++i) {
            const ListedEntry& entry = listing[i];
            // Of a cut name only its start is known, without the "..." that
            // ShortName ends it with.
            const size_t known = entry.cut ? entry.name.size() - 3 : entry.name.size();
            if (known < prefix.size() || entry.name.compare(0, prefix.size(), prefix) != 0) continue;
            any = true;
            if (taken[i] || (!entry.cut && !takenNames.insert(entry.name).second)) continue;
            taken[i] = true;
            chosen->push_back(ChosenEntry{entry, true});
        }
        if (!any) chosen->push_back(ChosenEntry{ListedEntry{name, {}}, false});
    }
    return kExitOk;
}

int RunExtract(const Args& args, Tool& tool) {
    if (args.positionals.empty()) return UsageError(kExtractCommand.name, "needs a container");
    const std::string* dirOption = args.Value("directory");
    const std::string dir = dirOption ? *dirOption : std::string();
    if (dirOption && dir.empty()) return UsageError(kExtractCommand.name, "-C needs a directory");
    std::vector<std::string> names(args.positionals.begin() + 1, args.positionals.end());
    std::set<std::string> seen;
    for (const std::string& name : names)
        if (!seen.insert(name).second) return UsageError(kExtractCommand.name, "entry '" + name + "' named twice");
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
        if (!entry.problem.empty())
            status = Fail(session.place(entry.name), "cannot be opened by URL: " + entry.problem, E_INVALIDARG);
        else if (ExtractOne(session, directory, entry.name, chosen.listed, tool.quiet()) != kExitOk)
            status = kExitFailure;
    }
    return status;
}

}  // namespace

const Command kCatCommand = {
    "cat", "write one entry's bytes to standard output", kCatHelp,
    {{"offset", 0, true}, {"length", 0, true}, {"follow", 'f', false}}, RunCat,
};
const Command kExtractCommand = {
    "extract", "write entries to files", kExtractHelp, {{"directory", 'C', true}}, RunExtract,
};

}  // namespace cont
