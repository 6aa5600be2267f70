// The process-wide random generator: a 32-bit seed; each draw sets
// seed = seed * 134775813 + 1 (mod 2^32) and answers the upper 32 bits of the
// 64-bit product of the new seed and n. Safe to call from several threads: each
// draw advances the seed exactly once.
#pragma once

#include <cstdint>

namespace pithorama {

// Seeds from the UTC time of day: ((h * 60 + m) * 60 + s) * 1000 + ms.
void RandomizeFromClock();
void SetRandSeed(uint32_t seed);
uint32_t RandSeed();
// A draw below n (0 for n = 0).
uint32_t Random(uint32_t n);

}  // namespace pithorama
