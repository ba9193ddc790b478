#include "command_line.h"

#include <CLI/CLI.hpp>

#include <cstring>
#include <map>

#include "nearest_name.h"

namespace cont {

namespace {

const OptionSpec kCommonOptions[] = {
    {"help", 'h', false},
    {"quiet", 'q', false},
    {"module", 0, true},
    {"version", 0, false},
};

// `cont help COMMAND`; its topic is its positional.
const char kHelpCommand[] = "help";

using OptionNames = std::map<const CLI::Option*, std::string>;

void AddOption(CLI::App* app, const OptionSpec& spec, OptionNames* names) {
    std::string flags = std::string("--") + spec.name;
    if (spec.letter) flags = std::string("-") + spec.letter + "," + flags;
    CLI::Option* option = spec.takesValue ? app->add_option(flags) : app->add_flag(flags);
    // Every use is kept: some options apply to the positional they precede,
    // and for the others the last one counts.
    option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    (*names)[option] = spec.name;
}

// Any number of positionals, kept in order with the options.
void AddPositionals(CLI::App* app) {
    app->add_option("positional")->expected(0, -1)->allow_extra_args()->multi_option_policy(
        CLI::MultiOptionPolicy::TakeAll);
}

// Takes the results of one app in the order they were given.
void Collect(const CLI::App& app, const OptionNames& names, Args* args) {
    std::map<const CLI::Option*, size_t> used;
    for (const CLI::Option* option : app.parse_order()) {
        const size_t index = used[option]++;
        const std::vector<std::string>& results = option->results();
        std::string value = index < results.size() ? results[index] : std::string();
        if (option->get_positional()) {
            args->positionals.push_back(std::move(value));
            continue;
        }
        auto name = names.find(option);
        if (name == names.end()) continue;
        args->Add(name->second, option->get_expected_max() == 0 ? std::string() : std::move(value),
                  args->positionals.size());
    }
}

const Command* Find(const std::vector<const Command*>& commands, const std::string& name) {
    for (const Command* command : commands)
        if (name == command->name) return command;
    return nullptr;
}

// "unknown command 'lss'; did you mean 'ls'?"
std::string UnknownCommand(const std::vector<const Command*>& commands, const std::string& word) {
    std::vector<const char*> names;
    for (const Command* command : commands) names.push_back(command->name);
    const char* nearest = NearestName(word, names);
    return "unknown command '" + word + "'" + (nearest ? std::string("; did you mean '") + nearest + "'?" : "");
}

}  // namespace

bool ParseCommandLine(int argc, char** argv, const std::vector<const Command*>& commands, CommandLine* line,
                      std::string* error, const Command** failedIn) {
    *failedIn = nullptr;
    // What follows the first "--" is positional whatever it looks like; the
    // library is handed only what comes before.
    std::vector<std::string> words, tail;
    bool ended = false;
    for (int i = 1; i < argc; ++i) {
        if (!ended && std::strcmp(argv[i], "--") == 0)
            ended = true;
        else
            (ended ? tail : words).push_back(argv[i]);
    }

    CLI::App app("cont", "cont");
    app.set_help_flag();
    // One command at most: after it, a word that names a command is an
    // argument (an entry may be called "ls").
    app.require_subcommand(0, 1);
    OptionNames names;
    for (const OptionSpec& spec : kCommonOptions) AddOption(&app, spec, &names);
    AddPositionals(&app);

    std::map<const CLI::App*, const Command*> byApp;
    std::vector<const Command*> all(commands);
    const Command help = {kHelpCommand, "", "", {}, nullptr};
    all.push_back(&help);
    for (const Command* command : all) {
        CLI::App* sub = app.add_subcommand(command->name);
        // The common options are taken among the command's arguments too.
        sub->fallthrough();
        for (const OptionSpec& spec : command->options) AddOption(sub, spec, &names);
        AddPositionals(sub);
        byApp[sub] = command;
    }

    // The library wants the words last first.
    std::vector<std::string> reversed(words.rbegin(), words.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        for (const CLI::App* sub : app.get_subcommands())
            if (byApp.count(sub) && byApp[sub] != &help) *failedIn = byApp[sub];
        *error = e.what();
        return false;
    }

    const CLI::App* chosen = app.get_subcommands().empty() ? nullptr : app.get_subcommands().front();
    Collect(app, names, &line->args);
    if (chosen && !line->args.positionals.empty()) {
        *error = UnknownCommand(commands, line->args.positionals.front());
        return false;
    }
    if (chosen) {
        Collect(*chosen, names, &line->args);
    }
    if (ended) line->args.literalFrom = line->args.positionals.size();
    for (std::string& word : tail) line->args.positionals.push_back(std::move(word));

    if (line->args.Has("version")) {
        line->ask = CommandLine::Ask::kVersion;
        return true;
    }
    if (!chosen) {
        if (!line->args.positionals.empty()) {
            *error = UnknownCommand(commands, line->args.positionals.front());
            return false;
        }
        line->ask = CommandLine::Ask::kMainHelp;
        return true;
    }
    const Command* command = byApp[chosen];
    if (command == &help) {
        const std::vector<std::string>& topic = line->args.positionals;
        if (topic.size() > 1) {
            *error = "help describes one command";
            return false;
        }
        line->ask = topic.empty() ? CommandLine::Ask::kMainHelp : CommandLine::Ask::kCommandHelp;
        if (!topic.empty() && !(line->command = Find(commands, topic.front()))) {
            *error = UnknownCommand(commands, topic.front());
            return false;
        }
        return true;
    }
    line->command = command;
    line->ask = line->args.Has("help") ? CommandLine::Ask::kCommandHelp : CommandLine::Ask::kRun;
    // Both would write to standard output, and a script reads one document.
    if (line->ask == CommandLine::Ask::kRun && line->args.Has("json") && line->args.Has("verbose")) {
        *failedIn = command;
        *error = "--json and --verbose both print on standard output; give one of them";
        return false;
    }
    return true;
}

}  // namespace cont
