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

#include <memory>
#include <string>
#include <vector>

#include "host_library.h"
#include "local_files.h"
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
    std::string name;    // the entry name
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
int ListPackInputs(const std::vector<GivenInput>& given, const std::string& container, std::vector<PackInput>* inputs);

struct Source {
    std::string path;       // as given; "-" for standard input
    std::string name;       // entry name
    bool streamed = false;  // not a regular file: its bytes come as they are sent
    InputFile input;
    EntryFile entry;
    bool added = false;     // the entry was opened in the container
    bool replaces = false;  // an entry of its name was removed for it (add --replace)
    bool done = false;      // the input was read to its end
    uint64_t written = 0;
    bool found = false;  // the entry was found when the container was read back
    uint64_t onDisk = 0;
};

using Sources = std::vector<std::unique_ptr<Source>>;

// The FILEs of the command line (the positionals from the second on) with
// the names --name gives them. kExitOk, or kExitUsage once said: a --name
// that names nothing, standard input without a name or read twice.
int CheckGivenInputs(const char* command, const Args& args, std::vector<GivenInput>* given);

// One source per file, directories walked (pack_inputs.h): names a URL of
// the container at `out` can carry, no two alike, none both a file and the
// directory of another; no input that is the container itself. `total`
// receives the bytes to copy, or Progress::kUnknownTotal when an input's
// size is not known beforehand. kExitOk, or kExitFailure once said.
int CollectSources(const std::string& out, const std::vector<GivenInput>& given, Sources* sources, uint64_t* total);

}  // namespace cont

#endif
