// cont rm: entries out of a container.
#include <algorithm>
#include <string>
#include <vector>

#include "commands.h"
#include "container_session.h"
#include "errors.h"

namespace cont {

namespace {

const char kHelp[] =
    "Usage: cont rm C.cnt ENTRY...\n"
    "Removes the entries from C.cnt. Nothing is removed when one of them does\n"
    "not exist. The space they took is not reclaimed.\n";

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

bool Listed(const std::vector<ListedEntry>& entries, const std::string& name) {
    for (const ListedEntry& entry : entries)
        if (entry.name == name) return true;
    return false;
}

int RunRemove(const Args& args, Tool& tool) {
    if (args.positionals.size() < 2) return UsageError(kRemoveCommand.name, "needs a container and an entry");
    if (!tool.module()) return kExitFailure;
    const std::string& path = args.positionals[0];
    std::vector<std::string> doomed;
    for (size_t i = 1; i < args.positionals.size(); ++i)
        if (!Contains(doomed, args.positionals[i])) doomed.push_back(args.positionals[i]);

    {
        ContainerSession session(*tool.module(), path);
        int status = session.Open();
        if (status != kExitOk) return status;
        std::vector<ListedEntry> entries;
        if ((status = session.ListEntries(&entries)) != kExitOk) return status;
        for (const std::string& name : doomed)
            if (!Listed(entries, name)) return Fail(session.place(name), "no such entry", E_FAIL);
        for (const std::string& name : doomed) {
            EntryFile entry;
            if ((status = session.OpenEntry(name, &entry)) != kExitOk) return status;
            const int32_t result = entry.Remove();
            if (QLX_FAILED(result)) return Fail(session.place(name), "cannot remove the entry", result);
        }
    }
    // The container has been released and written back; read it afresh to
    // make sure the removal lasted.
    ContainerSession again(*tool.module(), path);
    int status = again.Open();
    if (status != kExitOk) return status;
    std::vector<ListedEntry> entries;
    if ((status = again.ListEntries(&entries)) != kExitOk) return status;
    for (const std::string& name : doomed)
        if (Listed(entries, name)) return FailPlain(again.place(name), "is still listed after removal");
    return kExitOk;
}

}  // namespace

const Command kRemoveCommand = {"rm", "remove entries", kHelp, {}, RunRemove};

}  // namespace cont
