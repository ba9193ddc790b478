// Writing "cont" URLs that the module reads back as the container path and
// entry name they were made from, and reading entry names back from the
// URLs a container lists.
//
// The module puts the whole URL text through percent-decoding before it
// parses it, so an escape only protects bytes that are harmless once
// decoded ('%' itself, backslashes, control bytes); characters the parser
// acts on keep their meaning however they are written. Names and paths
// that cannot survive that route are refused with a reason rather than
// quietly turned into another entry's URL.
#ifndef CONTFS_CONTAINER_URL_H
#define CONTFS_CONTAINER_URL_H

#include <stddef.h>

#include <string>

namespace contfs {

// The container path as URLs carry it: absolute, without "." or ".."
// segments (the parser would collapse them) and without doubled slashes.
// False with a reason when the path cannot be written in a URL.
bool UrlContainerPath(const std::string& userPath, std::string* path, std::string* reason);

// False with a reason when no URL can name this entry, wherever its
// container lies.
bool AddressableEntryName(const std::string& name, std::string* reason);

// The same for an entry of the container at `path` (as UrlContainerPath
// gives it): the URL must also be short enough for the module to keep.
// Every name that passes can be opened by the URL MakeContUrl writes.
bool UrlCanName(const std::string& path, const std::string& name, std::string* reason);

// "cont:///" + path (so an absolute path shows four slashes), with
// "?file=" + name when a name is given. Names of digits only, and names
// holding '&', are written in double quotes so the parser takes them as
// text. Both inputs must have passed the checks above.
std::string MakeContUrl(const std::string& path, const std::string& name);

// The same URL without escapes, for CheckExistence, which parses its text
// as given.
std::string MakePlainContUrl(const std::string& path, const std::string& name);

// The container path (as written: relative to the current directory after
// "cont:///", absolute after "cont:////") and the entry name a URL of the
// host guide's form gives: "cont:///" + path + "?file=" + name, the name
// in double quotes or not, escapes and backslashes read as the module reads
// them. False with a reason for a text of another shape, and for one the
// module would read otherwise than as a path and a name (other options, a
// '#', a name of digits only without quotes, none at all), so that a text
// read here opens, through MakeContUrl, the entry the module would open.
bool ReadContUrl(const std::string& url, std::string* path, std::string* name, std::string* reason);

// The entry name in a URL the container's enumerator printed for `path`;
// false when the text has another shape.
bool EntryNameFromListing(const std::string& url, const std::string& path, std::string* name);

}  // namespace contfs

#endif
