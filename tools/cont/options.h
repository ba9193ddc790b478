// Command-line options of one command: long options ("--name VALUE",
// "--name=VALUE"), single-letter aliases ("-C DIR"), positionals, and "--"
// to end the options. Every command also takes --help, --quiet and
// --module PATH.
#ifndef CONT_OPTIONS_H
#define CONT_OPTIONS_H

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace cont {

struct OptionSpec {
    const char* name;  // long name without the dashes
    char letter;       // single-letter alias, or 0
    bool takesValue;
};

class Args {
public:
    // Parses argv[0..argc) of one command against its own options plus the
    // common ones. False with a message on an unknown option or a missing
    // value.
    bool Parse(int argc, char** argv, const std::vector<OptionSpec>& spec, std::string* error);

    bool Has(const std::string& name) const { return values_.count(name) != 0; }
    // The option's value, or null when it was not given.
    const std::string* Value(const std::string& name) const;

    std::vector<std::string> positionals;

private:
    std::map<std::string, std::string> values_;
};

// A decimal byte count or offset ("1024"; suffixes k, M, G for powers of
// 1024). False for anything else, including values past 2^64 - 1.
bool ParseByteCount(const std::string& text, uint64_t* value);

}  // namespace cont

#endif
