#include "options.h"

#include <cctype>

namespace cont {

void Args::Add(const std::string& name, std::string value, size_t before) {
    values_[name].push_back(Given{std::move(value), before});
}

const std::string* Args::Value(const std::string& name) const {
    auto it = values_.find(name);
    return it == values_.end() ? nullptr : &it->second.back().value;
}

std::vector<Args::Given> Args::All(const std::string& name) const {
    auto it = values_.find(name);
    return it == values_.end() ? std::vector<Given>() : it->second;
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

bool ParseSeconds(const std::string& text, uint64_t* milliseconds) {
    const size_t point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string fraction = point == std::string::npos ? std::string() : text.substr(point + 1);
    if (whole.empty() || whole.size() > 7 || (point != std::string::npos && fraction.empty())) return false;
    for (char c : whole + fraction)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    uint64_t ms = std::stoull(whole) * 1000;
    // Milliseconds are all a timer here tells apart.
    uint64_t scale = 100;
    for (size_t i = 0; i < fraction.size() && i < 3; ++i, scale /= 10) ms += static_cast<uint64_t>(fraction[i] - '0') * scale;
    if (ms > kMaxSeconds * 1000) return false;
    *milliseconds = ms;
    return true;
}

}  // namespace cont
