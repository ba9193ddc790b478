#include "module_lookup.h"

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

bool FindModule(const std::string& given, std::string* path, std::string* error) {
    if (!given.empty()) {
        *path = given;
        return true;
    }
    if (const char* env = std::getenv("CONT_MODULE"); env && *env) {
        *path = env;
        return true;
    }
    const fs::path own = OwnDirectory();
    if (own.empty()) {
        *error = "cannot find the directory of the cont binary; give --module PATH";
        return false;
    }
    const fs::path candidates[] = {own / kModuleName, own / CONT_MODULE_FROM_BIN};
    std::error_code ec;
    for (const fs::path& candidate : candidates) {
        if (fs::exists(candidate, ec)) {
            *path = candidate.lexically_normal().string();
            return true;
        }
    }
    *error = "cannot find " + std::string(kModuleName) + " beside cont or in " +
             (own / CONT_MODULE_FROM_BIN).parent_path().lexically_normal().string() +
             "; give --module PATH or set CONT_MODULE";
    return false;
}

}  // namespace cont
