// The writing half of the container target: entries added to the file the
// input made (taken up for adding, with a write fault where the input
// chose, and read beside the writer as they grow), and a new container made
// from the input's entries, copied before its close as a crash would leave
// it. Every entry is checked against what the writer was told: what it held
// before, what was written, what was removed. Some entries, as the input
// chose, are written through gathering cursors: the writer's container
// reads every byte of theirs at once, a reader of the file only those
// written out (at the writer's seeks, Sync, the close), and after a close
// that did not fail the file holds them all.
#ifndef CONTFS_FUZZ_CONTAINER_WRITING_H
#define CONTFS_FUZZ_CONTAINER_WRITING_H

#include <string>

#include "entry_reads.h"
#include "fuzz_support.h"

namespace fuzz {

// Takes up the container at path for adding and adds a few entries, each
// written in several pieces, interleaved, some overwritten or removed, while
// a cursor of the same container and a reader of its own read beside the
// writer. `before` is every entry as a reader found it: those must read the
// same afterwards, whatever failed. An add that is refused must leave the
// file as it was.
void AddBesideReaders(const std::string& path, const Snapshot& before, Choices& choices);

// Makes a new container at path holding the entries of `source` (written
// in pieces, interleaved, some overwritten, one perhaps removed), copies its
// file before the close as a crash would leave it, and checks the copy, the
// copy opened a second time and the container after its close.
void CopyIntoNewContainer(const std::string& path, const Snapshot& source, Choices& choices);

}  // namespace fuzz

#endif
