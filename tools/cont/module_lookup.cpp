#include "module_lookup.h"

#include <contfs/module_lookup.h>

namespace cont {

bool FindModule(const std::string& given, std::string* path, std::string* error) {
    if (!given.empty()) {
        *path = given;
        return true;
    }
    // Beside the binary in the build tree; relative to it once installed.
    const std::string own = contfs::CodeDirectory(reinterpret_cast<const void*>(&FindModule));
    if (contfs::FindModule(own, {"contfs.so", CONT_MODULE_FROM_BIN}, path, error)) return true;
    *error += " or give --module PATH";
    return false;
}

}  // namespace cont
