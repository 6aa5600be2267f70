#include "pithorama/platform/TerminationFiles.h"

#include <atomic>
#include <cstring>

#include "pithorama/platform/Signals.h"

namespace pithorama {
namespace {

// Longer names than any of the system's folders give are not registered.
constexpr size_t kMaxPath = 4096;

enum EntryState : int { kFree, kClaimed, kLive };

struct Entry {
  std::atomic<int> state{kClaimed};
  Entry* next = nullptr;
  char path[kMaxPath];
};

static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<Entry*>::is_always_lock_free);

std::atomic<Entry*> entries{nullptr};

// A free entry, claimed for the caller; a new one when none is free.
Entry* ClaimEntry() {
  for (Entry* e = entries.load(std::memory_order_acquire); e != nullptr; e = e->next) {
    int expected = kFree;
    if (e->state.load(std::memory_order_relaxed) == kFree &&
        e->state.compare_exchange_strong(expected, kClaimed))
      return e;
  }
  auto* e = new Entry;
  e->next = entries.load(std::memory_order_relaxed);
  while (!entries.compare_exchange_weak(e->next, e, std::memory_order_release)) {
  }
  return e;
}

}  // namespace

void RemoveRegisteredFiles(void (*remove)(const char* path)) {
  for (Entry* e = entries.load(std::memory_order_acquire); e != nullptr; e = e->next)
    if (e->state.load(std::memory_order_acquire) == kLive) remove(e->path);
}

bool RemoveOnTermination(const std::string& path) {
  if (path.size() >= kMaxPath || path.find('\0') != std::string::npos) return false;
  Entry* e = ClaimEntry();
  std::memcpy(e->path, path.c_str(), path.size() + 1);
  e->state.store(kLive, std::memory_order_release);
  return true;
}

void KeepOnTermination(const std::string& path) {
  for (Entry* e = entries.load(std::memory_order_acquire); e != nullptr; e = e->next) {
    if (e->state.load(std::memory_order_acquire) != kLive || path != e->path) continue;
    int expected = kLive;
    if (e->state.compare_exchange_strong(expected, kFree)) return;
  }
}

}  // namespace pithorama
