#include "quoting/entry_name_quotes.h"

#include <cstring>

// '"' and '&' are below every trail byte of a double-byte character, so a
// byte search finds only the characters themselves.
bool EntryNameNeedsQuotes(const char* name) {
    if (!name || !*name || std::strchr(name, '"')) return false;
    if (std::strchr(name, '&')) return true;
    for (const char* p = name; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
    }
    return true;
}
