#include <contfs/container_url.h>
#include <contfs/container_writer.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace contfs {

namespace {

// The module empties the file it opens for writing; only a missing or an
// empty file may be handed to it. With `create`, a missing file is created
// (and `created` says so).
Result Claim(const std::string& path, bool create, bool* created, std::string* why) {
    struct stat existing;
    if (stat(path.c_str(), &existing) == 0) {
        if (S_ISREG(existing.st_mode) && existing.st_size == 0) return S_OK;
        if (why) *why = S_ISREG(existing.st_mode) ? "exists and holds data; a new container would empty it"
                                                  : "exists and is not a regular file";
        return E_ACCESSDENIED;
    }
    const int missing = errno;
    if (missing != ENOENT) {
        if (why) *why = std::string("cannot look at the path: ") + std::strerror(missing);
        return QLXResultFromPlatformError(missing);
    }
    if (!create) return S_OK;
    // Exclusive, so that a file that appears meanwhile is not taken over.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int code = errno;
        if (why) *why = std::string("cannot create the container: ") + std::strerror(code);
        return code == EEXIST ? E_ACCESSDENIED : QLXResultFromPlatformError(code);
    }
    close(fd);
    *created = true;
    return S_OK;
}

bool IsEmptyFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0;
}

// Takes back a file Claim created, when nothing was written to it.
void Unclaim(const std::string& path) {
    if (IsEmptyFile(path)) unlink(path.c_str());
}

// The module refuses a writer while another program holds the file, and a
// program that looks for the new container (a follower polling for it, a
// listing) may open the still empty file just then. An empty file is no
// container yet, so such a reader lets go of it at once: the open for
// writing is tried again for a while before the refusal stands, rather than
// a recording failing at its start.
template <class Open>
Result OpenWhileEmpty(const std::string& path, Open&& open) {
    constexpr auto kPatience = std::chrono::seconds(2);
    const auto until = std::chrono::steady_clock::now() + kPatience;
    Result result = open();
    while (result.code() == E_ACCESSDENIED && IsEmptyFile(path) && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        result = open();
    }
    return result;
}

}  // namespace

Result ContainerWriter::Begin(const std::string& path, std::string* why) {
    Close();
    std::string reason;
    if (!UrlContainerPath(path, &urlPath_, &reason)) {
        if (why) *why = reason;
        urlPath_.clear();
        return RES_INVALID_PATH;
    }
    return S_OK;
}

Result ContainerWriter::Create(Module& module, const std::string& path, std::string* why) {
    const Result taken = Begin(path, why);
    if (taken.failed()) return taken;
    bool created = false;
    const Result claimed = Claim(urlPath_, false, &created, why);
    if (claimed.failed()) return claimed;
    module_ = &module;
    return S_OK;
}

Result ContainerWriter::Append(Module& module, const std::string& path, std::string* why) {
    const Result taken = Begin(path, why);
    if (taken.failed()) return taken;
    struct stat existing;
    bool created = false;
    if (stat(urlPath_.c_str(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode)) {
            if (why) *why = "exists and is not a regular file";
            return E_ACCESSDENIED;
        }
    } else {
        const Result claimed = Claim(urlPath_, true, &created, why);
        if (claimed.failed()) return claimed;
    }
    // Without an entry name the holder adds nothing; the module answers it
    // with a failure all the same, and holds the container.
    const Result result = holder_.Open(module, MakeContUrl(urlPath_, ""), WriteAccess | AppendAccess);
    if (holder_.HoldsContainer()) {
        module_ = &module;
        started_ = true;
        appending_ = true;
        made_ = created;
        return S_OK;
    }
    if (why) {
        switch (result.code()) {
            case E_ACCESSDENIED:
                *why = "cannot open the container for adding: no access, or open in another program";
                break;
            case RES_BAD_FORMAT: *why = "not a container this module can add to"; break;
            default: *why = "cannot read the container's directory"; break;
        }
    }
    holder_.Release();
    if (created) Unclaim(urlPath_);
    return result;
}

Result ContainerWriter::AddEntry(const std::string& name, EntryFile* file, std::string* why) {
    if (!module_) return RES_UNEXPECTED;
    std::string reason;
    if (!UrlCanName(urlPath_, name, &reason)) {
        if (why) *why = reason;
        return E_INVALIDARG;
    }
    const std::string url = MakeContUrl(urlPath_, name);
    const uint32_t access = WriteAccess | (gather_ ? uint32_t{GatherAccess} : 0u);
    if (!started_) return Start(url, access, file, why);
    // A file object from the holder's pool joins the container it holds.
    return file->OpenBeside(holder_, url, appending_ ? access | AppendAccess : access);
}

Result ContainerWriter::Holds(const std::string& name, bool* holds) {
    *holds = false;
    if (!appending_) return RES_UNEXPECTED;
    return holder_.Exists(MakePlainContUrl(urlPath_, name), holds);
}

Result ContainerWriter::Remove(const std::string& name) {
    if (!appending_) return RES_UNEXPECTED;
    EntryFile old;
    const Result opened = old.OpenBeside(holder_, MakeContUrl(urlPath_, name), ReadAccess);
    return opened.failed() ? opened : old.Remove();
}

Result ContainerWriter::Start(const std::string& url, uint32_t access, EntryFile* file, std::string* why) {
    bool created = false;
    Result result = Claim(urlPath_, true, &created, why);
    if (result.failed()) return result;
    result = OpenWhileEmpty(urlPath_, [&] { return file->Open(*module_, url, access); });
    if (result.ok()) {
        // Without an entry name the holder joins the container without an
        // entry of its own, which the module answers with a failure all
        // the same.
        const Result held = holder_.OpenBeside(*file, MakeContUrl(urlPath_, ""), ReadAccess);
        if (held.ok() || holder_.HoldsContainer()) {
            started_ = true;
            return S_OK;
        }
        result = held;
    }
    file->Release();
    holder_.Release();
    if (created) Unclaim(urlPath_);
    return result;
}

Result ContainerWriter::Sync() {
    if (!module_) return RES_UNEXPECTED;
    if (!started_) {
        // Before the first entry the file is made now, and the module's
        // Sync writes the header and directory of a container of no
        // entries into it: an empty file would be no container.
        bool created = false;
        Result result = Claim(urlPath_, true, &created, nullptr);
        if (result.failed()) return result;
        // Without an entry name the holder adds nothing; the module answers
        // it with a failure all the same, and holds the container.
        result = OpenWhileEmpty(urlPath_, [&] {
            const Result opened = holder_.Open(*module_, MakeContUrl(urlPath_, ""), WriteAccess);
            return holder_.HoldsContainer() ? Result(S_OK) : opened;
        });
        if (!holder_.HoldsContainer()) {
            holder_.Release();
            if (created) Unclaim(urlPath_);
            return result.failed() ? result : Result(RES_UNEXPECTED);
        }
        started_ = true;
    }
    return holder_.Sync();
}

Result ContainerWriter::Inspect(Inspection* out) {
    if (!started_) return E_NOINTERFACE;
    return holder_.Inspect(out);
}

void ContainerWriter::Close() {
    // A file made by Append that nothing reached goes again, while the
    // container is still held: no other writer can have taken it up since.
    if (made_) Unclaim(urlPath_);
    made_ = false;
    holder_.Release();
    module_ = nullptr;
    started_ = false;
    appending_ = false;
}

}  // namespace contfs
