#include "pithorama/platform/Threads.h"

#include <process.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
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

unsigned __stdcall RunDetachedWork(void* argument) noexcept {
  const std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(argument));
  (*work)();
  return 0;
}

TThreadSlots& Slots() {
  static TThreadSlots slots;
  return slots;
}

}  // namespace

void SleepMs(int milliseconds) {
  if (milliseconds > 0) ::Sleep(static_cast<DWORD>(milliseconds));
}

void StartDetachedThread(std::function<void()> work) {
  auto owned = std::make_unique<std::function<void()>>(std::move(work));
  // _beginthreadex rather than CreateThread: the C runtime sets up its
  // per-thread data for the thread and frees it when the thread ends.
  const uintptr_t thread = _beginthreadex(nullptr, 0, RunDetachedWork, owned.get(), 0, nullptr);
  if (thread == 0) throw std::system_error(errno, std::generic_category(), "thread not started");
  owned.release();  // the thread owns it now
  CloseHandle(reinterpret_cast<HANDLE>(thread));
}

unsigned long NewThreadSlot(TThreadSlotDestroy destroy) { return Slots().Add(destroy); }

void* GetThreadSlot(unsigned long slot) { return FlsGetValue(slot); }

void SetThreadSlot(unsigned long slot, void* value) {
  if (!FlsSetValue(slot, value)) throw std::bad_alloc();
}

}  // namespace pithorama
