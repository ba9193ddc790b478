// The few header bytes `cont check` reports, read straight from the file:
// the module offers no way to ask for them, and check must see the clean
// flag before the module's open repairs it.
//
// ".W7K" header: magic (4) | version (2) | clean flag (1) | title length (4) | title
// ".CFS" header: magic (4) | clean flag (1) | title length (4) | title
// Integers are big-endian.
#ifndef CONT_HEADER_PROBE_H
#define CONT_HEADER_PROBE_H

#include <stdint.h>

#include <string>

namespace cont {

struct HeaderInfo {
    size_t fileBytes = 0;      // bytes that could be read, up to the title's end
    std::string magic;         // the first (up to) four bytes
    bool known = false;        // ".W7K" or ".CFS"
    bool hasVersion = false;   // ".W7K" only
    uint16_t version = 0;
    bool hasClean = false;
    uint8_t clean = 0;
    bool hasTitle = false;
    std::string title;
    size_t headerBytes = 0;    // where the first record begins, once the title is known
};

// The first record of a container: an index record of 256 slots and a link,
// 5 + 2056 bytes.
constexpr uint64_t kFirstIndexRecordBytes = 5 + 2056;

// False with a reason only when the file cannot be read at all; a short or
// foreign file gives a HeaderInfo with the fields it has.
bool ProbeHeader(const std::string& path, HeaderInfo* info, std::string* reason);

}  // namespace cont

#endif
