// Why a write to a container failed. The module reports a write that did
// not reach the file as E_FAIL and no more; cont looks at the file and its
// file system afterwards to name the likely cause.
#ifndef CONT_WRITE_FAILURE_H
#define CONT_WRITE_FAILURE_H

#include <string>

namespace cont {

// "no space left on the device" or "the file size limit (ulimit -f) was
// reached" when that is what `path` now meets; empty when neither.
std::string WhyWriteFailed(const std::string& path);

}  // namespace cont

#endif
