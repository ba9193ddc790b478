// Where cont finds contfs.so when the command line does not say.
#ifndef CONT_MODULE_LOOKUP_H
#define CONT_MODULE_LOOKUP_H

#include <string>

namespace cont {

// `given` when it is not empty, else $CONT_MODULE, else contfs.so beside
// the cont binary, else the installed module relative to it. False with a
// one-line reason when none of them exists.
bool FindModule(const std::string& given, std::string* path, std::string* error);

}  // namespace cont

#endif
