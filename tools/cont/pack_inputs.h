// What `cont pack` packs: the FILEs of its command line, each under the
// entry name --name gives it or its last path component, and every regular
// file beneath each directory among them, named by its path relative to
// the directory with '/' after the directory's own name.
//
// Beneath a directory only regular files and directories are taken:
// symbolic links there are not followed (a link to a directory could lead
// out of the tree or round in a circle) and special files are not read;
// each is named on standard error as skipped. A link named on the command
// line is followed, as the user asked for it. Directories are walked in
// name order, so the same tree makes the same container.
#ifndef CONT_PACK_INPUTS_H
#define CONT_PACK_INPUTS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "options.h"

namespace cont {

// One FILE as the command line gave it.
struct GivenInput {
    std::string path;  // "-" for standard input
    std::string name;  // from --name
    bool named = false;
};

struct PackInput {
    std::string path;
    std::string name;  // the entry name
    bool sized = false;  // a regular file, whose size is known beforehand
    uint64_t size = 0;
};

// The FILEs of `args` (its positionals from `first` on) with their names:
// each --name names the FILE that follows it; with a single FILE it may
// stand anywhere. False with a usage message when a --name names nothing
// or a FILE is named twice.
bool GivenInputs(const Args& args, size_t first, std::vector<GivenInput>* inputs, std::string* usage);

// Expands the given inputs into the files to pack, walking directories.
// `container` is the container being made: a walk never takes it in. Prints
// its failures (a missing input, an unreadable directory) and returns
// kExitFailure; skipped files are only reported.
int ListPackInputs(const std::vector<GivenInput>& given, const std::string& container,
                   std::vector<PackInput>* inputs);

}  // namespace cont

#endif
