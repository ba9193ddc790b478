#include "name_patterns.h"

#include <fnmatch.h>

namespace cont {

std::vector<NameArgument> NameArguments(const Args& args, size_t first) {
    std::vector<NameArgument> arguments;
    for (size_t i = first; i < args.positionals.size(); ++i) {
        const std::string& text = args.positionals[i];
        const bool pattern = i < args.literalFrom && text.find_first_of("*?[\\") != std::string::npos;
        arguments.push_back(NameArgument{text, pattern});
    }
    return arguments;
}

std::string DirectoryPrefix(const std::string& name) {
    const size_t last = name.find_last_not_of('/');
    return name.substr(0, last == std::string::npos ? 0 : last + 1) + '/';
}

bool Selects(const NameArgument& argument, const std::string& name, bool cut) {
    // Of a cut name only its start is known, without the "..." that
    // ShortName ends it with.
    const std::string known = cut ? name.substr(0, name.size() - 3) : name;
    if (argument.pattern) {
        // tar's defaults for member names: no FNM_PATHNAME (a wildcard
        // matches '/'), no FNM_PERIOD, and FNM_LEADING_DIR (a match of a
        // leading directory selects what lies beneath it).
        return fnmatch(argument.text.c_str(), known.c_str(), FNM_LEADING_DIR) == 0;
    }
    if (!cut && name == argument.text) return true;
    const std::string prefix = DirectoryPrefix(argument.text);
    return known.size() >= prefix.size() && known.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace cont
