// cont pack: a new container holding the given files.
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "cont_url.h"
#include "container_session.h"
#include "entry_file.h"
#include "errors.h"
#include "local_files.h"
#include "progress.h"

namespace cont {

namespace {

const char kHelp[] =
    "Usage: cont pack [--force] [--interleave] [--name NAME] OUT.cnt FILE...\n"
    "Makes a new container OUT.cnt holding each FILE as an entry named after the\n"
    "file's last path component. FILE '-' reads standard input.\n"
    "\n"
    "  --name NAME     the entry name, for a single FILE (needed for '-')\n"
    "  --force         replace OUT.cnt if it exists; without it cont refuses,\n"
    "                  because opening a container for writing empties it\n"
    "  --interleave    write all files at once, in round-robin pieces through one\n"
    "                  file object each, as a player writing several streams does\n";

constexpr uint32_t kPlainPiece = 1u << 20;
constexpr uint32_t kInterleavePiece = 64u << 10;

struct Source {
    std::string path;  // as given; "-" for standard input
    std::string name;  // entry name
    InputFile input;
    EntryFile entry;
    uint64_t written = 0;
    bool done = false;
};

class Packer {
public:
    Packer(Tool& tool, std::string out) : tool_(tool), out_(std::move(out)) {}

    int Run(std::vector<std::unique_ptr<Source>>& sources, bool interleave, uint64_t total);
    // True once the container file was opened for writing, which creates or
    // empties it.
    bool touched() const { return touched_; }

private:
    int OpenEntry(Source& source);
    // Copies one piece; `source.done` once the input is used up.
    int CopyPiece(Source& source, uint32_t piece);
    int Verify(const std::vector<std::unique_ptr<Source>>& sources);

    Tool& tool_;
    std::string out_;
    std::string urlPath_;
    Ref<HostBuffer> buffer_ = NewHostObject<HostBuffer>();
    std::unique_ptr<Progress> progress_;
    bool touched_ = false;
    Source* first_ = nullptr;
};

int Packer::OpenEntry(Source& source) {
    touched_ = true;
    const std::string url = MakeContUrl(urlPath_, source.name);
    // Later entries come from the first one's pool, as a player asks an
    // open file for its siblings.
    const int32_t result = first_ ? source.entry.OpenBeside(first_->entry, url, WriteAccess)
                                  : source.entry.Open(*tool_.module(), url, WriteAccess);
    if (!first_) first_ = &source;
    if (QLX_SUCCEEDED(result)) return kExitOk;
    if (result == E_NOTIMPL) return Fail(Place{out_, {}}, "the module cannot open files yet", result);
    if (result == E_ACCESSDENIED) return Fail(Place{out_, {}}, "cannot create the container", result);
    return Fail(Place{out_, source.name}, "cannot add the entry", result);
}

int Packer::CopyPiece(Source& source, uint32_t piece) {
    std::string reason;
    int32_t result = buffer_->SetSize(piece);
    if (QLX_FAILED(result)) return Fail(Place{out_, source.name}, "cannot make a buffer", result);
    size_t got = 0;
    if (!source.input.Read(buffer_->GetBuffer(), piece, &got, &reason))
        return FailPlain(Place{source.path, {}}, "read failed: " + reason);
    if (got == 0) {
        source.done = true;
        if (source.written != 0) return kExitOk;
        // An empty write still makes the container write its header and the
        // entry's record, so a container of empty files is readable.
    }
    buffer_->SetSize(static_cast<uint32_t>(got));
    result = source.entry.Write(buffer_.get());
    if (QLX_FAILED(result))
        return Fail(Place{out_, source.name}, "write failed at byte " + std::to_string(source.written), result);
    source.written += got;
    if (progress_) progress_->Advance(got);
    return kExitOk;
}

int Packer::Run(std::vector<std::unique_ptr<Source>>& sources, bool interleave, uint64_t total) {
    std::string reason;
    if (!UrlContainerPath(out_, &urlPath_, &reason)) return Fail(Place{out_, {}}, reason, RES_INVALID_PATH);
    if (!tool_.module()) return kExitFailure;
    for (auto& source : sources)
        if (!source->input.Open(source->path, &reason))
            return FailPlain(Place{source->path, {}}, "cannot read: " + reason);

    progress_ = std::make_unique<Progress>("packing", total, tool_.quiet());
    int status = kExitOk;
    if (interleave) {
        // Every entry is added before any byte is written, then each gets a
        // piece in turn, so the data records alternate in the file.
        for (size_t i = 0; i < sources.size() && status == kExitOk; ++i) status = OpenEntry(*sources[i]);
        for (bool pending = status == kExitOk; pending && status == kExitOk;) {
            pending = false;
            for (auto& source : sources) {
                if (source->done) continue;
                if ((status = CopyPiece(*source, kInterleavePiece)) != kExitOk) break;
                pending = pending || !source->done;
            }
        }
    } else {
        for (size_t i = 0; i < sources.size() && status == kExitOk; ++i) {
            Source& source = *sources[i];
            if ((status = OpenEntry(source)) != kExitOk) break;
            while (!source.done && status == kExitOk) status = CopyPiece(source, kPlainPiece);
            // The first file object keeps the container open for the rest;
            // releasing it would end the container and the next open for
            // writing would start it afresh.
            if (i != 0) source.entry.Release();
        }
    }
    progress_.reset();
    // The container writes its directory and clean flag when the last file
    // object lets go of it.
    for (auto& source : sources) source->entry.Release();
    if (status != kExitOk) return status;
    return Verify(sources);
}

// Reads the finished container back and compares every entry's size with
// what was written: the module reports no failure of its final flush.
int Packer::Verify(const std::vector<std::unique_ptr<Source>>& sources) {
    ContainerSession session(*tool_.module(), out_);
    int status = session.Open();
    if (status != kExitOk) return status;
    for (const auto& source : sources) {
        EntryFile entry;
        if ((status = session.OpenEntry(source->name, &entry)) != kExitOk) return status;
        uint64_t size = 0;
        const int32_t result = entry.Size(&size);
        if (QLX_FAILED(result)) return Fail(session.place(source->name), "cannot stat the entry", result);
        if (size != source->written)
            return FailPlain(session.place(source->name), "holds " + std::to_string(size) + " bytes after packing " +
                                                              std::to_string(source->written));
    }
    return kExitOk;
}

int RunPack(const Args& args, Tool& tool) {
    const char* cmd = kPackCommand.name;
    if (args.positionals.size() < 2) return UsageError(cmd, "needs OUT.cnt and at least one FILE");
    const std::string out = args.positionals[0];
    const std::vector<std::string> files(args.positionals.begin() + 1, args.positionals.end());
    const std::string* name = args.Value("name");
    if (name && files.size() != 1) return UsageError(cmd, "--name names the entry of a single FILE");
    if (!name && files[0] == "-") return UsageError(cmd, "standard input needs --name");
    for (const std::string& f : files)
        if (f == "-" && files.size() != 1) return UsageError(cmd, "standard input can only be packed alone");

    std::vector<std::unique_ptr<Source>> sources;
    std::set<std::string> names;
    uint64_t total = 0;
    for (const std::string& f : files) {
        auto source = std::make_unique<Source>();
        source->path = f;
        source->name = name ? *name : BaseName(f);
        std::string reason;
        if (!AddressableEntryName(source->name, &reason)) return Fail(Place{out, source->name}, reason, E_INVALIDARG);
        if (!names.insert(source->name).second)
            return Fail(Place{out, source->name}, "two files would make entries of this name", E_INVALIDARG);
        if (f != "-") {
            const PathKind kind = KindOf(f);
            if (kind == PathKind::kMissing) return Fail(Place{f, {}}, "no such file", RES_OPEN_FAILED);
            if (kind == PathKind::kDirectory) return Fail(Place{f, {}}, "is a directory", RES_OPEN_FAILED);
            uint64_t size = 0;
            if (FileSizeOf(f, &size)) total += size;
            if (SameFile(f, out)) return Fail(Place{out, {}}, "is also an input file", E_INVALIDARG);
        }
        sources.push_back(std::move(source));
    }

    const PathKind outKind = KindOf(out);
    if (outKind == PathKind::kDirectory) return Fail(Place{out, {}}, "is a directory", RES_OPEN_FAILED);
    if (outKind != PathKind::kMissing && !args.Has("force"))
        return Fail(Place{out, {}}, "exists; packing would empty it (use --force to replace it)", E_ACCESSDENIED);

    Packer packer(tool, out);
    const int status = packer.Run(sources, args.Has("interleave"), total);
    // A container that failed half-way is of no use to anyone.
    if (status != kExitOk && packer.touched() && KindOf(out) == PathKind::kRegular) std::remove(out.c_str());
    return status;
}

}  // namespace

const Command kPackCommand = {
    "pack", "make a new container from files", kHelp,
    {{"force", 'f', false}, {"interleave", 0, false}, {"name", 0, true}}, RunPack,
};

}  // namespace cont
