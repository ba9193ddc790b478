// The entry names cont itself can work with, beyond those a URL can carry
// (<contfs/container_url.h>, which this brings in): names that can also be
// the names of files, for extract and pack.
#ifndef CONT_CONT_URL_H
#define CONT_CONT_URL_H

#include <string>

#include "host_library.h"

namespace cont {

// False with a reason when `cont extract` cannot write the entry to a file
// of its name: a relative path of segments joined by single slashes, none
// of them empty, "." or "..", each one a file system takes.
bool ExtractableEntryName(const std::string& name, std::string* reason);

// Both UrlCanName and the above for the container at `path`: the names
// every command of cont can use, and so the only ones `cont pack` makes.
bool UsableEntryName(const std::string& path, const std::string& name, std::string* reason);

}  // namespace cont

#endif
