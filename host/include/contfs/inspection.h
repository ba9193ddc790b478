// What the module tells of a container when asked (IQLXContainerInspector):
// its header as it was found, the first damage met, and what recovery
// rebuilt.
#ifndef CONTFS_INSPECTION_H
#define CONTFS_INSPECTION_H

#include <qlx/interfaces.h>
#include <stdint.h>

#include <string>

namespace contfs {

struct Inspection {
    // The header as the container found it when it read the file, before
    // any repair (docs/container-inspector.md, GetHeader).
    uint32_t magic = 0;    // ContainerMagicW7K, ContainerMagicCFS, or another file's first bytes
    uint32_t version = 0;  // of a ".W7K" header
    int32_t clean = -1;    // 1 closed cleanly, 0 not, another byte as found; -1 not read
    std::string title;     // empty when the header could not be read whole

    // The first damage met.
    bool damaged = false;
    uint64_t offset = 0;
    uint32_t part = 0;  // a ContainerPart value
    std::string reason;

    // Recovery, which runs when the container had not been closed cleanly.
    bool recovered = false;
    bool writtenBack = false;
    std::string summary;

    // The latest operation on the container's file that the system refused
    // (GetLastFailure): its error number (errno), 0 when none; what was being
    // done and why, in words ("writing 1048576 bytes at offset 8230: no space
    // left on the device (ENOSPC)").
    int32_t systemError = 0;
    std::string failure;
};

}  // namespace contfs

#endif
