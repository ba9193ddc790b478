// Sizes for people, as ls -lh prints them.
#ifndef CONT_HUMAN_SIZE_H
#define CONT_HUMAN_SIZE_H

#include <stdint.h>

#include <string>

namespace cont {

// Bytes below 1024 as they are ("1000"); above, in the largest unit of
// K, M, G, T, P, E (powers of 1024) that keeps the number below 1024,
// rounded up: with one decimal below 10 ("1.5K", "9.1K"), whole above
// ("10K", "1023M").
std::string HumanSize(uint64_t bytes);

}  // namespace cont

#endif
