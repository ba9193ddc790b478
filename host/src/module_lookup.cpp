#include <contfs/module_lookup.h>

#include <dlfcn.h>
#include <link.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace contfs {

namespace fs = std::filesystem;

const char kModuleVariable[] = "CONT_MODULE";

std::string CodeDirectory(const void* address) {
    Dl_info info = {};
    struct link_map* map = nullptr;
    if (!dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) || !map) return {};
    // The program itself has an empty name in the link map, and dladdr
    // gives its argv[0], which may be relative to a directory left since.
    const fs::path file = map->l_name[0] ? fs::path(map->l_name) : fs::path("/proc/self/exe");
    std::error_code ec;
    const fs::path resolved = fs::canonical(file, ec);
    return ec ? std::string() : resolved.parent_path().string();
}

bool FindModule(const std::string& from, const std::vector<std::string>& places, std::string* path,
                std::string* why) {
    if (const char* named = std::getenv(kModuleVariable); named && *named) {
        *path = named;
        return true;
    }
    std::string looked;
    std::error_code ec;
    for (const std::string& place : places) {
        // A place relative to a directory no one could tell is no place.
        if (from.empty() && !fs::path(place).is_absolute()) continue;
        const fs::path candidate = (fs::path(place).is_absolute() ? fs::path(place) : fs::path(from) / place)
                                       .lexically_normal();
        if (fs::exists(candidate, ec)) {
            *path = candidate.string();
            return true;
        }
        looked += (looked.empty() ? "" : ", ") + candidate.string();
    }
    if (why)
        *why = "cannot find the module (looked at " + (looked.empty() ? std::string("nothing") : looked) +
               "); set " + kModuleVariable + " to its path";
    return false;
}

}  // namespace contfs
