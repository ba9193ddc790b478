// The module loaded the way a player loads it: dlopen, the three exports by
// name, one plug-in object, and a new file object per URL.
#ifndef CONTFS_MODULE_H
#define CONTFS_MODULE_H

#include <contfs/ref.h>
#include <contfs/result.h>
#include <qlx/interfaces.h>

#include <string>
#include <vector>

namespace contfs {

class Module {
public:
    Module() = default;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    // Unloads the module when it says it can be.
    ~Module() { Unload(); }

    // Loads the module file at `path` (a bare name is taken in the current
    // directory, never searched for) and makes its plug-in object.
    // RES_OPEN_FAILED when it cannot be loaded, E_NOINTERFACE when it is no
    // plug-in, RES_INVALID_PROTOCOL when it does not serve "cont" URLs, each
    // with a one-line reason in `why` when given.
    Result Load(const std::string& path, std::string* why = nullptr);

    // Loads the module every host finds (module_lookup.h): $CONT_MODULE
    // when it is set and not empty, else the module installed with this
    // library, which the CMake package (contfs::host) names to the
    // compiler as CONTFS_INSTALLED_MODULE; with pkg-config, define it
    // yourself (-DCONTFS_INSTALLED_MODULE="\"$(pkg-config --variable=module
    // contfs)\""). Without it only $CONT_MODULE is looked at.
    Result Load(std::string* why = nullptr) {
#ifdef CONTFS_INSTALLED_MODULE
        return LoadFound({CONTFS_INSTALLED_MODULE}, why);
#else
        return LoadFound({}, why);
#endif
    }

    // $CONT_MODULE when it is set and not empty, else the first of
    // `places` that exists (absolute, or relative to the directory of the
    // program or shared object this library is linked into), loaded as
    // Load(path) loads it. RES_OPEN_FAILED, with the places looked at in
    // `why`, when there is none.
    Result LoadFound(const std::vector<std::string>& places, std::string* why = nullptr);

    // Releases the plug-in and unloads the module. False when the module
    // still has live objects (it then stays loaded): every file object,
    // enumerator and container must be released first.
    bool Unload();

    // A new file object (its IUnknown, one reference for the caller).
    Result NewFileObject(Ref<IUnknown>* out);

    // The plug-in's description and version.
    bool Describe(std::string* description, uint32_t* version);

    const std::string& path() const { return path_; }
    bool loaded() const { return handle_ != nullptr; }

private:
    Result Refuse(Result result, const std::string& reason, std::string* why);

    void* handle_ = nullptr;
    std::string path_;
    CanUnloadFn canUnload_ = nullptr;
    Ref<IQLXFileSystemObject> fileSystem_;
    Ref<IQLXPlugin> plugin_;
};

}  // namespace contfs

#endif
