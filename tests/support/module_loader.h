// Loads the built contfs.so the way a host does: dlopen, then the three
// exports by name. Nothing else of the module is visible.
#ifndef CONTFS_TESTS_SUPPORT_MODULE_LOADER_H
#define CONTFS_TESTS_SUPPORT_MODULE_LOADER_H

#include <dlfcn.h>
#include <qlx/interfaces.h>

#include <stdexcept>
#include <string>

namespace host {

class LoadedModule {
public:
    explicit LoadedModule(const char* path = CONTFS_MODULE_PATH) {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!handle) throw std::runtime_error(std::string("dlopen: ") + dlerror());
        createInstance = reinterpret_cast<QLXCreateInstanceFn>(dlsym(handle, "QLXCreateInstance"));
        shutdown = reinterpret_cast<QLXShutdownFn>(dlsym(handle, "QLXShutdown"));
        canUnload = reinterpret_cast<CanUnloadFn>(dlsym(handle, "CanUnload"));
        if (!createInstance || !shutdown || !canUnload) throw std::runtime_error("module lacks an export");
    }
    ~LoadedModule() {
        if (handle) dlclose(handle);
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    // A file object from a fresh plug-in object (the plug-in is released).
    IUnknown* NewFileObject() {
        IUnknown* plugin = nullptr;
        if (createInstance(&plugin) != S_OK) return nullptr;
        IQLXFileSystemObject* fs = nullptr;
        IUnknown* file = nullptr;
        if (plugin->QueryInterface(IID_IQLXFileSystemObject, reinterpret_cast<void**>(&fs)) == S_OK) {
            fs->CreateFileObject(&file);
            fs->Release();
        }
        plugin->Release();
        return file;
    }

    void* handle = nullptr;
    QLXCreateInstanceFn createInstance = nullptr;
    QLXShutdownFn shutdown = nullptr;
    CanUnloadFn canUnload = nullptr;
};

// Typed QueryInterface.
template <class T>
T* Query(IUnknown* object, const QLXGUID& iid) {
    void* out = nullptr;
    if (object->QueryInterface(iid, &out) != S_OK) return nullptr;
    return static_cast<T*>(out);
}

}  // namespace host

#endif
