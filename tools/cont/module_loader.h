// Finding and loading contfs.so the way a player does: dlopen, the three
// exports by name, one plug-in object, and a new file object per URL.
#ifndef CONT_MODULE_LOADER_H
#define CONT_MODULE_LOADER_H

#include <qlx/interfaces.h>

#include <string>

#include "host_objects.h"

namespace cont {

class Module {
public:
    Module() = default;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    // Unloads the module when it says it can be.
    ~Module() { Unload(); }

    // Releases the plug-in and unloads the module. False when the module
    // still has live objects (it then stays loaded).
    bool Unload();

    // Loads the module from `path`, or, when it is empty, from $CONT_MODULE,
    // else beside the cont binary, else from the install location relative
    // to it. False with a one-line reason on failure.
    bool Load(const std::string& path, std::string* error);

    // A new file object (its IUnknown, one reference for the caller).
    int32_t NewFileObject(Ref<IUnknown>* out);

    // The plug-in's description and version, for --version.
    bool Describe(std::string* description, uint32_t* version);

    const std::string& path() const { return path_; }

private:
    bool LoadFrom(const std::string& path, std::string* error);

    void* handle_ = nullptr;
    std::string path_;
    CanUnloadFn canUnload_ = nullptr;
    Ref<IQLXFileSystemObject> fileSystem_;
    Ref<IQLXPlugin> plugin_;
};

}  // namespace cont

#endif
