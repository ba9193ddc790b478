#include "shared_module.h"

#include <contfs/module_lookup.h>

#include <mutex>

#include "debug_category.h"

namespace contsrc {

contfs::Module* SharedModule(std::string* why) {
    static std::mutex lock;
    static contfs::Module module;
    std::lock_guard<std::mutex> hold(lock);
    if (module.loaded()) return &module;
    std::string path;
    const std::string own = contfs::CodeDirectory(reinterpret_cast<const void*>(&SharedModule));
    if (!contfs::FindModule(own, {CONTSRC_MODULE_FROM_BUILD, CONTSRC_MODULE_FROM_INSTALL}, &path, why)) return nullptr;
    if (module.Load(path, why).failed()) return nullptr;
    GST_INFO("loaded the module %s", path.c_str());
    return &module;
}

}  // namespace contsrc
