// The gather flusher: one module-wide thread that writes out gathered bytes
// (gathered_bytes.h) once they have waited kGatherDelayMs, so that a writer
// that falls silent while nothing else writes to its container still has
// its bytes reach the file, where a reader in another process sees them.
//
// The thread exists only while some container has gathered: the first one
// registers and starts it, the last one to go unregisters and joins it. A
// host that never gathers sees no thread, and once every container is gone
// (CanUnload's S_OK) none runs module code.
//
// The thread holds no reference to a container: Unregister, called by the
// container's destructor before it writes anything back, waits while the
// thread is inside that container, and after it the thread never touches
// it again. The thread takes a container's mutex like any writer, and never
// while it holds its own lock; a container may call Register and WakeBy
// under its mutex.
#ifndef CONTFS_CONTAINER_GATHER_FLUSHER_H
#define CONTFS_CONTAINER_GATHER_FLUSHER_H

#include <cstdint>

class GatherClient {
public:
    // Writes out the gathered bytes that have waited their time at `now`
    // (GatherClockMs); when the next ones will have, or -1 for none.
    virtual int64_t WriteOutAged(int64_t now) = 0;

protected:
    ~GatherClient() = default;
};

namespace gather_flusher {

// Starts the thread when it is not running. False when it could not be
// started: the delay is then kept only by writes and Sync.
bool Register(GatherClient* client);
// Takes the client out (nothing when it is not in); the last one out stops
// the thread and waits for it to end.
void Unregister(GatherClient* client);
// Some gathered bytes are due at `deadline` (GatherClockMs).
void WakeBy(int64_t deadline);
// Whether the thread runs (for tests).
bool Running();

}  // namespace gather_flusher

#endif
