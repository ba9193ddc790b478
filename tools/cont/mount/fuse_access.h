// Why this user cannot mount through FUSE, when the system's set-up is the
// reason: a /dev/fuse the user may not open, or (for a user other than
// root, who mounts through libfuse's helper) a fusermount3 that is missing
// or not set-user-ID root. Asked after a mount failed, to say how to put
// it right.
#ifndef CONT_FUSE_ACCESS_H
#define CONT_FUSE_ACCESS_H

#include <string>

namespace cont {

// A sentence naming what stands in the way and how an administrator
// removes it; empty when neither does.
std::string FuseAccessProblem();

}  // namespace cont

#endif
