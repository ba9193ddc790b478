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
#include "reports.h"
#include "standard_output.h"

namespace cont {

namespace {

const char kListHelp[] =
    "Usage: cont ls [--urls | --json] C.cnt\n"
    "Lists the entries of C.cnt in container order: size in bytes, then name.\n"
    "An entry that cannot be opened (its name may be one no cont URL can carry)\n"
    "is listed with '?' for its size and the reason on standard error; the\n"
    "others are listed all the same, and the exit status is then 1.\n"
    "\n"
    "  --urls          print each entry's cont URL instead\n"
    "  --json          print a JSON object for scripts (see 'man cont')\n";

const char kStatHelp[] =
    "Usage: cont stat [--json] C.cnt ENTRY\n"
    "Prints the entry's size and URL, and the times and mode of the container\n"
    "file, as the module reports them.\n"
    "\n"
    "  --json          print a JSON object for scripts (see 'man cont')\n";

// One line per entry: the size right-aligned to the widest, then the name;
// or the URLs alone. Each line is put together here rather than formatted:
// a container may list tens of thousands.
void PrintText(const ListingReport& report, bool urls) {
    std::string line;
    if (urls) {
        for (const ListingReport::Entry& e : report.entries) {
            if (e.url.empty()) continue;
            line.assign(e.url).push_back('\n');
            PutOut(line);
        }
        return;
    }
    char digits[24];
    auto decimal = [&digits](uint64_t value) {
        return static_cast<size_t>(std::to_chars(digits, digits + sizeof digits, value).ptr - digits);
    };
    size_t width = 1;
    for (const ListingReport::Entry& e : report.entries)
        if (e.sized) width = std::max(width, decimal(e.size));
    for (const ListingReport::Entry& e : report.entries) {
        const size_t length = e.sized ? decimal(e.size) : 1;
        line.assign(width - length, ' ');
        line.append(e.sized ? digits : "?", length);
        line.append("  ");
        AppendPrintable(&line, e.name);
        line.push_back('\n');
        PutOut(line);
    }
}

int RunList(const Args& args, Tool& tool) {
    if (args.positionals.size() != 1) return UsageError(kListCommand.name, "needs exactly one container");
    if (!tool.module()) return kExitFailure;
    ContainerSession session(*tool.module(), args.positionals[0]);
    int status = session.Open();
    if (status != kExitOk) return status;
    std::vector<ListedEntry> entries;
    if ((status = session.ListEntries(&entries)) != kExitOk) return status;

    // Each entry on its own: one that cannot be opened is reported and
    // listed without a size, and the others are listed all the same.
    const bool urls = args.Has("urls");
    const bool json = args.Has("json");
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
        // listed: opening the entry says why.
        if (!e.sized && (!urls || json)) {
            EntryFile entry;
            if (session.OpenEntry(e.name, &entry, true) == kExitOk) {
                const int32_t result = entry.Size(&e.size);
                e.sized = QLX_SUCCEEDED(result);
                if (!e.sized) Fail(session.place(e.name), "cannot stat the entry", result);
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
        PrintText(report, urls);
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
    "ls", "list the entries and their sizes", kListHelp, {{"urls", 0, false}, {"json", 0, false}}, RunList,
};
const Command kStatCommand = {
    "stat", "show one entry's size and the container's times", kStatHelp, {{"json", 0, false}}, RunStat,
};

}  // namespace cont
