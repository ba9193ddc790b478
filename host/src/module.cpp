#include <contfs/module.h>
#include <contfs/module_lookup.h>
#include <dlfcn.h>

namespace contfs {

namespace {

// An address in this library, which lies in the program or shared object
// it is linked into.
void Anchor() {}

}  // namespace

Result Module::LoadFound(const std::vector<std::string>& places, std::string* why) {
    std::string path, reason;
    if (!FindModule(CodeDirectory(reinterpret_cast<const void*>(&Anchor)), places, &path, &reason)) {
        if (why) *why = reason;
        return RES_OPEN_FAILED;
    }
    return Load(path, why);
}

bool Module::Unload() {
    plugin_.Reset();
    fileSystem_.Reset();
    if (!handle_) return true;
    // A host unloads the module only once no object of it is alive.
    if (!canUnload_ || canUnload_() != S_OK) return false;
    dlclose(handle_);
    handle_ = nullptr;
    canUnload_ = nullptr;
    return true;
}

Result Module::Refuse(Result result, const std::string& reason, std::string* why) {
    if (why) *why = "module " + path_ + " " + reason;
    // Nothing of it was handed out yet, so it can go at once.
    plugin_.Reset();
    fileSystem_.Reset();
    if (handle_ && (!canUnload_ || canUnload_() == S_OK)) {
        dlclose(handle_);
        handle_ = nullptr;
    }
    return result;
}

Result Module::Load(const std::string& path, std::string* why) {
    if (handle_ && !Unload()) {
        if (why) *why = "module " + path_ + " still has live objects and cannot be replaced";
        return RES_UNEXPECTED;
    }
    path_ = path;
    // dlopen searches the library path for a bare name; a module is always
    // named by its file.
    const std::string openPath = path.find('/') == std::string::npos ? "./" + path : path;
    handle_ = dlopen(openPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* reason = dlerror();
        if (why) *why = "cannot load module " + path + ": " + (reason ? reason : "unknown reason");
        return RES_OPEN_FAILED;
    }
    auto create = reinterpret_cast<QLXCreateInstanceFn>(dlsym(handle_, "QLXCreateInstance"));
    canUnload_ = reinterpret_cast<CanUnloadFn>(dlsym(handle_, "CanUnload"));
    if (!create || !canUnload_ || !dlsym(handle_, "QLXShutdown"))
        return Refuse(E_NOINTERFACE, "lacks the exports of a plug-in", why);
    Ref<IUnknown> instance;
    const int32_t created = create(instance.Receive());
    if (QLX_FAILED(created) || !instance)
        return Refuse(QLX_FAILED(created) ? created : E_POINTER, "made no plug-in object", why);
    plugin_ = Query<IQLXPlugin>(instance.get(), IID_IQLXPlugin);
    fileSystem_ = Query<IQLXFileSystemObject>(instance.get(), IID_IQLXFileSystemObject);
    instance.Reset();
    if (!plugin_ || !fileSystem_) return Refuse(E_NOINTERFACE, "does not answer the plug-in interfaces", why);
    const char* protocol = nullptr;
    const char* shortName = nullptr;
    if (QLX_FAILED(fileSystem_->DescribeFileSystem(&protocol, &shortName)) || !shortName ||
        std::string(shortName) != "cont")
        return Refuse(RES_INVALID_PROTOCOL, "does not serve cont URLs", why);
    return S_OK;
}

Result Module::NewFileObject(Ref<IUnknown>* out) {
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

}  // namespace contfs
