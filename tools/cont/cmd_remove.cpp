// cont rm: entries out of a container.
#include <algorithm>
#include <string>
#include <vector>

#include "commands.h"
#include "container_session.h"
#include "errors.h"
#include "name_patterns.h"
#include "progress.h"
#include "results_report.h"

namespace cont {

namespace {

const char kHelp[] =
    "Usage: cont rm [-v | --json] C.cnt ENTRY...\n"
    "Removes the entries from C.cnt. An ENTRY with '*', '?' or '[...]' is a\n"
    "pattern, as extract takes it, and removes every entry it selects\n"
    "('*.tmp'; a backslash, or '--' before the names, takes such a name as it\n"
    "is). Nothing is removed when a name names no entry or a pattern selects\n"
    "none. The space they took is not reclaimed (compact does that).\n"
    "\n"
    "  -v, --verbose   print each entry's name once it is removed\n"
    "  --json          print a JSON object for scripts (see 'man cont')\n";

const ListedEntry* Listed(const std::vector<ListedEntry>& entries, const std::string& name) {
    for (const ListedEntry& entry : entries)
        if (entry.name == name) return &entry;
    return nullptr;
}

// The entries the arguments name, each once, in the order named (those of
// a pattern in container order). kExitOk, or kExitFailure once said, when
// any names none or selects one that cannot be opened.
int ChooseDoomed(ContainerSession& session, const std::vector<ListedEntry>& entries,
                 const std::vector<NameArgument>& names, std::vector<ListedEntry>* doomed) {
    auto add = [doomed](const ListedEntry& entry) {
        if (!Listed(*doomed, entry.name)) doomed->push_back(entry);
    };
    for (const NameArgument& name : names) {
        if (!name.pattern) {
            const ListedEntry* entry = Listed(entries, name.text);
            if (!entry) return Fail(session.place(name.text), "no such entry", E_FAIL);
            add(*entry);
            continue;
        }
        bool any = false;
        for (const ListedEntry& entry : entries) {
            if (!Selects(name, entry.name, entry.cut)) continue;
            if (!entry.problem.empty())
                return FailPlain(session.place(entry.name), "cannot be opened by URL (" + entry.problem +
                                                                "), so it cannot be removed; nothing was removed");
            any = true;
            add(entry);
        }
        if (!any) return Fail(session.place(name.text), "no such entry (the pattern matches none)", E_FAIL);
    }
    return kExitOk;
}

int Remove(const Args& args, Tool& tool, ResultsReport* report) {
    if (args.positionals.size() < 2) return UsageError(kRemoveCommand.name, "needs a container and an entry");
    if (!tool.module()) return kExitFailure;
    const std::string& path = args.positionals[0];
    std::vector<ListedEntry> doomed;
    {
        ContainerSession session(*tool.module(), path);
        int status = session.Open();
        if (status != kExitOk) return status;
        std::vector<ListedEntry> entries;
        if ((status = session.ListEntries(&entries)) != kExitOk) return status;
        if ((status = ChooseDoomed(session, entries, NameArguments(args, 1), &doomed)) != kExitOk) return status;
        for (const ListedEntry& name : doomed) {
            EntryFile entry;
            if ((status = session.OpenEntry(name.name, &entry)) != kExitOk) return status;
            const int32_t result = entry.Remove();
            if (QLX_FAILED(result)) return Fail(session.place(name.name), "cannot remove the entry", result);
            report->entries.push_back(ResultsReport::Entry{name.name, true, name.sized ? name.size : 0, {}, false});
        }
    }
    // The container has been released and written back; read it afresh to
    // make sure the removal lasted.
    ContainerSession again(*tool.module(), path);
    int status = again.Open();
    if (status != kExitOk) return status;
    std::vector<ListedEntry> entries;
    if ((status = again.ListEntries(&entries)) != kExitOk) return status;
    for (ResultsReport::Entry& removed : report->entries) {
        removed.done = !Listed(entries, removed.name);
        if (!removed.done)
            status = FailPlain(again.place(removed.name), "is still listed after removal");
        else if (tool.verbose())
            PutDoneLine(removed.name);
    }
    return status;
}

int RunRemove(const Args& args, Tool& tool) {
    if (tool.json()) KeepFailures();
    ResultsReport report;
    if (!args.positionals.empty()) report.container = args.positionals[0];
    return PrintResults(tool.json(), report, Remove(args, tool, &report));
}

}  // namespace

const Command kRemoveCommand = {
    "rm", "remove entries", kHelp, {{"verbose", 'v', false}, {"json", 0, false}}, RunRemove,
};

}  // namespace cont
