// Reading cont's command line: the common options (which may stand before
// the command or among its arguments), the command, its own options and
// its positionals, and "--", after which everything is a positional.
#ifndef CONT_COMMAND_LINE_H
#define CONT_COMMAND_LINE_H

#include <string>
#include <vector>

#include "commands.h"

namespace cont {

struct CommandLine {
    enum class Ask { kMainHelp, kCommandHelp, kVersion, kRun };
    Ask ask = Ask::kMainHelp;
    // The command to run or describe; null for the main help and --version.
    const Command* command = nullptr;
    // The command's options and positionals, with the common options.
    Args args;
};

// Parses argv[1..argc). False on a usage error, with the message and the
// command it concerns (null when none was recognised).
bool ParseCommandLine(int argc, char** argv, const std::vector<const Command*>& commands, CommandLine* line,
                      std::string* error, const Command** failedIn);

}  // namespace cont

#endif
