// The FUSE side of `cont mount`: the kernel's requests answered from a
// MountView, through libfuse's low-level interface.
//
// Low-level rather than the path-based high-level interface: node numbers
// here are the view's own, stable across readings of a changing
// container; a read is answered straight from the module's buffer with no
// copy in between; every reply says, per request, that no attribute may
// be cached (a container being written changes under the mount); and each
// open says whether the pages the kernel holds are still good. The view is
// used from the one thread that runs the loop, as the module's registry
// of open containers asks.
#ifndef CONT_MOUNT_FS_H
#define CONT_MOUNT_FS_H

#include <string>

#include "mount/mount_view.h"

namespace cont {

// Mounts `view` read-only on `mountPoint` and answers requests until the
// mount is taken away or the process is asked to stop (SIGINT, SIGTERM,
// SIGHUP); in the background unless `foreground`. kExitFailure, with the
// reason printed, when the mount cannot be made.
int ServeMount(MountView& view, const std::string& mountPoint, bool foreground);

}  // namespace cont

#endif
