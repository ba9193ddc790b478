#include "container/container_registry.h"

#include <new>

namespace {

// Built in place and never destroyed; see the header.
template <class T>
class Immortal {
public:
    template <class... Args>
    explicit Immortal(Args... args) {
        new (m_storage) T(args...);
    }
    T& Get() { return *reinterpret_cast<T*>(m_storage); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

// Built at load, emptied at unload.
struct RegistryLifetime {
    RegistryLifetime() {
        ContainerRegistry();
        RegistryLock();
    }
    ~RegistryLifetime() {
        RegistryHold hold;
        ContainerRegistry().RemoveAll();
    }
};

RegistryLifetime g_registryLifetime;

}  // namespace

StringMap& ContainerRegistry() {
    static Immortal<StringMap> registry(kContainerRegistryBlockSize);
    return registry.Get();
}

std::recursive_mutex& RegistryLock() {
    static Immortal<std::recursive_mutex> lock;
    return lock.Get();
}
