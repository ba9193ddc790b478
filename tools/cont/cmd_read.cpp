// cont cat and cont extract: entry bytes out of a container.
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "container_session.h"
#include "errors.h"
#include "local_files.h"
#include "progress.h"
#include "standard_output.h"

namespace cont {

namespace {

const char kCatHelp[] =
    "Usage: cont cat [--offset N] [--length N] C.cnt ENTRY\n"
    "Writes the entry's bytes to standard output.\n"
    "\n"
    "  --offset N      start N bytes into the entry (suffixes k, M, G)\n"
    "  --length N      write at most N bytes\n";

const char kExtractHelp[] =
    "Usage: cont extract [-C DIR] C.cnt [ENTRY...]\n"
    "Writes the named entries (all of them when none is named) to files of the\n"
    "same names, replacing files that exist.\n"
    "\n"
    "  -C, --directory DIR   write into DIR (made if missing) instead of the\n"
    "                        current directory\n";

// Copies `file` from its position up to `end` into `out`.
int CopyOut(ContainerSession& session, EntryFile& file, const std::string& name, uint64_t end, OutputFile& out,
            const std::string& outName, Progress& progress) {
    return session.ReadThrough(file, name, end, [&](const std::vector<uint8_t>& piece) {
        std::string reason;
        if (!out.Write(piece.data(), piece.size(), &reason)) {
            FailPlain(Place{outName, {}}, "write failed: " + reason);
            return false;
        }
        progress.Advance(piece.size());
        return true;
    });
}

int RunCat(const Args& args, Tool& tool) {
    const char* cmd = kCatCommand.name;
    if (args.positionals.size() != 2) return UsageError(cmd, "needs a container and one entry");
    uint64_t offset = 0;
    uint64_t length = UINT64_MAX;
    if (const std::string* v = args.Value("offset"); v && !ParseByteCount(*v, &offset))
        return UsageError(cmd, "--offset needs a byte count, not '" + *v + "'");
    if (const std::string* v = args.Value("length"); v && !ParseByteCount(*v, &length))
        return UsageError(cmd, "--length needs a byte count, not '" + *v + "'");
    if (!tool.module()) return kExitFailure;

    ContainerSession session(*tool.module(), args.positionals[0]);
    const std::string& name = args.positionals[1];
    int status = session.Open();
    if (status != kExitOk) return status;
    EntryFile entry;
    if ((status = session.OpenEntry(name, &entry)) != kExitOk) return status;
    uint64_t size = 0;
    int32_t result = entry.Size(&size);
    if (QLX_FAILED(result)) return Fail(session.place(name), "cannot stat the entry", result);
    if (offset > size)
        return Fail(session.place(name),
                    "offset " + std::to_string(offset) + " lies past the end (" + std::to_string(size) + " bytes)",
                    E_INVALIDARG);
    if (offset != 0 && QLX_FAILED(result = entry.Seek(offset)))
        return Fail(session.place(name), "cannot seek to byte " + std::to_string(offset), result);
    const uint64_t end = size - offset < length ? size : offset + length;

    Progress progress("reading", end - offset, tool.quiet());
    // A failed write to standard output is reported once, as the command
    // ends.
    return session.ReadThrough(entry, name, end, [&](const std::vector<uint8_t>& piece) {
        std::string reason;
        if (!WriteOut(piece.data(), piece.size(), &reason)) return false;
        progress.Advance(piece.size());
        return true;
    });
}

// An entry name that would write outside the target directory is refused;
// the names come from the container, not from the user.
bool SafeFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

int RunExtract(const Args& args, Tool& tool) {
    if (args.positionals.empty()) return UsageError(kExtractCommand.name, "needs a container");
    const std::string* dirOption = args.Value("directory");
    const std::string dir = dirOption ? *dirOption : std::string();
    if (dirOption && dir.empty()) return UsageError(kExtractCommand.name, "-C needs a directory");
    if (!tool.module()) return kExitFailure;

    ContainerSession session(*tool.module(), args.positionals[0]);
    int status = session.Open();
    if (status != kExitOk) return status;
    std::vector<std::string> names(args.positionals.begin() + 1, args.positionals.end());
    if (names.empty() && (status = session.ListEntries(&names)) != kExitOk) return status;

    // Every name is checked before any file is written.
    std::set<std::string> seen;
    for (const std::string& name : names) {
        if (!SafeFileName(name))
            return Fail(session.place(name), "not a plain file name; refusing to extract it", E_INVALIDARG);
        if (!seen.insert(name).second) return UsageError(kExtractCommand.name, "entry '" + name + "' named twice");
    }
    std::string reason;
    if (!dir.empty() && !MakeDirectories(dir, &reason))
        return FailPlain(Place{dir, {}}, "cannot make the directory: " + reason);

    for (const std::string& name : names) {
        EntryFile entry;
        if ((status = session.OpenEntry(name, &entry)) != kExitOk) return status;
        uint64_t size = 0;
        const int32_t result = entry.Size(&size);
        if (QLX_FAILED(result)) return Fail(session.place(name), "cannot stat the entry", result);
        const std::string target = JoinPath(dir, name);
        OutputFile out;
        if (!out.Open(target, &reason)) return FailPlain(Place{target, {}}, "cannot write: " + reason);
        Progress progress("extracting " + name, size, tool.quiet());
        if ((status = CopyOut(session, entry, name, size, out, target, progress)) != kExitOk) return status;
        if (!out.Finish(&reason)) return FailPlain(Place{target, {}}, "write failed: " + reason);
    }
    return kExitOk;
}

}  // namespace

const Command kCatCommand = {
    "cat", "write one entry's bytes to standard output", kCatHelp,
    {{"offset", 0, true}, {"length", 0, true}}, RunCat,
};
const Command kExtractCommand = {
    "extract", "write entries to files", kExtractHelp, {{"directory", 'C', true}}, RunExtract,
};

}  // namespace cont
