// cont add: files added to a container in place, behind what it holds.

#include <algorithm>
#include <string>
#include <vector>

#include "commands.h"
#include "container_lock.h"
#include "errors.h"
#include "local_files.h"
#include "pack/packer.h"
#include "results_report.h"

namespace cont {

namespace {

const char kHelp[] =
    "Usage: cont add [--replace] [--no-gather] C.cnt [--name NAME] FILE...\n"
    "Adds each FILE to the container C.cnt as an entry named after the file's\n"
    "last path component, and a directory with every regular file beneath it,\n"
    "as `cont pack` does. The entries are appended: nothing the container holds\n"
    "is rewritten. C.cnt is made when it does not exist. FILE '-' reads standard\n"
    "input.\n"
    "\n"
    "  -v, --verbose   print each entry's name once its file is copied\n"
    "  --json          print a JSON object for scripts (see 'man cont')\n"
    "  --name NAME     the entry name of the FILE that follows (needed for '-')\n"
    "  --replace       replace entries of the same names; without it, nothing is\n"
    "                  added when one of the names is taken\n"
    "  --no-gather     write each piece to the container as it comes, rather than\n"
    "                  in records of up to 1 MiB gathered in memory (as pack)\n"
    "\n"
    "The container must not be open in another program. Success is reported\n"
    "only once what was added is on the disk. When adding fails or is\n"
    "interrupted, every entry the container held stays whole and an entry being\n"
    "added holds what reached the disk (one being replaced: the start of its new\n"
    "bytes).\n";

// Why the module would not take the container up for adding.
int RefusedContainer(const Place& place, int32_t result, const std::string& why) {
    switch (result) {
        case E_ACCESSDENIED:
            if (HeldByAnother(place.container))
                return Fail(place, "is open in another program; entries are added only to a container no one "
                                   "else has open", result);
            return Fail(place, why.empty() ? "cannot open the container for adding" : why, result);
        case RES_BAD_FORMAT:
            return Fail(place, "not a container this module can add to (unknown magic or version, or a directory "
                               "laid out otherwise)", result);
        case RES_INVALID_PATH: return Fail(place, why, result);
        case E_NOTIMPL: return Fail(place, "the module cannot add to containers", result);
        default: return Fail(place, "cannot read the container's directory (damaged or not a container)", result);
    }
}

// The sources whose names the container holds: refused without --replace,
// else removed (for good once the container is written out). kExitOk when
// all may now be added.
int ClearNames(ContainerWriter& writer, const Place& place, const Sources& sources, bool replace) {
    std::vector<std::string> taken;
    for (const auto& source : sources) {
        bool holds = false;
        const int32_t asked = writer.Holds(source->name, &holds).code();
        if (QLX_FAILED(asked)) return Fail(Place{place.container, source->name}, "cannot look the entry up", asked);
        if (holds) taken.push_back(source->name);
    }
    if (!replace && !taken.empty()) {
        std::string names;
        for (size_t i = 0; i < taken.size(); ++i) names += (i ? ", " : "") + QuotedName(taken[i]);
        return FailPlain(place, std::string(taken.size() == 1 ? "holds an entry" : "holds entries") + " of the name " +
                                    names + " already; nothing was added (--replace replaces them)");
    }
    for (const std::string& name : taken) {
        const int32_t removed = writer.Remove(name).code();
        if (QLX_FAILED(removed)) return Fail(Place{place.container, name}, "cannot remove the entry to replace", removed);
    }
    for (const auto& source : sources) {
        if (std::find(taken.begin(), taken.end(), source->name) != taken.end()) source->replaces = true;
    }
    return kExitOk;
}

int Add(const Args& args, Tool& tool, ResultsReport* report) {
    const char* cmd = kAddCommand.name;
    if (args.positionals.size() < 2) return UsageError(cmd, "needs C.cnt and at least one FILE");
    const std::string out = args.positionals[0];
    std::vector<GivenInput> given;
    if (const int usage = CheckGivenInputs(cmd, args, &given); usage != kExitOk) return usage;

    Sources sources;
    uint64_t total = 0;
    if (const int status = CollectSources(out, given, &sources, &total); status != kExitOk) return status;
    const Place place{out, {}};
    switch (KindOf(out)) {
        case PathKind::kDirectory: return Fail(place, "is a directory, not a container", RES_OPEN_FAILED);
        case PathKind::kOther: return Fail(place, "is not a regular file", RES_OPEN_FAILED);
        default: break;
    }
    if (!tool.module()) return kExitFailure;

    // A container that does not exist yet is made; if nothing reaches it,
    // the writer takes it back as it closes.
    ContainerWriter writer;
    writer.SetGathering(!args.Has("no-gather"));
    std::string why;
    const int32_t opened = writer.Append(*tool.module(), out, &why).code();
    int status = QLX_FAILED(opened) ? RefusedContainer(place, opened, why)
                                    : ClearNames(writer, place, sources, args.Has("replace"));
    Packer packer(tool, out, out, writer);
    if (status == kExitOk) status = packer.Run(sources, false, total, "adding");
    // The container writes its directory back and sets its clean flag once
    // the writer and the entries let go of it.
    writer.Close();
    bool anyAdded = false;
    for (const auto& source : sources) anyAdded = anyAdded || source->added;
    const bool readable = anyAdded && packer.Survey(sources);
    ReportSources(sources, report);
    bool complete = status == kExitOk && readable;
    for (const auto& source : sources) complete = complete && Complete(*source);
    if (complete) return kExitOk;
    if (!anyAdded) return status;
    if (!readable) return FailPlain(place, "the container cannot be read back after adding");
    return FailPlain(place, std::string(status == kExitOk ? "the container read back does not hold what was added"
                                                          : "what reached the disk is kept") +
                                " (" + Summary(sources, "not added: ") + ")");
}

int RunAdd(const Args& args, Tool& tool) {
    if (tool.json()) KeepFailures();
    ResultsReport report;
    if (!args.positionals.empty()) report.container = args.positionals[0];
    return PrintResults(tool.json(), report, Add(args, tool, &report));
}

}  // namespace

const Command kAddCommand = {
    "add", "add files to a container in place", kHelp,
    {{"replace", 0, false}, {"name", 0, true}, {"verbose", 'v', false}, {"json", 0, false}, {"no-gather", 0, false}},
    RunAdd,
};

}  // namespace cont
