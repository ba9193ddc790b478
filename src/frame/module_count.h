// ModuleObjectCount: the live plug-in and file objects. The host may unload
// the module once it is 0. File objects may be released on any host thread,
// so the count is atomic.
#ifndef CONTFS_FRAME_MODULE_COUNT_H
#define CONTFS_FRAME_MODULE_COUNT_H

#include "platform/atomic.h"

extern platform::AtomicCount ModuleObjectCount;

#endif
