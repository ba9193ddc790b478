#include "module_loader.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace cont {

namespace fs = std::filesystem;

namespace {

const char kModuleName[] = "contfs.so";

// Where cont itself lives, so the module beside it can be found whatever
// the current directory is.
fs::path OwnDirectory() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return self.parent_path();
}

}  // namespace

bool Module::Unload() {
    plugin_.Reset();
    fileSystem_.Reset();
    if (!handle_) return true;
    // A host unloads the module only once no object of it is alive.
    if (!canUnload_ || canUnload_() != S_OK) return false;
    dlclose(handle_);
    handle_ = nullptr;
    return true;
}

bool Module::Load(const std::string& path, std::string* error) {
    if (!path.empty()) return LoadFrom(path, error);
    if (const char* env = std::getenv("CONT_MODULE"); env && *env) return LoadFrom(env, error);

    const fs::path own = OwnDirectory();
    if (own.empty()) {
        *error = "cannot find the directory of the cont binary; give --module PATH";
        return false;
    }
    const fs::path candidates[] = {own / kModuleName, own / CONT_MODULE_FROM_BIN};
    std::error_code ec;
    for (const fs::path& candidate : candidates)
        if (fs::exists(candidate, ec)) return LoadFrom(candidate.lexically_normal().string(), error);
    *error = "cannot find " + std::string(kModuleName) + " beside cont or in " +
             (own / CONT_MODULE_FROM_BIN).parent_path().lexically_normal().string() +
             "; give --module PATH or set CONT_MODULE";
    return false;
}

bool Module::LoadFrom(const std::string& path, std::string* error) {
    path_ = path;
    // dlopen searches the library path for a bare name; a module is always
    // named by its file.
    const std::string openPath = path.find('/') == std::string::npos ? "./" + path : path;
    handle_ = dlopen(openPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        *error = "cannot load module " + path + ": " + (why ? why : "unknown reason");
        return false;
    }
    auto create = reinterpret_cast<QLXCreateInstanceFn>(dlsym(handle_, "QLXCreateInstance"));
    canUnload_ = reinterpret_cast<CanUnloadFn>(dlsym(handle_, "CanUnload"));
    if (!create || !canUnload_ || !dlsym(handle_, "QLXShutdown")) {
        *error = "module " + path + " lacks the exports of a plug-in";
        return false;
    }
    Ref<IUnknown> instance;
    const int32_t created = create(instance.Receive());
    if (QLX_FAILED(created) || !instance) {
        *error = "module " + path + " made no plug-in object";
        return false;
    }
    plugin_ = Query<IQLXPlugin>(instance.get(), IID_IQLXPlugin);
    fileSystem_ = Query<IQLXFileSystemObject>(instance.get(), IID_IQLXFileSystemObject);
    if (!plugin_ || !fileSystem_) {
        *error = "module " + path + " does not answer the plug-in interfaces";
        return false;
    }
    const char* protocol = nullptr;
    const char* shortName = nullptr;
    if (QLX_FAILED(fileSystem_->DescribeFileSystem(&protocol, &shortName)) || !shortName ||
        std::string(shortName) != "cont") {
        *error = "module " + path + " does not serve cont URLs";
        return false;
    }
    return true;
}

int32_t Module::NewFileObject(Ref<IUnknown>* out) {
    if (!fileSystem_) return E_FAIL;
    IUnknown* object = nullptr;
    const int32_t result = fileSystem_->CreateFileObject(&object);
    if (QLX_FAILED(result)) return result;
    if (!object) return E_POINTER;
    *out = Ref<IUnknown>(object);
    return S_OK;
}

bool Module::Describe(std::string* description, uint32_t* version) {
    if (!plugin_) return false;
    int32_t loadMultiple = 0;
    const char* text = nullptr;
    const char* copyright = nullptr;
    const char* moreInfo = nullptr;
    if (QLX_FAILED(plugin_->DescribePlugin(&loadMultiple, &text, &copyright, &moreInfo, version))) return false;
    *description = text ? text : "";
    return true;
}

}  // namespace cont
