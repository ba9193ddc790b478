// The commands of cont. Each one checks its arguments first (a usage error
// exits with 2 before anything is loaded or touched), then loads the module
// through the Tool and does its work, printing its own failures.
#ifndef CONT_COMMANDS_H
#define CONT_COMMANDS_H

#include <stddef.h>

#include <vector>

#include "host_library.h"
#include "options.h"

namespace cont {

// What every command shares: the common options and the module, loaded on
// first use.
class Tool {
public:
    Tool(const char* command, const Args& args) : command_(command), args_(args) {}
    // The loaded module, or null after printing why it could not be loaded.
    Module* module();
    bool quiet() const { return args_.Has("quiet"); }
    // -v: a line on standard output for each entry done (PutDoneLine).
    bool verbose() const { return args_.Has("verbose"); }
    // --json: a document on standard output at the end instead of text.
    bool json() const { return args_.Has("json"); }
    const char* command() const { return command_; }

private:
    const char* command_;
    const Args& args_;
    Module module_;
    bool tried_ = false;
    bool loaded_ = false;
};

// One command: its Command in its own file (cmd_*.cpp), listed in main.cpp.
// Its options are declared here and read back from Args by long name;
// command_line.cpp does the parsing.
struct Command {
    const char* name;
    const char* summary;  // one line for "cont --help"
    const char* help;     // the full text for "cont help NAME"
    std::vector<OptionSpec> options;
    int (*run)(const Args& args, Tool& tool);
    // The first positional names a container, which cannot be '-'.
    bool containerFirst = true;
};

extern const Command kPackCommand;
extern const Command kAddCommand;
extern const Command kListCommand;
extern const Command kCatCommand;
extern const Command kExtractCommand;
extern const Command kStatCommand;
extern const Command kRemoveCommand;
extern const Command kCompactCommand;
extern const Command kCheckCommand;
extern const Command kMountCommand;
extern const Command kUmountCommand;

}  // namespace cont

#endif
