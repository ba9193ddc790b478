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
    std::vector<std::string> names;
    if ((status = session.ListEntries(&names)) != kExitOk) return status;

    const bool urls = args.Has("urls");
    std::vector<uint64_t> sizes;
    for (const std::string& name : names) {
        std::string reason;
        if (urls) {
            if (!AddressableEntryName(name, &reason)) return Fail(session.place(name), reason, E_INVALIDARG);
            continue;
        }
        EntryFile entry;
        if ((status = session.OpenEntry(name, &entry)) != kExitOk) return status;
        uint64_t size = 0;
        const int32_t result = entry.Size(&size);
        if (QLX_FAILED(result)) return Fail(session.place(name), "cannot stat the entry", result);
        sizes.push_back(size);
    }
    int width = 1;
    for (uint64_t size : sizes) width = std::max(width, static_cast<int>(std::to_string(size).size()));
    for (size_t i = 0; i < names.size(); ++i) {
        if (urls)
            PrintOut("%s\n", MakeContUrl(session.urlPath(), names[i]).c_str());
        else
            PrintOut("%*" PRIu64 "  %s\n", width, sizes[i], Printable(names[i]).c_str());
    }
    return kExitOk;
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
