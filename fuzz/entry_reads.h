// Reading a container's entries for the fuzz targets, with the promises
// every single read keeps on any file, and what one reading of an entry
// delivered, so that two readings can be held against each other.
#ifndef CONTFS_FUZZ_ENTRY_READS_H
#define CONTFS_FUZZ_ENTRY_READS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "container/container_interface.h"
#include "fuzz_support.h"

namespace fuzz {

// What one reading of an entry delivered, from where it started.
struct EntryBytes {
    enum class Stop { kEnd, kFailed, kCut };  // kCut: the reading gave up (bytes or calls), not the entry
    uint64_t from = 0;
    std::string bytes;
    Stop stop = Stop::kCut;
    int32_t result = S_OK;  // the last ReadEntry's result
    uint32_t calls = 0;     // ReadEntry calls made
};

// How much one reading may do.
struct ReadLimits {
    uint64_t bytes = 1u << 20;
    uint32_t calls = 400;
};

// One ReadEntry with the promises that hold on any file: a success hands out
// a buffer of between 1 and count bytes and moves the cursor by that much;
// the end of the data hands out nothing and moves nothing. The bytes go to
// `into` when it is given.
int32_t ReadOnce(IContainerFile* container, const ContainerEntry* entry, EntryCursor& cursor, uint32_t count,
                 std::string* into);

// Reads from the cursor to the end of the entry, the first failure or a
// limit, in pieces of `piece` bytes, or of sizes drawn anew each time when
// `choices` is given.
EntryBytes ReadThrough(IContainerFile* container, const ContainerEntry* entry, EntryCursor cursor, uint32_t piece,
                       Choices* choices, const ReadLimits& limits);

// Whether the container met damage (its report names some). Then how far a
// reading gets may depend on what earlier readings taught the container
// about where records lie (a damaged seek table, say, leaves an entry's
// records to be found by the scans of others).
bool MetDamage(IContainerFile* container);

// Two readings of one entry must agree on every byte both delivered, and,
// in a container that met no damage, two that both ran to the end or to a
// failure must have stopped at the same place for the same reason. Breaks
// the run, naming `what`, when not.
void ExpectSameReading(const EntryBytes& a, const EntryBytes& b, bool damaged, const std::string& what);

// The names a container lists, each taken from its URL
// "cont:///<path>?file=<name>" (quotes and slashes as the listing writes them).
std::vector<std::string> ListedNames(IContainerFile* container, uint32_t most);

// The entry a listed name stands for, or null when there is none (any
// longer) or the listing cannot say (a name holding both kinds of slash).
ContainerEntry* FindListed(IContainerFile* container, const std::string& listed);
// The same for a name the container lists now: only a name the listing
// cannot say may be missing.
ContainerEntry* FindListedNow(IContainerFile* container, const std::string& listed);

// Every entry the container lists (the first kMostEntriesRead of them),
// read from its start in pieces of 4096 bytes, by its own name, and whether
// the container met damage by then.
constexpr uint32_t kMostEntriesRead = 300;
struct Snapshot {
    std::map<std::string, EntryBytes> entries;
    bool damaged = false;
};
Snapshot ReadEveryEntry(IContainerFile* container, const ReadLimits& limits);

// Whether the file at path opens as a container whose every entry reads as
// `before` says: the same entries (`gone` excepted), the same bytes,
// stopping at the same place unless either met damage. Breaks the run,
// naming `what`, when it does not.
void ExpectSameContainer(const std::string& path, const Snapshot& before, const std::string& gone,
                         const std::string& what);

}  // namespace fuzz

#endif
