#include "options.h"

#include <cctype>

namespace cont {

namespace {

const OptionSpec kCommon[] = {
    {"help", 'h', false},
    {"quiet", 'q', false},
    {"module", 0, true},
};

const OptionSpec* Find(const std::vector<OptionSpec>& spec, const std::string& name, char letter) {
    for (const OptionSpec& o : spec)
        if ((letter && o.letter == letter) || (!letter && name == o.name)) return &o;
    for (const OptionSpec& o : kCommon)
        if ((letter && o.letter == letter) || (!letter && name == o.name)) return &o;
    return nullptr;
}

}  // namespace

bool Args::Parse(int argc, char** argv, const std::vector<OptionSpec>& spec, std::string* error) {
    bool optionsEnded = false;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg == "-" || arg.size() < 2 || arg[0] != '-') {
            positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionSpec* option = nullptr;
        std::string value;
        bool hasInlineValue = false;
        if (arg[1] == '-') {
            std::string name = arg.substr(2);
            const size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
                hasInlineValue = true;
            }
            option = Find(spec, name, 0);
        } else {
            option = arg.size() == 2 ? Find(spec, "", arg[1]) : nullptr;
        }
        if (!option) {
            *error = "unknown option '" + arg + "'";
            return false;
        }
        if (option->takesValue && !hasInlineValue) {
            if (i + 1 >= argc) {
                *error = "option '" + arg + "' needs a value";
                return false;
            }
            value = argv[++i];
        } else if (!option->takesValue && hasInlineValue) {
            *error = "option '--" + std::string(option->name) + "' takes no value";
            return false;
        }
        values_[option->name] = value;
    }
    return true;
}

const std::string* Args::Value(const std::string& name) const {
    auto it = values_.find(name);
    return it == values_.end() ? nullptr : &it->second;
}

bool ParseByteCount(const std::string& text, uint64_t* value) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
    uint64_t n = 0;
    size_t i = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (n > (UINT64_MAX - digit) / 10) return false;
        n = n * 10 + digit;
    }
    unsigned shift = 0;
    if (i < text.size()) {
        if (i + 1 != text.size()) return false;
        switch (text[i]) {
            case 'k': case 'K': shift = 10; break;
            case 'M': shift = 20; break;
            case 'G': shift = 30; break;
            default: return false;
        }
    }
    if (shift && n > (UINT64_MAX >> shift)) return false;
    *value = n << shift;
    return true;
}

}  // namespace cont
