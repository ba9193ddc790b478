#include "human_size.h"

namespace cont {

std::string HumanSize(uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes);
    static const char kUnits[] = "KMGTPE";
    for (unsigned power = 1;; ++power) {
        const unsigned __int128 unit = static_cast<unsigned __int128>(1) << (10 * power);
        // Rounded up, as ls rounds: in tenths below 10, in wholes above; a
        // number that rounds up to 1024 is the next unit's 1.0.
        const unsigned __int128 tenths = (static_cast<unsigned __int128>(bytes) * 10 + unit - 1) / unit;
        if (tenths < 100)
            return std::to_string(static_cast<unsigned>(tenths / 10)) + "." +
                   std::to_string(static_cast<unsigned>(tenths % 10)) + kUnits[power - 1];
        const unsigned __int128 whole = (bytes + unit - 1) / unit;
        if (whole < 1024 || power == 6) return std::to_string(static_cast<unsigned>(whole)) + kUnits[power - 1];
    }
}

}  // namespace cont
