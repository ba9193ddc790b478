// The module-wide registry of open containers: container path -> the
// IContainerFile of the open container under that path. It holds no
// reference; a container takes itself out when it is destroyed.
//
// Containers may be destroyed on any host thread, so every use of the
// registry - lookup, insertion, removal and the search by title that
// iterates it - happens while holding RegistryLock(). The lock is recursive:
// a container released inside a held section may take itself out again.
//
// The map (block size 10, 17 buckets, case-sensitive) is built when the
// module loads and emptied when it unloads. Both objects stay valid for the
// life of the process, so a container destroyed late in tear-down finds an
// empty map instead of a destroyed one.
#ifndef CONTFS_CONTAINER_CONTAINER_REGISTRY_H
#define CONTFS_CONTAINER_CONTAINER_REGISTRY_H

#include <mutex>

#include "util/string_map.h"

constexpr uint32_t kContainerRegistryBlockSize = 10;

StringMap& ContainerRegistry();
std::recursive_mutex& RegistryLock();

// Holds RegistryLock() for a scope.
class RegistryHold {
public:
    RegistryHold() : m_hold(RegistryLock()) {}
    RegistryHold(const RegistryHold&) = delete;
    RegistryHold& operator=(const RegistryHold&) = delete;

private:
    std::lock_guard<std::recursive_mutex> m_hold;
};

#endif
