// cont pack: a new container holding the given files.
#include <sys/resource.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "cont_url.h"
#include "container_session.h"
#include "errors.h"
#include "local_files.h"
#include "pack_inputs.h"
#include "pack_target.h"
#include "progress.h"
#include "write_failure.h"

namespace cont {

namespace {

const char kHelp[] =
    "Usage: cont pack [--force] [--interleave] OUT.cnt [--name NAME] FILE...\n"
    "Makes a new container OUT.cnt holding each FILE as an entry named after the\n"
    "file's last path component. A directory is packed with every regular file\n"
    "beneath it, named by its path with '/' after the directory's own name\n"
    "('dir/sub/a.txt'); links and special files inside it are skipped, each\n"
    "named on standard error. FILE '-' reads standard input; what arrives\n"
    "through a pipe is written as it comes.\n"
    "\n"
    "  --name NAME     the entry name of the FILE that follows (needed for '-');\n"
    "                  for a directory, the name its entries are put under\n"
    "  --force         replace OUT.cnt if it exists: the new container is made\n"
    "                  beside it and takes its place only once it is complete\n"
    "  --interleave    write all files at once, in round-robin pieces through one\n"
    "                  file object each, as a player writing several streams does\n"
    "\n"
    "When packing fails, a new OUT.cnt keeps what reached the disk and cont names\n"
    "the entries that are complete and those that are cut short; a container\n"
    "that --force was replacing is left as it was.\n";

constexpr uint32_t kPlainPiece = 1u << 20;
constexpr uint32_t kInterleavePiece = 64u << 10;
// Descriptors cont needs besides its inputs: standard streams, the
// container, the module's own files.
constexpr rlim_t kSpareDescriptors = 16;
// Names listed in one sentence of the failure summary before "and N more".
constexpr size_t kNamesListed = 8;

struct Source {
    std::string path;  // as given; "-" for standard input
    std::string name;  // entry name
    InputFile input;
    EntryFile entry;
    bool added = false;  // the entry was opened in the container
    bool done = false;   // the input was read to its end
    uint64_t written = 0;
    bool found = false;  // the entry was found when the container was read back
    uint64_t onDisk = 0;
};

using Sources = std::vector<std::unique_ptr<Source>>;

class Packer {
public:
    Packer(Tool& tool, std::string out, std::string writePath)
        : tool_(tool), out_(std::move(out)), writePath_(std::move(writePath)) {}

    // Copies every source into the container and lets go of it, so that the
    // module writes its directory and clean flag. Prints any failure.
    int Run(Sources& sources, bool interleave, uint64_t total);
    // Reads the container back and records what each entry holds; false
    // when it cannot be read at all.
    bool Survey(Sources& sources);

private:
    int OpenInput(Source& source);
    int OpenEntry(Source& source);
    // Copies one piece; `source.done` once the input is used up.
    int CopyPiece(Source& source, uint32_t piece);
    Place place(const std::string& entry = {}) const { return Place{out_, entry}; }

    Tool& tool_;
    std::string out_;
    std::string writePath_;
    ContainerWriter writer_;
    std::vector<uint8_t> buffer_;
    std::unique_ptr<Progress> progress_;
};

int Packer::OpenInput(Source& source) {
    std::string reason;
    if (!source.input.Open(source.path, &reason))
        return FailPlain(Place{source.path, {}}, "cannot read: " + reason);
    return kExitOk;
}

int Packer::OpenEntry(Source& source) {
    const int32_t result = writer_.AddEntry(source.name, &source.entry);
    if (QLX_SUCCEEDED(result)) {
        source.added = true;
        return kExitOk;
    }
    if (result == E_NOTIMPL) return Fail(place(), "the module cannot open files yet", result);
    if (result == E_ACCESSDENIED || result == RES_OPEN_FAILED)
        return Fail(place(), "cannot open the container for writing", result);
    return Fail(place(source.name), "cannot add the entry", result);
}

int Packer::CopyPiece(Source& source, uint32_t piece) {
    std::string reason;
    buffer_.resize(piece);
    size_t got = 0;
    if (!source.input.Read(buffer_.data(), piece, &got, &reason))
        return FailPlain(Place{source.path, {}}, "read failed: " + reason);
    if (got == 0) {
        source.done = true;
        source.input.Close();
        if (source.written != 0) return kExitOk;
        // An empty write still makes the container write its header and the
        // entry's record, so a container of empty files is readable.
    }
    const int32_t result = source.entry.Write(buffer_.data(), got);
    if (QLX_FAILED(result)) {
        std::string what = "write failed at byte " + std::to_string(source.written);
        const std::string cause = WhyWriteFailed(writePath_);
        if (!cause.empty()) what += ": " + cause;
        return Fail(place(source.name), what, result);
    }
    source.written += got;
    if (progress_) progress_->Advance(got);
    return kExitOk;
}

int Packer::Run(Sources& sources, bool interleave, uint64_t total) {
    std::string reason;
    const int32_t created = writer_.Create(*tool_.module(), writePath_, &reason);
    if (QLX_FAILED(created)) return Fail(place(), reason, created);
    progress_ = std::make_unique<Progress>("packing", total, tool_.quiet());
    int status = kExitOk;
    if (interleave) {
        // Every entry is added before any byte is written, then each gets a
        // piece in turn, so the data records alternate in the file.
        for (size_t i = 0; i < sources.size() && status == kExitOk; ++i) {
            status = OpenInput(*sources[i]);
            if (status == kExitOk) status = OpenEntry(*sources[i]);
        }
        for (bool pending = status == kExitOk; pending && status == kExitOk;) {
            pending = false;
            for (auto& source : sources) {
                if (source->done) continue;
                if ((status = CopyPiece(*source, kInterleavePiece)) != kExitOk) break;
                pending = pending || !source->done;
            }
        }
    } else {
        // One input open at a time, however many there are.
        for (size_t i = 0; i < sources.size() && status == kExitOk; ++i) {
            Source& source = *sources[i];
            if ((status = OpenInput(source)) != kExitOk || (status = OpenEntry(source)) != kExitOk) break;
            while (!source.done && status == kExitOk) status = CopyPiece(source, kPlainPiece);
            source.input.Close();
            // The writer keeps the container open for the rest.
            source.entry.Release();
        }
    }
    progress_.reset();
    // The container writes its directory and clean flag when the last file
    // object lets go of it.
    for (auto& source : sources) source->entry.Release();
    writer_.Close();
    return status;
}

// The module reports no failure of its final flush, so what counts is what
// a reader finds afterwards.
bool Packer::Survey(Sources& sources) {
    ContainerSession session(*tool_.module(), writePath_);
    if (!session.OpenQuietly()) return false;
    for (auto& source : sources) {
        EntryFile entry;
        if (!source->added || QLX_FAILED(session.OpenEntryQuietly(source->name, &entry))) continue;
        source->found = QLX_SUCCEEDED(entry.Size(&source->onDisk));
    }
    return true;
}

bool Complete(const Source& source) { return source.done && source.found && source.onDisk == source.written; }

std::string NameList(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size() && i < kNamesListed; ++i) text += (i ? ", " : "") + names[i];
    if (names.size() > kNamesListed) text += " and " + std::to_string(names.size() - kNamesListed) + " more";
    return text;
}

// "complete: 'a', 'b'; cut short: 'c' at byte 1000, before the end of its
// input; not packed: 'd'".
std::string Summary(const Sources& sources) {
    std::vector<std::string> complete, cut, missing;
    for (const auto& source : sources) {
        const std::string name = QuotedName(source->name);
        if (Complete(*source))
            complete.push_back(name);
        else if (source->added)
            cut.push_back(name + " at byte " + std::to_string(source->found ? source->onDisk : 0) +
                          (source->done ? " of " + std::to_string(source->written) : ", before the end of its input"));
        else
            missing.push_back(name);
    }
    std::string text;
    auto add = [&text](const char* label, const std::vector<std::string>& names) {
        if (names.empty()) return;
        text += (text.empty() ? "" : "; ") + std::string(label) + NameList(names);
    };
    add("complete: ", complete);
    add("cut short: ", cut);
    add("not packed: ", missing);
    return text;
}

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
    if (fate.kept) line += readable ? " (" + Summary(sources) + ")" : " (it cannot be read back)";
    return FailPlain(place, line);
}

int RunPack(const Args& args, Tool& tool) {
    const char* cmd = kPackCommand.name;
    if (args.positionals.size() < 2) return UsageError(cmd, "needs OUT.cnt and at least one FILE");
    const std::string out = args.positionals[0];
    std::vector<GivenInput> given;
    std::string reason;
    if (!GivenInputs(args, 1, &given, &reason)) return UsageError(cmd, reason);
    size_t stdinCount = 0;
    for (const GivenInput& input : given) {
        if (input.path != "-") continue;
        if (!input.named) return UsageError(cmd, "standard input needs --name");
        if (++stdinCount > 1) return UsageError(cmd, "standard input can be read only once");
    }
    const bool interleave = args.Has("interleave");

    std::string urlPath;
    if (!UrlContainerPath(out, &urlPath, &reason)) return Fail(Place{out, {}}, reason, RES_INVALID_PATH);
    std::vector<PackInput> inputs;
    if (ListPackInputs(given, out, &inputs) != kExitOk) return kExitFailure;
    Sources sources;
    std::set<std::string> names;
    uint64_t total = 0;
    bool sized = true;
    for (PackInput& input : inputs) {
        auto source = std::make_unique<Source>();
        source->path = std::move(input.path);
        source->name = std::move(input.name);
        if (!UsableEntryName(urlPath, source->name, &reason))
            return Fail(Place{out, source->name}, reason, E_INVALIDARG);
        if (!names.insert(source->name).second)
            return Fail(Place{out, source->name}, "two files would make entries of this name", E_INVALIDARG);
        if (source->path != "-" && SameFile(source->path, out))
            return Fail(Place{out, {}}, "is also an input file", E_INVALIDARG);
        total += input.size;
        sized = sized && input.sized;
        sources.push_back(std::move(source));
    }
    // Extracted, "a" and "a/b" could not both be made: one name would be a
    // file and a directory at once.
    for (const auto& source : sources) {
        const std::string& name = source->name;
        for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
            if (names.count(name.substr(0, slash)))
                return Fail(Place{out, name.substr(0, slash)},
                            "would be both a file and the directory of " + QuotedName(name), E_INVALIDARG);
    }
    if (interleave && !EnoughDescriptors(sources.size(), &reason)) return FailPlain(Place{out, {}}, reason);
    if (!tool.module()) return kExitFailure;

    PackTarget target;
    const int32_t prepared = target.Prepare(out, args.Has("force"), &reason);
    if (QLX_FAILED(prepared)) return Fail(Place{out, {}}, reason, prepared);

    Packer packer(tool, out, target.writePath());
    const int status = packer.Run(sources, interleave, sized ? total : Progress::kUnknownTotal);
    const bool readable = packer.Survey(sources);
    return Conclude(Place{out, {}}, target, sources, status, readable);
}

}  // namespace

const Command kPackCommand = {
    "pack", "make a new container from files", kHelp,
    {{"force", 'f', false}, {"interleave", 0, false}, {"name", 0, true}}, RunPack,
};

}  // namespace cont
