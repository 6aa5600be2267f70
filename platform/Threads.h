// Locks, pauses and values kept per thread.
#pragma once

#include <functional>
#include <mutex>

namespace pithorama {

// A critical section: one thread at a time holds it, and the thread that holds
// it may enter it again; it is free again after as many Leave calls as Enter
// calls. A gateway may derive its own kind of lock (a server's critical
// section) and tell it apart by its type.
class TLock {
 public:
  virtual ~TLock() = default;
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

void SleepMs(int milliseconds);

// Runs `work` on a thread of its own that nobody waits for; the thread ends
// when `work` returns. Used instead of std::thread::detach: with the Windows
// toolchain's thread library a thread that ended before it was let go could
// pass its own bookkeeping on to the next thread started, which then ended
// without running its work (a resident request or a FastCGI connection that
// was never served). There the thread is the system's own.
void StartDetachedThread(std::function<void()> work);

#ifdef _WIN32
// A slot of per-thread values whose `destroy` runs with a thread's value when
// that thread ends (and, in a library, when the library is unloaded).
using TThreadSlotDestroy = void (*)(void*);
unsigned long NewThreadSlot(TThreadSlotDestroy destroy);
void* GetThreadSlot(unsigned long slot);
void SetThreadSlot(unsigned long slot, void* value);
#endif

// The calling thread's own T, made at its first use on the thread and
// destroyed when the thread ends; `Tag` tells apart two values of one type.
// Used instead of a thread_local object with a destructor: the Windows
// toolchain frees a thread's thread_local storage before it runs those
// destructors, so every thread that ended destroyed freed memory (seen as a
// crash of the FastCGI gateway when its connection threads ended). There the
// value lives on the heap in a slot of the system's own.
template <class T, class Tag = T>
T& ThreadLocal() {
#ifdef _WIN32
  static const unsigned long slot =
      NewThreadSlot([](void* value) { delete static_cast<T*>(value); });
  void* value = GetThreadSlot(slot);
  if (value == nullptr) {
    value = new T();
    SetThreadSlot(slot, value);
  }
  return *static_cast<T*>(value);
#else
  thread_local T value;
  return value;
#endif
}

}  // namespace pithorama
