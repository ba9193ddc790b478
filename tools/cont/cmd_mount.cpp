// cont mount and cont umount: a container's entries as read-only files
// that any program can open and seek in.
#include <string>

#include "commands.h"
#include "errors.h"
#include "mount/mount_fs.h"
#include "mount/mount_point.h"
#include "mount/mount_view.h"

namespace cont {

namespace {

const char kMountHelp[] =
    "Usage: cont mount [-f] C.cnt DIR\n"
    "Shows the container's entries as read-only files under DIR, until\n"
    "'cont umount DIR'. An entry name's '/' make directories. Entries that\n"
    "another program is still writing grow as it writes, and entries it adds\n"
    "appear. Bytes that cannot be read from a damaged entry give an I/O error.\n"
    "\n"
    "  -f, --foreground   stay in the foreground (messages on standard error)\n"
    "                     instead of going to the background once mounted\n";

const char kUmountHelp[] =
    "Usage: cont umount [-z] DIR\n"
    "Ends the mount of a container at DIR. The program serving it then releases\n"
    "the container and exits.\n"
    "\n"
    "  -z, --lazy   take the mount away now even while files under it are open;\n"
    "               it ends once the last of them is closed\n";

int RunMount(const Args& args, Tool& tool) {
    const char* cmd = kMountCommand.name;
    if (args.positionals.size() != 2) return UsageError(cmd, "needs a container and a directory");
    const std::string& container = args.positionals[0];
    const std::string& directory = args.positionals[1];
    const Place at{directory, {}};
    std::string mountPoint, reason;
    if (!ResolveMountPoint(directory, &mountPoint, &reason)) return FailPlain(at, reason);
    if (!MountPointFree(directory, mountPoint, &reason)) return FailPlain(at, "cannot mount here: " + reason);
    Module* module = tool.module();
    if (!module) return kExitFailure;

    MountView view(*module);
    int status = view.Open(container);
    if (status != kExitOk) return status;
    // Every change to the container is looked for through its path, which
    // would then lead back into this very mount.
    if (view.path().compare(0, mountPoint.size() + 1, mountPoint + "/") == 0)
        return FailPlain(Place{container, {}}, "lies under the mount point " + directory + ", which would hide it");

    status = ServeMount(view, mountPoint, args.Has("foreground"));
    view.ReleaseAll();
    if (!module->Unload())
        return FailPlain(Place{container, {}}, "the module still has live objects after the mount ended");
    return status;
}

int RunUmount(const Args& args, Tool&) {
    if (args.positionals.size() != 1) return UsageError(kUmountCommand.name, "needs the directory of a mount");
    const std::string& directory = args.positionals[0];
    std::string mountPoint, reason;
    if (!ResolveMountPoint(directory, &mountPoint, &reason) || !Unmount(mountPoint, args.Has("lazy"), &reason))
        return FailPlain(Place{directory, {}}, "cannot unmount: " + reason);
    return kExitOk;
}

}  // namespace

const Command kMountCommand = {
    "mount", "show the entries as files under a directory (FUSE)", kMountHelp, {{"foreground", 'f', false}},
    RunMount,
};
const Command kUmountCommand = {
    "umount", "end a mount made by cont mount", kUmountHelp, {{"lazy", 'z', false}}, RunUmount, false,
};

}  // namespace cont
