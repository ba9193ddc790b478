// ModuleObjectCount: the live plug-in, file and container objects. The host
// may unload the module once it is 0. A container counts too: a host may
// still hold one through its enumerator after its last file object is gone,
// and its directory reaches the disk only when it is destroyed. Objects may
// be released on any host thread, so the count is atomic.
#ifndef CONTFS_FRAME_MODULE_COUNT_H
#define CONTFS_FRAME_MODULE_COUNT_H

#include "platform/atomic.h"

extern platform::AtomicCount ModuleObjectCount;

#endif
