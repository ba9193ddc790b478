// How far an entry can be read, found by reading every byte of it, as
// check and ls -l do.
#ifndef CONT_READABLE_BYTES_H
#define CONT_READABLE_BYTES_H

#include <stdint.h>

#include <string>

#include "container_session.h"

namespace cont {

// Reads the opened entry `file` of `size` bytes through from its start,
// with a progress line that says `verb` and the name. `readable` receives
// its bytes up to the first that cannot be read, where a player's reading
// stops too. kExitOk when every byte was read, else kExitFailure once the
// failure was said.
int ReadableBytes(ContainerSession& session, EntryFile& file, const std::string& name, uint64_t size,
                  const std::string& verb, bool quiet, uint64_t* readable);

}  // namespace cont

#endif
