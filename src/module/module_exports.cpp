// The module's three exports.
#include "frame/module_count.h"
#include "module/container_file_system.h"

#define QLX_EXPORT extern "C" __attribute__((visibility("default")))

QLX_EXPORT int32_t QLXCreateInstance(IUnknown** out) {
    if (!out) return E_POINTER;
    CContainerFileSystem* plugin = new (std::nothrow) CContainerFileSystem;
    if (!plugin) {
        *out = nullptr;
        return E_OUTOFMEMORY;
    }
    IQLXPlugin* primary = plugin;
    primary->AddRef();
    *out = primary;
    return S_OK;
}

QLX_EXPORT int32_t QLXShutdown(void) { return S_OK; }

QLX_EXPORT int32_t CanUnload(void) { return ModuleObjectCount.load() == 0 ? S_OK : E_FAIL; }
