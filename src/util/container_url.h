// Where a "cont" URL leads: the container file's path and the name of the
// entry inside it. The one route from a URL text to those two, for Open and
// for CheckExistence alike.
//
//   cont:///clips.cnt?file=a        path clips.cnt        (relative)
//   cont:////srv/clips.cnt?file=a   path /srv/clips.cnt   (absolute)
//
// The path is the parser's "fullpath" (which it roots with one "/") less at
// most two leading "/", so the three slashes after "cont:" introduce a
// relative path and a fourth is an absolute path's own. The name is the
// text option "file"; an option of digits only is a number to the parser
// and names no entry, which is why listings quote such names.
//
// The option "gather" asks that the entry's written bytes be gathered
// (GatherAccess): gather=1 does, gather=0 or no option does not. Options
// are separate from the name, so it never becomes part of it:
// cont:///clips.cnt?file=a&gather=1 names entry "a", and a name holding
// '&' is quoted as ever (?file="a&b"&gather=1).
#ifndef CONTFS_UTIL_CONTAINER_URL_H
#define CONTFS_UTIL_CONTAINER_URL_H

#include "util/compact_string.h"

struct ContainerUrl {
    CompactString path;        // empty when the text names no container
    CompactString entryName;   // empty when namesEntry is false
    bool namesEntry = false;   // the text has a text option "file"
    bool gather = false;       // the text has the option gather=N, N not 0
    // Memory ran out on the way: the path or the name may be missing, and a
    // missing name stands for another entry, so nothing else here counts.
    bool outOfMemory = false;
};

// The text parsed as given: no prefix, no turning of backslashes, no
// decoding. What CheckExistence reads. A null text names nothing.
ContainerUrl ParseContainerUrl(const char* url);

// What Open reads from a host's text: a text without "://" is a bare path
// and gets "cont:///" in front (so an absolute path keeps its own "/" after
// the three), every backslash becomes a forward slash, and the whole text is
// percent-decoded; the result is parsed as ParseContainerUrl does.
ContainerUrl ParseHostUrl(const char* text);

#endif
