// cont ls and cont stat: what a container holds.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "commands.h"
#include "cont_url.h"
#include "container_session.h"
#include "errors.h"
#include "standard_output.h"

namespace cont {

namespace {

const char kListHelp[] =
    "Usage: cont ls [--urls] C.cnt\n"
    "Lists the entries of C.cnt in container order: size in bytes, then name.\n"
    "An entry that cannot be opened (its name may be one no cont URL can carry)\n"
    "is listed with '?' for its size and the reason on standard error; the\n"
    "others are listed all the same, and the exit status is then 1.\n"
    "\n"
    "  --urls          print each entry's cont URL instead\n";

const char kStatHelp[] =
    "Usage: cont stat C.cnt ENTRY\n"
    "Prints the entry's size and URL, and the times and mode of the container\n"
    "file, as the module reports them.\n";

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
    constexpr uint64_t kUnknown = UINT64_MAX;
    std::vector<uint64_t> sizes(entries.size(), kUnknown);
    for (size_t i = 0; i < entries.size(); ++i) {
        const ListedEntry& listed = entries[i];
        if (!listed.problem.empty()) {
            status = Fail(session.place(listed.name), "cannot be opened by URL: " + listed.problem, E_INVALIDARG);
            continue;
        }
        if (urls) continue;
        EntryFile entry;
        if (session.OpenEntry(listed.name, &entry, true) != kExitOk) {
            status = kExitFailure;
            continue;
        }
        const int32_t result = entry.Size(&sizes[i]);
        if (QLX_FAILED(result)) status = Fail(session.place(listed.name), "cannot stat the entry", result);
    }
    int width = 1;
    for (uint64_t size : sizes)
        if (size != kUnknown) width = std::max(width, static_cast<int>(std::to_string(size).size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const std::string& name = entries[i].name;
        if (urls) {
            if (entries[i].problem.empty()) PrintOut("%s\n", MakeContUrl(session.urlPath(), name).c_str());
        } else if (sizes[i] == kUnknown) {
            PrintOut("%*s  %s\n", width, "?", Printable(name).c_str());
        } else {
            PrintOut("%*" PRIu64 "  %s\n", width, sizes[i], Printable(name).c_str());
        }
    }
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
    EntryStat stat;
    int32_t result = entry.Stat(&stat);
    if (QLX_FAILED(result)) return Fail(session.place(name), "cannot stat the entry", result);
    uint64_t size = 0;
    result = entry.Size(&size);
    if (QLX_FAILED(result)) return Fail(session.place(name), "cannot stat the entry", result);
    PrintOut("entry:    %s\n", Printable(name).c_str());
    PrintOut("size:     %" PRIu64 "\n", size);
    PrintOut("url:      %s\n", MakeContUrl(session.urlPath(), name).c_str());
    PrintOut("container file:\n");
    PrintOut("  mode:     %06o\n", stat.mode);
    PrintOut("  modified: %s\n", UtcTime(stat.modificationTime).c_str());
    PrintOut("  accessed: %s\n", UtcTime(stat.accessTime).c_str());
    PrintOut("  created:  %s\n", UtcTime(stat.creationTime).c_str());
    return kExitOk;
}

}  // namespace

const Command kListCommand = {"ls", "list the entries and their sizes", kListHelp, {{"urls", 0, false}}, RunList};
const Command kStatCommand = {"stat", "show one entry's size and the container's times", kStatHelp, {}, RunStat};

}  // namespace cont
