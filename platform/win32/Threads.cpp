#include "pithorama/platform/Threads.h"

#include <mutex>
#include <new>
#include <vector>

#include "pithorama/platform/win32/WindowsApi.h"

namespace pithorama {

namespace {

// The slots this module made. A library frees them when it is unloaded, so
// that no thread ending later calls a destroy function that has gone with it;
// freeing a slot destroys the values that threads still hold in it. A
// program keeps them to its end: its other threads may still use them while
// it exits.
class TThreadSlots {
 public:
  ~TThreadSlots() {
    HMODULE self = nullptr;
    const bool inLibrary = GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                              reinterpret_cast<LPCWSTR>(&NewThreadSlot), &self) &&
                           self != GetModuleHandleW(nullptr);
    if (!inLibrary) return;
    std::lock_guard<std::mutex> hold(lock_);
    for (DWORD slot : slots_) FlsFree(slot);
  }

  DWORD Add(TThreadSlotDestroy destroy) {
    const DWORD slot = FlsAlloc(destroy);
    if (slot == FLS_OUT_OF_INDEXES) throw std::bad_alloc();
    std::lock_guard<std::mutex> hold(lock_);
    slots_.push_back(slot);
    return slot;
  }

 private:
  std::mutex lock_;
  std::vector<DWORD> slots_;
};

TThreadSlots& Slots() {
  static TThreadSlots slots;
  return slots;
}

}  // namespace

void SleepMs(int milliseconds) {
  if (milliseconds > 0) ::Sleep(static_cast<DWORD>(milliseconds));
}

unsigned long NewThreadSlot(TThreadSlotDestroy destroy) { return Slots().Add(destroy); }

void* GetThreadSlot(unsigned long slot) { return FlsGetValue(slot); }

void SetThreadSlot(unsigned long slot, void* value) {
  if (!FlsSetValue(slot, value)) throw std::bad_alloc();
}

}  // namespace pithorama
