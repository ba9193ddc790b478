// What pack, add, extract, rm and compact did, entry by entry, gathered for
// --json: each entry the command worked on, whether it was done and its
// bytes, and the failures beside the entries they concern. The document is
// printed once the command has run, whatever became of it.
#ifndef CONT_RESULTS_REPORT_H
#define CONT_RESULTS_REPORT_H

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "errors.h"

namespace cont {

struct ResultsReport {
    struct Entry {
        std::string name;
        bool done = false;       // the command did for it all it was asked
        uint64_t bytes = 0;      // the entry's bytes it copied, extracted or removed
        std::string file;        // pack, add: the input; extract: the file written (or to be)
        bool replaced = false;   // add --replace: an entry of the name went for it
    };
    // compact: the container's size before and after, and whether the
    // compacted container took its place.
    struct Compacted {
        uint64_t before = 0;
        uint64_t after = 0;
        bool replaced = false;
    };
    std::string container;  // as the user named it
    std::vector<Entry> entries;
    std::optional<Compacted> compacted;
};

// The document for a command that ended with `status`. Each entry's first
// failure goes beside it as its "problem"; the failures that name no entry
// of the report are the document's "failures".
std::string JsonOf(const ResultsReport& report, int status, const std::vector<Failure>& failures);

// With --json, prints the document (the failures kept since KeepFailures);
// not after a usage error, which prints nothing on standard output.
// Returns `status`.
int PrintResults(bool json, const ResultsReport& report, int status);

}  // namespace cont

#endif
