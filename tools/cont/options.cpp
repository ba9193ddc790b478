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
    auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    size_t i = 0;
    while (i < text.size() && digit(text[i])) ++i;
    const size_t wholeEnd = i;
    size_t fractionEnd = i;
    if (i < text.size() && text[i] == '.') {
        for (fractionEnd = ++i; fractionEnd < text.size() && digit(text[fractionEnd]);) ++fractionEnd;
        if (fractionEnd == i) return false;  // "1." or "."
        i = fractionEnd;
    }
    if (wholeEnd == 0) return false;
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
    // A byte is whole: a fraction needs a unit to be a fraction of.
    if (fractionEnd != wholeEnd && shift == 0) return false;
    uint64_t n = 0;
    for (size_t k = 0; k < wholeEnd; ++k) {
        const uint64_t d = static_cast<uint64_t>(text[k] - '0');
        if (n > (UINT64_MAX - d) / 10) return false;
        n = n * 10 + d;
    }
    if (n > (UINT64_MAX >> shift)) return false;
    n <<= shift;
    // The fraction's first digits decide every byte of a unit of 2^30 at
    // most; later ones are dropped with the fraction of a byte they make.
    unsigned __int128 part = 0, scale = 1;
    for (size_t k = wholeEnd + 1; k < fractionEnd && k < wholeEnd + 1 + 18; ++k) {
        part = part * 10 + static_cast<unsigned>(text[k] - '0');
        scale *= 10;
    }
    const uint64_t bytes = static_cast<uint64_t>((part << shift) / scale);
    if (n > UINT64_MAX - bytes) return false;
    *value = n + bytes;
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
