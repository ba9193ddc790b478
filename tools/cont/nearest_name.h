// The nearest of some known names to a word someone typed, for "did you
// mean ...?" after an unknown command.
#ifndef CONT_NEAREST_NAME_H
#define CONT_NEAREST_NAME_H

#include <string>
#include <vector>

namespace cont {

// The name closest to `word` by edits (a letter added, dropped, changed,
// or two neighbours swapped), when it is close enough to be what was
// meant: one edit for words of up to four letters, two for longer ones;
// or the one name the word begins (three letters at least). Null when
// none is, or when two are equally near.
const char* NearestName(const std::string& word, const std::vector<const char*>& names);

}  // namespace cont

#endif
