// cont pack: a new container holding the given files.
#include <sys/resource.h>

#include <string>
#include <vector>

#include "commands.h"
#include "errors.h"
#include "pack/pack_target.h"
#include "pack/packer.h"
#include "results_report.h"

namespace cont {

namespace {

const char kHelp[] =
    "Usage: cont pack [--force] [--interleave] [--sync-every SECONDS] [--no-gather]\n"
    "                 OUT.cnt [--name NAME] FILE...\n"
    "Makes a new container OUT.cnt holding each FILE as an entry named after the\n"
    "file's last path component. A directory is packed with every regular file\n"
    "beneath it, named by its path with '/' after the directory's own name\n"
    "('dir/sub/a.txt'); links and special files inside it are skipped, each\n"
    "named on standard error. FILE '-' reads standard input; what arrives\n"
    "through a pipe is written as it comes.\n"
    "\n"
    "  -v, --verbose   print each entry's name once its file is copied\n"
    "  --json          print a JSON object for scripts (see 'man cont')\n"
    "  --name NAME     the entry name of the FILE that follows (needed for '-');\n"
    "                  for a directory, the name its entries are put under\n"
    "  --force         replace OUT.cnt if it exists: the new container is made\n"
    "                  beside it and takes its place only once it is complete;\n"
    "                  what an interrupted run left there is removed when it is\n"
    "                  proved stale, and named otherwise\n"
    "  --interleave    write all files at once, in round-robin pieces through one\n"
    "                  file object each, as a player writing several streams does\n"
    "  --sync-every SECONDS\n"
    "                  while a pipe, FIFO or standard input is packed, flush what\n"
    "                  was written to the disk once it has waited SECONDS (default\n"
    "                  2; fractions allowed), also while the input is quiet, so a\n"
    "                  power cut loses at most the last SECONDS of it; 0 flushes\n"
    "                  only at the end\n"
    "  --no-gather     write each piece to the container as it comes; by default\n"
    "                  an entry's pieces are gathered in memory and written as\n"
    "                  records of up to 1 MiB, at most half a second after they\n"
    "                  came, so that entries written at once each lie together\n"
    "\n"
    "cont reports success only once the container is on the disk. When packing\n"
    "fails, a new OUT.cnt keeps what reached the disk and cont names the entries\n"
    "that are complete and those that are cut short; a container that --force\n"
    "was replacing is left as it was.\n";

// How long written bytes of a streamed input may wait to be flushed, unless
// --sync-every says otherwise: a recorder loses at most this much.
constexpr uint64_t kDefaultSyncEveryMs = 2000;

// Descriptors cont needs besides its inputs: standard streams, the
// container, the module's own files.
constexpr rlim_t kSpareDescriptors = 16;

// --interleave holds every input open at once; the soft limit on open
// files is raised as far as the hard one allows before anything is opened.
bool EnoughDescriptors(size_t inputs, std::string* reason) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return true;
    const rlim_t needed = static_cast<rlim_t>(inputs) + kSpareDescriptors;
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed) return true;
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= needed) {
        limit.rlim_cur = needed;
        if (setrlimit(RLIMIT_NOFILE, &limit) == 0) return true;
    }
    *reason = "--interleave keeps all " + std::to_string(inputs) + " inputs open at once, which takes about " +
              std::to_string(needed) + " open files, but the limit is " +
              std::to_string(limit.rlim_max == RLIM_INFINITY ? limit.rlim_cur : limit.rlim_max) +
              " (ulimit -n); pack them without --interleave";
    return false;
}

// After the copy: a complete container is put in place; of one that is not,
// cont says what became of it and what it holds.
int Conclude(const Place& place, PackTarget& target, const Sources& sources, int status, bool readable) {
    bool complete = readable;
    bool irreplaceable = false;
    for (const auto& source : sources) {
        complete = complete && Complete(*source);
        irreplaceable = irreplaceable || (source->input.Irreplaceable() && source->written != 0);
    }
    std::string reason;
    if (status == kExitOk && complete) {
        if (target.Commit(&reason)) return kExitOk;
        return FailPlain(place, reason + "; " + target.Abandon(irreplaceable).said);
    }
    if (status == kExitOk) FailPlain(place, "the container read back does not hold what was packed");
    const PackTarget::Fate fate = target.Abandon(irreplaceable);
    if (fate.said.empty()) return kExitFailure;
    std::string line = fate.said;
    if (fate.kept) line += readable ? " (" + Summary(sources, "not packed: ") + ")" : " (it cannot be read back)";
    return FailPlain(place, line);
}

int Pack(const Args& args, Tool& tool, ResultsReport* report) {
    const char* cmd = kPackCommand.name;
    if (args.positionals.size() < 2) return UsageError(cmd, "needs OUT.cnt and at least one FILE");
    const std::string out = args.positionals[0];
    std::vector<GivenInput> given;
    if (const int usage = CheckGivenInputs(cmd, args, &given); usage != kExitOk) return usage;
    const bool interleave = args.Has("interleave");
    uint64_t syncEveryMs = kDefaultSyncEveryMs;
    if (const std::string* v = args.Value("sync-every"); v && !ParseSeconds(*v, &syncEveryMs))
        return UsageError(cmd, "--sync-every needs a number of seconds (0 to " + std::to_string(kMaxSeconds) +
                                   "), not '" + *v + "'");

    Sources sources;
    uint64_t total = 0;
    if (const int status = CollectSources(out, given, &sources, &total); status != kExitOk) return status;
    std::string reason;
    if (interleave && !EnoughDescriptors(sources.size(), &reason)) return FailPlain(Place{out, {}}, reason);
    if (!tool.module()) return kExitFailure;

    PackTarget target(*tool.module());
    bool disposable = true;  // every input can be read again
    for (const auto& source : sources) disposable = disposable && !source->streamed;
    const int32_t prepared = target.Prepare(out, args.Has("force"), disposable, &reason);
    if (QLX_FAILED(prepared)) return Fail(Place{out, {}}, reason, prepared);

    ContainerWriter writer;
    writer.SetGathering(!args.Has("no-gather"));
    const int32_t created = writer.Create(*tool.module(), target.writePath(), &reason);
    Packer packer(tool, out, target.writePath(), writer);
    packer.SyncEvery(std::chrono::milliseconds(syncEveryMs));
    const int status = QLX_FAILED(created) ? Fail(Place{out, {}}, reason, created)
                                           : packer.Run(sources, interleave, total, "packing");
    const bool readable = packer.Survey(sources);
    const int concluded = Conclude(Place{out, {}}, target, sources, status, readable);
    ReportSources(sources, report);
    return concluded;
}

int RunPack(const Args& args, Tool& tool) {
    if (tool.json()) KeepFailures();
    ResultsReport report;
    if (!args.positionals.empty()) report.container = args.positionals[0];
    return PrintResults(tool.json(), report, Pack(args, tool, &report));
}

}  // namespace

const Command kPackCommand = {
    "pack", "make a new container from files", kHelp,
    {{"force", 'f', false}, {"interleave", 0, false}, {"name", 0, true}, {"sync-every", 0, true},
     {"verbose", 'v', false}, {"json", 0, false}, {"no-gather", 0, false}},
    RunPack,
};

}  // namespace cont
