// What ls, stat and check find, gathered before it is printed, so that the
// text and the --json output are made from the same facts, each in one
// place per command.
#ifndef CONT_REPORTS_H
#define CONT_REPORTS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "host_library.h"

namespace cont {

struct ListingReport {
    struct Entry {
        std::string name;
        bool cut = false;  // the name is the start of a longer one (ListedEntry)
        std::string url;   // empty when no URL opens the entry
        bool sized = false;
        uint64_t size = 0;
        std::string problem;  // why it could not be opened or sized
        // ls -l: the entry was read through; its bytes up to the first
        // that cannot be read.
        bool measured = false;
        uint64_t readable = 0;
    };
    std::string container;  // as the user named it
    std::vector<Entry> entries;
};

struct StatReport {
    std::string container;
    std::string name;
    std::string url;
    EntryStat file;  // the entry's size, the container file's times and mode
};

struct CheckReport {
    struct Entry {
        std::string name;
        bool sized = false;
        uint64_t size = 0;
        bool ok = false;  // every byte was read
        uint64_t readable = 0;  // bytes up to the first that cannot be read
        std::string problem;
    };
    enum class Repair { kNotNeeded, kRepaired, kFailed };

    std::string container;
    // The header as the module found it, before any repair.
    struct Header {
        uint64_t fileBytes = 0;
        bool magicRead = false;          // the module read the first four bytes
        std::string magic;               // those bytes
        const char* variant = nullptr;   // ".W7K" or ".CFS"; null for another file
        bool hasVersion = false;
        uint32_t version = 0;
        int32_t clean = -1;              // -1 when not read
        std::string title;               // empty when not read
    } header;
    bool opened = false;  // the module could read the directory
    std::string openProblem;
    Repair repair = Repair::kNotNeeded;
    std::string recovered;  // what recovery rebuilt, when the module says
    // The first damage the module met.
    bool damaged = false;
    uint64_t damageOffset = 0;
    std::string damagePart;
    std::string damageReason;
    std::vector<Entry> entries;
    uint64_t read = 0;  // bytes read in all
    int problems = 0;
};

// The --json forms, and the same printed on standard output.
std::string JsonOf(const ListingReport& report);
std::string JsonOf(const StatReport& report);
std::string JsonOf(const CheckReport& report);
void PrintJson(const ListingReport& report);
void PrintJson(const StatReport& report);
void PrintJson(const CheckReport& report);

}  // namespace cont

#endif
