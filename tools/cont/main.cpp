// cont: makes, lists, reads, checks and repairs containers through the
// contfs.so module, as a media player would use it.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "command_line.h"
#include "commands.h"
#include "errors.h"
#include "module_lookup.h"
#include "standard_output.h"

namespace cont {

namespace {

// A new command is one line here, beside its Command in its own file.
const std::vector<const Command*> kCommands = {
    &kPackCommand, &kAddCommand, &kListCommand, &kCatCommand, &kExtractCommand, &kStatCommand,
    &kRemoveCommand, &kCompactCommand, &kCheckCommand, &kMountCommand, &kUmountCommand,
};

const char kCommonHelp[] =
    "\nCommon options (before the command or among its arguments):\n"
    "  --module PATH   load the module from PATH (default: $CONT_MODULE, else\n"
    "                  contfs.so beside cont, else the installed one)\n"
    "  -q, --quiet     no progress line\n"
    "  -h, --help      this text\n"
    "\nExit status: 0 success, 1 failure, 2 usage error.\n";

void PrintMainHelp(FILE* to) {
    std::fprintf(to,
                 "Usage: cont [--module PATH] [-q] COMMAND [OPTIONS] ARGS...\n"
                 "Makes, lists, reads and checks container files through the contfs module.\n\n"
                 "Commands:\n");
    for (const Command* c : kCommands) std::fprintf(to, "  %-8s %s\n", c->name, c->summary);
    std::fprintf(to, "\n'cont help COMMAND' describes one command; 'cont --version' names the module.\n");
}

int PrintVersion(const Args& args) {
    PrintOut("cont %s\n", CONT_VERSION);
    Tool tool("--version", args);
    Module* module = tool.module();
    if (!module) return kExitFailure;
    std::string description;
    uint32_t version = 0;
    if (!module->Describe(&description, &version))
        return FailPlain(Place{module->path(), {}}, "the module does not describe itself");
    PrintOut("module %s: %s, version 0x%08X\n", module->path().c_str(), description.c_str(), version);
    return kExitOk;
}

}  // namespace

Module* Tool::module() {
    if (!tried_) {
        tried_ = true;
        std::string path, error;
        const std::string* given = args_.Value("module");
        loaded_ = FindModule(given ? *given : std::string(), &path, &error) && module_.Load(path, &error).ok();
        if (!loaded_) {
            std::fprintf(stderr, "cont %s: %s\n", command_, error.c_str());
            NoteFailure(Place{}, error);
        }
    }
    return loaded_ ? &module_ : nullptr;
}

int Main(int argc, char** argv) {
    if (argc < 2) {
        PrintMainHelp(stderr);
        return kExitUsage;
    }
    CommandLine line;
    std::string error;
    const Command* failedIn = nullptr;
    if (!ParseCommandLine(argc, argv, kCommands, &line, &error, &failedIn))
        return UsageError(failedIn ? failedIn->name : nullptr, error);
    switch (line.ask) {
        case CommandLine::Ask::kMainHelp:
            PrintMainHelp(stdout);
            return kExitOk;
        case CommandLine::Ask::kVersion:
            return PrintVersion(line.args);
        case CommandLine::Ask::kCommandHelp:
            std::fputs(line.command->help, stdout);
            std::fputs(kCommonHelp, stdout);
            return kExitOk;
        case CommandLine::Ask::kRun:
            break;
    }
    const Command& command = *line.command;
    const std::vector<std::string>& positionals = line.args.positionals;
    // A container is written in place and read by seeking, which a pipe
    // cannot do.
    if (command.containerFirst && !positionals.empty() && positionals.front() == "-")
        return UsageError(command.name, "the container cannot be standard input or output ('-'); give its path");
    Tool tool(command.name, line.args);
    return command.run(line.args, tool);
}

}  // namespace cont

int main(int argc, char** argv) {
    // A write past the file size limit then fails with a reason cont can
    // report, rather than killing it half-way.
    std::signal(SIGXFSZ, SIG_IGN);
    int status = cont::kExitFailure;
    try {
        status = cont::Main(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "cont: out of memory\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cont: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "cont: unexpected failure\n");
    }
    std::string reason;
    if (cont::OutputFailed(&reason)) {
        std::fprintf(stderr, "cont: standard output: write failed: %s\n", reason.c_str());
        if (status == cont::kExitOk) status = cont::kExitFailure;
    }
    return status;
}
