#include "nearest_name.h"

#include <algorithm>
#include <cstring>

namespace cont {

namespace {

// Edits from one word to the other, swaps of neighbours counted as one
// (optimal string alignment).
size_t Distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

const char* NearestName(const std::string& word, const std::vector<const char*>& names) {
    // A word much longer than any name is no typing slip.
    if (word.empty() || word.size() > 32) return nullptr;
    const size_t allowed = word.size() <= 4 ? 1 : 2;
    const char* best = nullptr;
    size_t bestDistance = allowed + 1;
    bool tied = false;
    for (const char* name : names) {
        const size_t distance = Distance(word, name);
        if (distance < bestDistance) {
            best = name;
            bestDistance = distance;
            tied = false;
        } else if (distance == bestDistance) {
            tied = true;
        }
    }
    if (best && !tied) return best;
    if (best) return nullptr;
    // "comp" for "compact": the start of exactly one name.
    const char* begun = nullptr;
    for (const char* name : names) {
        if (word.size() < 3 || std::strncmp(name, word.c_str(), word.size()) != 0) continue;
        if (begun) return nullptr;
        begun = name;
    }
    return begun;
}

}  // namespace cont
