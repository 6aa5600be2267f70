#include "pithorama/platform/Random.h"

#include <atomic>

#include "pithorama/platform/DateTime.h"

namespace pithorama {

static std::atomic<uint32_t> seed{0};

void RandomizeFromClock() { seed.store(UtcMillisecondsOfDay()); }
void SetRandSeed(uint32_t value) { seed.store(value); }
uint32_t RandSeed() { return seed.load(); }

uint32_t Random(uint32_t n) {
  uint32_t current = seed.load(std::memory_order_relaxed);
  uint32_t next;
  do {
    next = current * 134775813u + 1u;
  } while (!seed.compare_exchange_weak(current, next, std::memory_order_relaxed));
  return static_cast<uint32_t>((static_cast<uint64_t>(next) * n) >> 32);
}

}  // namespace pithorama
