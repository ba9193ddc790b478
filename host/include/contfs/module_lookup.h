// Where a host finds contfs.so when its user names none. Every host reads
// one environment variable, CONT_MODULE, before anything else; after it,
// each looks in the places it knows relative to its own file (cont beside
// its binary and in the install's lib/contfs/, the GStreamer plug-in from
// its plug-in directory), so that a tree built or installed together finds
// its own module wherever it lies.
#ifndef CONTFS_MODULE_LOOKUP_H
#define CONTFS_MODULE_LOOKUP_H

#include <string>
#include <vector>

namespace contfs {

// "CONT_MODULE": the module's path, for every host.
extern const char kModuleVariable[];

// The directory of the program or shared object holding the code at
// `address` (a function of the caller's own), with symbolic links resolved;
// empty when the system cannot tell.
std::string CodeDirectory(const void* address);

// The module to load: $CONT_MODULE when it is set and not empty (taken as
// it is, whether or not the file exists: loading it says what is wrong);
// else the first of `places` that exists, each relative to the directory
// `from` unless absolute. False with a one-line reason that names where it
// looked.
bool FindModule(const std::string& from, const std::vector<std::string>& places, std::string* path,
                std::string* why);

}  // namespace contfs

#endif
