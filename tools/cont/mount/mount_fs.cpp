#include "mount/mount_fs.h"

#define FUSE_USE_VERSION 31
#include <fcntl.h>
#include <fuse_lowlevel.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "errors.h"
#include "mount/fuse_access.h"

namespace cont {

namespace {

// The loop's state: the view, and the listing each open directory reads
// from, taken when it was opened so that offsets stay meaningful while
// the container changes.
struct Served {
    MountView& view;
    std::unordered_map<uint64_t, std::vector<DirectoryItem>> listings;
    uint64_t nextListing = 1;
};

Served& ServedOf(fuse_req_t req) { return *static_cast<Served*>(fuse_req_userdata(req)); }

// Every request is answered once; an exception must not cross libfuse's
// C frames. Replies come last in each handler, so nothing was sent yet
// when one is thrown.
template <class Handler>
void Answer(fuse_req_t req, Handler&& handler) {
    try {
        handler();
    } catch (const std::bad_alloc&) {
        fuse_reply_err(req, ENOMEM);
    } catch (...) {
        fuse_reply_err(req, EIO);
    }
}

void Init(void*, fuse_conn_info* connection) {
    // Otherwise the kernel asks for the attributes again before every
    // read, as they are never cached: a round trip per read even when the
    // pages are in its cache. Without it a change of size still drops the
    // cached pages, and so does an open after any change (keep_cache).
    // Bytes rewritten in place while a file stays open are seen by the
    // next open, not by that file.
    connection->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
}

void Lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    Answer(req, [&] {
        fuse_entry_param entry{};
        const int error = ServedOf(req).view.Lookup(parent, name, &entry.attr);
        if (error) return (void)fuse_reply_err(req, error);
        entry.ino = entry.attr.st_ino;
        entry.attr_timeout = 0;
        entry.entry_timeout = 0;
        fuse_reply_entry(req, &entry);
    });
}

void GetAttributes(fuse_req_t req, fuse_ino_t id, fuse_file_info*) {
    Answer(req, [&] {
        struct stat attributes {};
        const int error = ServedOf(req).view.Attributes(id, &attributes);
        if (error) return (void)fuse_reply_err(req, error);
        fuse_reply_attr(req, &attributes, 0);
    });
}

void Open(fuse_req_t req, fuse_ino_t id, fuse_file_info* info) {
    Answer(req, [&] {
        if ((info->flags & O_ACCMODE) != O_RDONLY) return (void)fuse_reply_err(req, EROFS);
        MountView& view = ServedOf(req).view;
        uint64_t handle = 0;
        bool keepCache = false;
        const int error = view.OpenFile(id, &handle, &keepCache);
        if (error) return (void)fuse_reply_err(req, error);
        info->fh = handle;
        info->keep_cache = keepCache ? 1 : 0;
        info->noflush = 1;  // nothing is written
        // An open the caller gave up on meanwhile is never released.
        if (fuse_reply_open(req, info) != 0) view.CloseFile(handle);
    });
}

void Read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* info) {
    Answer(req, [&] {
        ReadPiece piece;
        const uint32_t asked = size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
        const int error = offset < 0 ? EINVAL : ServedOf(req).view.Read(info->fh, offset, asked, &piece);
        if (error) return (void)fuse_reply_err(req, error);
        fuse_reply_buf(req, reinterpret_cast<const char*>(piece.bytes), piece.length);
    });
}

void Release(fuse_req_t req, fuse_ino_t, fuse_file_info* info) {
    Answer(req, [&] {
        ServedOf(req).view.CloseFile(info->fh);
        fuse_reply_err(req, 0);
    });
}

void OpenDirectory(fuse_req_t req, fuse_ino_t id, fuse_file_info* info) {
    Answer(req, [&] {
        Served& served = ServedOf(req);
        std::vector<DirectoryItem> items;
        const int error = served.view.List(id, &items);
        if (error) return (void)fuse_reply_err(req, error);
        const uint64_t handle = served.nextListing++;
        served.listings.emplace(handle, std::move(items));
        info->fh = handle;
        if (fuse_reply_open(req, info) != 0) served.listings.erase(handle);
    });
}

void ReadDirectory(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* info) {
    Answer(req, [&] {
        Served& served = ServedOf(req);
        auto found = served.listings.find(info->fh);
        if (found == served.listings.end()) return (void)fuse_reply_err(req, EBADF);
        const std::vector<DirectoryItem>& items = found->second;
        std::vector<char> buffer(size);
        size_t used = 0;
        // An entry's offset is the position of the next one.
        for (size_t i = offset < 0 ? items.size() : static_cast<size_t>(offset); i < items.size(); ++i) {
            struct stat kind {};
            kind.st_ino = items[i].id;
            kind.st_mode = items[i].directory ? S_IFDIR : S_IFREG;
            const size_t needed = fuse_add_direntry(req, buffer.data() + used, size - used, items[i].name.c_str(),
                                                    &kind, static_cast<off_t>(i + 1));
            if (needed > size - used) break;
            used += needed;
        }
        fuse_reply_buf(req, buffer.data(), used);
    });
}

void ReleaseDirectory(fuse_req_t req, fuse_ino_t, fuse_file_info* info) {
    Answer(req, [&] {
        ServedOf(req).listings.erase(info->fh);
        fuse_reply_err(req, 0);
    });
}

fuse_lowlevel_ops Operations() {
    fuse_lowlevel_ops ops{};
    ops.init = Init;
    ops.lookup = Lookup;
    ops.getattr = GetAttributes;
    ops.open = Open;
    ops.read = Read;
    ops.release = Release;
    ops.opendir = OpenDirectory;
    ops.readdir = ReadDirectory;
    ops.releasedir = ReleaseDirectory;
    return ops;
}

// libfuse's own command line: read-only, the container as the mount's
// source, "fuse.cont" as its type. False when memory runs out.
bool MountArguments(const std::string& container, fuse_args* args) {
    char* options = nullptr;
    const std::string source = "fsname=" + container;
    bool made = fuse_opt_add_arg(args, "cont") == 0 && fuse_opt_add_opt(&options, "ro") == 0 &&
                fuse_opt_add_opt(&options, "default_permissions") == 0 &&
                fuse_opt_add_opt(&options, "subtype=cont") == 0 &&
                fuse_opt_add_opt_escaped(&options, source.c_str()) == 0 && fuse_opt_add_arg(args, "-o") == 0 &&
                fuse_opt_add_arg(args, options) == 0;
    std::free(options);
    return made;
}

// Mounts, goes to the background unless told not to, and answers requests
// until the loop ends; then takes the mount away if it is still there.
int MountAndServe(fuse_session* session, const std::string& mountPoint, bool foreground, const Place& place) {
    // libfuse prints why a mount fails; when the system's set-up is why,
    // cont says how to put it right.
    if (fuse_session_mount(session, mountPoint.c_str()) != 0) {
        const std::string problem = FuseAccessProblem();
        return FailPlain(place, "cannot mount the container here" + (problem.empty() ? "" : ": " + problem));
    }
    int status = kExitOk;
    if (fuse_daemonize(foreground ? 1 : 0) != 0) {
        status = FailPlain(place, "cannot go to the background");
    } else if (const int ended = fuse_session_loop(session); ended < 0) {
        status = FailPlain(place, std::string("the mount stopped: ") + std::strerror(-ended));
    }
    fuse_session_unmount(session);
    return status;
}

}  // namespace

int ServeMount(MountView& view, const std::string& mountPoint, bool foreground) {
    const Place place{mountPoint, {}};
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    if (!MountArguments(view.path(), &args)) {
        fuse_opt_free_args(&args);
        return FailPlain(place, "out of memory");
    }
    Served served{view, {}, 1};
    const fuse_lowlevel_ops ops = Operations();
    fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, &served);
    fuse_opt_free_args(&args);
    if (!session) return FailPlain(place, "cannot start a FUSE session");

    int status = kExitFailure;
    if (fuse_set_signal_handlers(session) != 0) {
        FailPlain(place, "cannot handle signals");
    } else {
        status = MountAndServe(session, mountPoint, foreground, place);
        fuse_remove_signal_handlers(session);
    }
    fuse_session_destroy(session);
    return status;
}

}  // namespace cont
