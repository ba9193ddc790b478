#include "pack/pack_inputs.h"

#include <qlx/result.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <system_error>

#include "cont_url.h"
#include "errors.h"
#include "local_files.h"
#include "progress.h"

namespace cont {

namespace fs = std::filesystem;

namespace {

// The name a directory's entries are put under: its --name, else its last
// component; none for ".", ".." or "/", whose entries are named from
// within.
std::string TreePrefix(const GivenInput& given) {
    if (given.named) return given.name;
    fs::path path = fs::path(given.path).lexically_normal();
    if (path.filename().empty()) path = path.parent_path();
    const std::string last = path.filename().string();
    return last == "." || last == ".." ? std::string() : last;
}

const char* SkippedKind(fs::file_type type) {
    switch (type) {
        case fs::file_type::symlink: return "a symbolic link";
        case fs::file_type::fifo: return "a FIFO";
        case fs::file_type::socket: return "a socket";
        case fs::file_type::block:
        case fs::file_type::character: return "a device";
        default: return "not a regular file";
    }
}

class TreeWalk {
public:
    TreeWalk(const std::string& container, std::vector<PackInput>* inputs) : inputs_(inputs) {
        struct stat st;
        if (stat(container.c_str(), &st) == 0) {
            hasContainer_ = true;
            containerDevice_ = st.st_dev;
            containerInode_ = st.st_ino;
        }
    }

    int Walk(const std::string& dir, const std::string& prefix) {
        std::vector<fs::directory_entry> children;
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) children.push_back(*it);
        if (ec) return Fail(Place{dir, {}}, "cannot read the directory: " + ec.message(), ResultFromErrno(ec.value()));
        std::sort(children.begin(), children.end(),
                  [](const fs::directory_entry& a, const fs::directory_entry& b) { return a.path() < b.path(); });
        for (const fs::directory_entry& child : children) {
            const std::string leaf = child.path().filename().string();
            const std::string path = JoinPath(dir, leaf);
            const std::string name = prefix.empty() ? leaf : prefix + "/" + leaf;
            const fs::file_type type = child.symlink_status(ec).type();
            if (ec)
                return Fail(Place{path, {}}, "cannot look at the file: " + ec.message(), ResultFromErrno(ec.value()));
            if (type == fs::file_type::directory) {
                if (Walk(path, name) != kExitOk) return kExitFailure;
                continue;
            }
            if (type != fs::file_type::regular) {
                std::fprintf(stderr, "cont: %s: %s; skipped\n", Printable(path).c_str(), SkippedKind(type));
                continue;
            }
            struct stat st;
            if (lstat(path.c_str(), &st) != 0)
                return FailPlain(Place{path, {}}, SystemReason("cannot look at the file"));
            if (hasContainer_ && st.st_dev == containerDevice_ && st.st_ino == containerInode_) {
                std::fprintf(stderr, "cont: %s: is the container being made; skipped\n", Printable(path).c_str());
                continue;
            }
            inputs_->push_back(PackInput{path, name, true, static_cast<uint64_t>(st.st_size)});
        }
        return kExitOk;
    }

private:
    std::vector<PackInput>* inputs_;
    bool hasContainer_ = false;
    dev_t containerDevice_ = 0;
    ino_t containerInode_ = 0;
};

}  // namespace

bool GivenInputs(const Args& args, size_t first, std::vector<GivenInput>* inputs, std::string* usage) {
    for (size_t i = first; i < args.positionals.size(); ++i) inputs->push_back(GivenInput{args.positionals[i], {}});
    const std::vector<Args::Given> names = args.All("name");
    if (inputs->size() == 1 && names.size() == 1) {
        inputs->front().name = names.front().value;
        inputs->front().named = true;
        return true;
    }
    for (const Args::Given& name : names) {
        // The FILE that follows it: the positional at `before`, or the first
        // FILE when the --name stands before them all.
        const size_t at = std::max(name.before, first);
        if (at >= args.positionals.size()) {
            *usage = "--name " + name.value + " is followed by no FILE to name";
            return false;
        }
        GivenInput& input = (*inputs)[at - first];
        if (input.named) {
            *usage = "FILE '" + input.path + "' is given two names";
            return false;
        }
        input.name = name.value;
        input.named = true;
    }
    return true;
}

int ListPackInputs(const std::vector<GivenInput>& given, const std::string& container, std::vector<PackInput>* inputs) {
    TreeWalk walk(container, inputs);
    for (const GivenInput& input : given) {
        if (input.path == "-") {
            inputs->push_back(PackInput{input.path, input.name, false, 0});
            continue;
        }
        const PathKind kind = KindOf(input.path);
        if (kind == PathKind::kMissing) return Fail(Place{input.path, {}}, "no such file", RES_OPEN_FAILED);
        if (kind == PathKind::kDirectory) {
            if (walk.Walk(input.path, TreePrefix(input)) != kExitOk) return kExitFailure;
            continue;
        }
        PackInput file{input.path, input.named ? input.name : BaseName(input.path), false, 0};
        file.sized = kind == PathKind::kRegular && FileSizeOf(input.path, &file.size);
        inputs->push_back(std::move(file));
    }
    return kExitOk;
}

int CheckGivenInputs(const char* command, const Args& args, std::vector<GivenInput>* given) {
    std::string reason;
    if (!GivenInputs(args, 1, given, &reason)) return UsageError(command, reason);
    size_t stdinCount = 0;
    for (const GivenInput& input : *given) {
        if (input.path != "-") continue;
        if (!input.named) return UsageError(command, "standard input needs --name");
        if (++stdinCount > 1) return UsageError(command, "standard input can be read only once");
    }
    return kExitOk;
}

int CollectSources(const std::string& out, const std::vector<GivenInput>& given, Sources* sources, uint64_t* total) {
    std::string reason, urlPath;
    if (!UrlContainerPath(out, &urlPath, &reason)) return Fail(Place{out, {}}, reason, RES_INVALID_PATH);
    std::vector<PackInput> inputs;
    if (ListPackInputs(given, out, &inputs) != kExitOk) return kExitFailure;
    std::set<std::string> names;
    *total = 0;
    bool sized = true;
    for (PackInput& input : inputs) {
        auto source = std::make_unique<Source>();
        source->path = std::move(input.path);
        source->name = std::move(input.name);
        source->streamed = !input.sized;
        if (!UsableEntryName(urlPath, source->name, &reason))
            return Fail(Place{out, source->name}, reason, E_INVALIDARG);
        if (!names.insert(source->name).second)
            return Fail(Place{out, source->name}, "two files would make entries of this name", E_INVALIDARG);
        if (source->path != "-" && SameFile(source->path, out))
            return Fail(Place{out, {}}, "is also an input file", E_INVALIDARG);
        *total += input.size;
        sized = sized && input.sized;
        sources->push_back(std::move(source));
    }
    // Extracted, "a" and "a/b" could not both be made: one name would be a
    // file and a directory at once.
    for (const auto& source : *sources) {
        const std::string& name = source->name;
        for (size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1))
            if (names.count(name.substr(0, slash)))
                return Fail(Place{out, name.substr(0, slash)},
                            "would be both a file and the directory of " + QuotedName(name), E_INVALIDARG);
    }
    if (!sized) *total = Progress::kUnknownTotal;
    return kExitOk;
}

}  // namespace cont
