// The arguments of one command as the command line gave them: its options
// by long name, and its positionals. command_line.cpp fills them in; a
// command only reads them.
#ifndef CONT_OPTIONS_H
#define CONT_OPTIONS_H

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

namespace cont {

// One option a command takes, e.g. {"directory", 'C', true}: "--directory
// DIR", "--directory=DIR", "-C DIR" and "-CDIR" all give it.
struct OptionSpec {
    const char* name;  // long name without the dashes
    char letter;       // single-letter alias, or 0
    bool takesValue;
};

class Args {
public:
    // One use of an option: its value ("" for a flag) and how many
    // positionals came before it, for options that apply to the positional
    // they precede.
    struct Given {
        std::string value;
        size_t before = 0;
    };

    void Add(const std::string& name, std::string value, size_t before);

    bool Has(const std::string& name) const { return values_.count(name) != 0; }
    // The option's value, the last one when it was given more than once, or
    // null when it was not given.
    const std::string* Value(const std::string& name) const;
    // Every use of the option, in command-line order.
    std::vector<Given> All(const std::string& name) const;

    std::vector<std::string> positionals;
    // The positionals from this one on came after "--": names taken as
    // they are, never as patterns. positionals.size() or more when none did.
    size_t literalFrom = SIZE_MAX;

private:
    std::map<std::string, std::vector<Given>> values_;
};

// A decimal byte count or offset ("1024"; suffixes k, M, G for powers of
// 1024, after which a fraction may come: "1.5M" is 1572864, a fraction of a
// byte dropped). False for anything else, including a fraction without a
// suffix and values past 2^64 - 1.
bool ParseByteCount(const std::string& text, uint64_t* value);

// A span of time in seconds ("2", "0.5"; at most kMaxSeconds), as
// milliseconds. False for anything else.
bool ParseSeconds(const std::string& text, uint64_t* milliseconds);
constexpr uint64_t kMaxSeconds = 1000000;

}  // namespace cont

#endif
