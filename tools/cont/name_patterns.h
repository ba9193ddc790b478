// Entry names as extract, rm and ls take them on the command line: each is
// an exact name or a shell-style pattern, matched as tar --wildcards
// matches member names (fnmatch(3)): '*', '?' and '[...]' match any
// character, '/' too, and a pattern that matches a directory of entries
// (the part of a name before one of its '/') selects every entry beneath
// it. A backslash takes the character after it as it is.
#ifndef CONT_NAME_PATTERNS_H
#define CONT_NAME_PATTERNS_H

#include <stddef.h>

#include <string>
#include <vector>

#include "options.h"

namespace cont {

struct NameArgument {
    std::string text;  // the name, or the pattern as given
    bool pattern = false;
};

// The positionals from `first` on. One that holds '*', '?', '[' or '\' is
// a pattern, unless it came after "--"; any other is an exact name.
std::vector<NameArgument> NameArguments(const Args& args, size_t first);

// Whether the argument selects the entry called `name`: a pattern as
// above; an exact name when it is the entry's, or a directory the entry's
// name leads through ("photos" or "photos/" for "photos/a.jpg"). Of a name
// that is `cut` (ListedEntry) only its start is known, before its "...".
bool Selects(const NameArgument& argument, const std::string& name, bool cut = false);

// What names beneath the directory `name` begin with: "photos/" for
// photos, photos/ or photos//.
std::string DirectoryPrefix(const std::string& name);

}  // namespace cont

#endif
