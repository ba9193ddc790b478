// `cont cat --follow`: an entry read as another program writes it, the way
// `tail -f` reads a growing file.
//
// Each reading opens the container anew, writes out what the entry gained
// since the last one, and lets go of it all; between readings cont sleeps
// until the container file changes. The host library's WriterWatch tells
// how the writer stands, and whether the path still names the file the
// entry was first found in. It ends after a reading made once the writer
// had closed the container (its clean flag set), which holds every byte
// the entry got.
#ifndef CONT_ENTRY_FOLLOW_H
#define CONT_ENTRY_FOLLOW_H

#include <stdint.h>

#include <string>

#include "host_library.h"

namespace cont {

// Writes the entry's bytes from `offset` on to standard output, at most
// `length` of them, as they arrive. kExitOk once the writer closed the
// container and every byte was written; kExitFailure once said why, also
// when the writer went away without closing the container (a crash), after
// the bytes that reached the disk, or the container file was replaced.
int FollowEntry(Module& module, const std::string& path, const std::string& name, uint64_t offset,
                uint64_t length, bool quiet);

}  // namespace cont

#endif
