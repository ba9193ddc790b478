// The one rule for writing an entry name after "?file=" in a "cont" URL,
// shared by the module's listing and by the cont tool.
//
// The URL parser stores an option value of digits only as a number, and
// ends a value at the first '&'; a value in double quotes is text up to the
// closing quote. So a name of digits only, or holding an '&', is written in
// double quotes, and every other name as it is. A name holding a '"' cannot
// be quoted (its own quote would end the value) and is written as it is.
//
// No dependencies: this library is linked by the module and by tools alike.
#ifndef CONTFS_QUOTING_ENTRY_NAME_QUOTES_H
#define CONTFS_QUOTING_ENTRY_NAME_QUOTES_H

// Whether name is written in double quotes. A null or empty name is not.
bool EntryNameNeedsQuotes(const char* name);

#endif
