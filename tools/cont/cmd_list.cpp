// cont ls and cont stat: what a container holds.
#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "commands.h"
#include "cont_url.h"
#include "container_session.h"
#include "errors.h"
#include "human_size.h"
#include "name_patterns.h"
#include "readable_bytes.h"
#include "reports.h"
#include "standard_output.h"

namespace cont {

namespace {

const char kListHelp[] =
    "Usage: cont ls [-l] [--human-readable] [--urls | --json] C.cnt [NAME...]\n"
    "Lists the entries of C.cnt in container order: size in bytes, then name.\n"
    "NAMEs list only the entries they select, as extract selects them: an\n"
    "entry, a directory of entries, or a pattern ('*.jpg'); one that selects\n"
    "nothing fails as a missing entry does. An entry that cannot be opened (its\n"
    "name may be one no cont URL can carry) is listed with '?' for its size and\n"
    "the reason on standard error; the others are listed all the same, and the\n"
    "exit status is then 1.\n"
    "\n"
    "  -l, --long      read every entry through, and say between size and name\n"
    "                  how far it reads: 'whole', or 'to N' when the bytes from\n"
    "                  N on cannot be read (damage; the exit status is then 1)\n"
    "  --human-readable  sizes as ls -lh prints them (1.5K, 12M)\n"
    "  --urls          print each entry's cont URL instead\n"
    "  --json          print a JSON object for scripts (see 'man cont')\n"
    "\n"
    "A container keeps no mode, owner or time for an entry, only its name and\n"
    "bytes; stat gives the container file's own.\n";

const char kStatHelp[] =
    "Usage: cont stat [--json] C.cnt ENTRY\n"
    "Prints the entry's size and URL, and the times and mode of the container\n"
    "file, as the module reports them.\n"
    "\n"
    "  --json          print a JSON object for scripts (see 'man cont')\n";

// One line per entry: the size right-aligned to the widest, with -l how far
// it reads, then the name; or the URLs alone. Each line is put together
// here rather than formatted: a container may list tens of thousands.
void PrintText(const ListingReport& report, bool urls, bool human) {
    std::string line;
    if (urls) {
        for (const ListingReport::Entry& e : report.entries) {
            if (e.url.empty()) continue;
            line.assign(e.url).push_back('\n');
            PutOut(line);
        }
        return;
    }
    const auto size = [human](uint64_t bytes) { return human ? HumanSize(bytes) : std::to_string(bytes); };
    const auto reach = [&size](const ListingReport::Entry& e) {
        return !e.measured ? std::string("?") : e.readable == e.size ? std::string("whole") : "to " + size(e.readable);
    };
    const bool measured = std::any_of(report.entries.begin(), report.entries.end(),
                                      [](const ListingReport::Entry& e) { return e.measured; });
    size_t width = 1, reachWidth = 0;
    for (const ListingReport::Entry& e : report.entries) {
        if (e.sized) width = std::max(width, size(e.size).size());
        if (measured) reachWidth = std::max(reachWidth, reach(e).size());
    }
    for (const ListingReport::Entry& e : report.entries) {
        const std::string shown = e.sized ? size(e.size) : "?";
        line.assign(width - shown.size(), ' ').append(shown).append("  ");
        if (measured) {
            const std::string how = reach(e);
            line.append(how).append(reachWidth - how.size(), ' ').append("  ");
        }
        AppendPrintable(&line, e.name);
        line.push_back('\n');
        PutOut(line);
    }
}

// The listed entries the NAMEs select, in container order; every one when
// there are none. A NAME that selects nothing fails.
int Select(ContainerSession& session, const std::vector<NameArgument>& names, std::vector<ListedEntry>* entries) {
    if (names.empty()) return kExitOk;
    std::vector<bool> used(names.size(), false);
    std::vector<ListedEntry> chosen;
    for (ListedEntry& entry : *entries) {
        bool selected = false;
        for (size_t i = 0; i < names.size(); ++i) {
            if (!Selects(names[i], entry.name, entry.cut)) continue;
            selected = true;
            used[i] = true;
        }
        if (selected) chosen.push_back(std::move(entry));
    }
    *entries = std::move(chosen);
    int status = kExitOk;
    for (size_t i = 0; i < names.size(); ++i)
        if (!used[i]) status = Fail(session.place(names[i].text), "no such entry", E_FAIL);
    return status;
}

int RunList(const Args& args, Tool& tool) {
    const char* cmd = kListCommand.name;
    if (args.positionals.empty()) return UsageError(cmd, "needs a container");
    const bool urls = args.Has("urls");
    const bool json = tool.json();
    const bool measure = args.Has("long");
    if (urls && measure) return UsageError(cmd, "--urls prints the URLs alone: not with -l");
    if (!tool.module()) return kExitFailure;
    ContainerSession session(*tool.module(), args.positionals[0]);
    int status = session.Open();
    if (status != kExitOk) return status;
    std::vector<ListedEntry> entries;
    if ((status = session.ListEntries(&entries)) != kExitOk) return status;
    status = Select(session, NameArguments(args, 1), &entries);

    // Each entry on its own: one that cannot be opened is reported and
    // listed without a size, and the others are listed all the same.
    ListingReport report;
    report.container = args.positionals[0];
    report.entries.reserve(entries.size());
    for (ListedEntry& listed : entries) {
        ListingReport::Entry e;
        e.name = std::move(listed.name);
        e.cut = listed.cut;
        if (!listed.problem.empty()) {
            status = Fail(session.place(e.name), "cannot be opened by URL: " + listed.problem, E_INVALIDARG);
            e.problem = LastFailure();
            report.entries.push_back(std::move(e));
            continue;
        }
        // The sizes alone need no URL, and the URLs alone no size.
        if (urls || json) e.url = MakeContUrl(session.urlPath(), e.name);
        e.sized = listed.sized;
        e.size = listed.size;
        // The container gives no size for a name it does not hold as
        // listed: opening the entry says why. -l opens every entry.
        if ((!e.sized && (!urls || json)) || measure) {
            EntryFile entry;
            if (session.OpenEntry(e.name, &entry, true) == kExitOk) {
                const int32_t result = entry.Size(&e.size);
                e.sized = QLX_SUCCEEDED(result);
                if (!e.sized) Fail(session.place(e.name), "cannot stat the entry", result);
                if (e.sized && measure) {
                    e.measured = true;
                    if (ReadableBytes(session, entry, e.name, e.size, "reading", tool.quiet(), &e.readable) != kExitOk)
                        status = kExitFailure;
                }
            }
            if (!e.sized) {
                status = kExitFailure;
                e.problem = LastFailure();
            }
        }
        report.entries.push_back(std::move(e));
    }
    if (json)
        PrintJson(report);
    else
        PrintText(report, urls, args.Has("human-readable"));
    return status;
}

std::string UtcTime(uint32_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    struct tm parts;
    char text[32];
    if (!gmtime_r(&t, &parts) || !std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts))
        return std::to_string(seconds);
    return text;
}

int RunStat(const Args& args, Tool& tool) {
    if (args.positionals.size() != 2) return UsageError(kStatCommand.name, "needs a container and one entry");
    if (!tool.module()) return kExitFailure;
    ContainerSession session(*tool.module(), args.positionals[0]);
    const std::string& name = args.positionals[1];
    int status = session.Open();
    if (status != kExitOk) return status;
    EntryFile entry;
    if ((status = session.OpenEntry(name, &entry)) != kExitOk) return status;
    StatReport report;
    report.container = args.positionals[0];
    report.name = name;
    report.url = MakeContUrl(session.urlPath(), name);
    const int32_t result = entry.Stat(&report.file);
    if (QLX_FAILED(result)) return Fail(session.place(name), "cannot stat the entry", result);
    if (args.Has("json")) {
        PrintJson(report);
        return kExitOk;
    }
    PrintOut("entry:    %s\n", Printable(name).c_str());
    PrintOut("size:     %" PRIu64 "\n", report.file.size);
    PrintOut("url:      %s\n", report.url.c_str());
    PrintOut("container file:\n");
    PrintOut("  mode:     %06o\n", report.file.mode);
    PrintOut("  modified: %s\n", UtcTime(report.file.modificationTime).c_str());
    PrintOut("  accessed: %s\n", UtcTime(report.file.accessTime).c_str());
    PrintOut("  created:  %s\n", UtcTime(report.file.creationTime).c_str());
    return kExitOk;
}

}  // namespace

const Command kListCommand = {
    "ls", "list the entries and their sizes", kListHelp,
    {{"long", 'l', false}, {"human-readable", 0, false}, {"urls", 0, false}, {"json", 0, false}}, RunList,
};
const Command kStatCommand = {
    "stat", "show one entry's size and the container's times", kStatHelp, {{"json", 0, false}}, RunStat,
};

}  // namespace cont
