// Termination signals on POSIX. The files to delete sit in a list of entries
// that are linked once and never freed: an entry is claimed, filled and then
// marked live with atomic stores, so the handler can walk the list at any
// moment without a lock and without touching memory that may go away.
#include "platform/Signals.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/posix/SocketWatch.h"

namespace pithorama {
namespace {

enum EntryState : int { kFree, kClaimed, kLive };

struct Entry {
  std::atomic<int> state{kClaimed};
  Entry* next = nullptr;
  char path[PATH_MAX];
};

static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<Entry*>::is_always_lock_free);

std::atomic<Entry*> entries{nullptr};

constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

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

void RemoveFilesAndEnd(int signal) {
  for (Entry* e = entries.load(std::memory_order_acquire); e != nullptr; e = e->next)
    if (e->state.load(std::memory_order_acquire) == kLive) ::unlink(e->path);
  // The disposition went back to the default on entry (SA_RESETHAND); the
  // signal raised here is blocked until the handler returns, then ends the
  // process the way the sender meant.
  ::raise(signal);
}

// PostClose: the handler only writes a byte to a pipe; the pipe's read end
// is watched by the window's thread, which posts the close message from its pump.
int closePipe[2] = {-1, -1};

void WakeForClose(int) {
  const int saved = errno;
  const char byte = 1;
  ssize_t written = ::write(closePipe[1], &byte, 1);
  (void)written;  // a full pipe already holds a wake-up
  errno = saved;
}

void DrainClosePipe() {
  char bytes[64];
  while (::read(closePipe[0], bytes, sizeof bytes) > 0) {
  }
}

sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kTerminationSignals) sigaddset(&set, signal);
  return set;
}

}  // namespace

void SetTerminationAction(TTerminationAction action) {
  struct sigaction act {};
  sigemptyset(&act.sa_mask);
  if (action == TTerminationAction::RemoveFilesAndEnd) {
    act.sa_handler = RemoveFilesAndEnd;
    act.sa_flags = SA_RESETHAND;
    // One handler at a time: a second termination signal waits for the first.
    for (int signal : kTerminationSignals) sigaddset(&act.sa_mask, signal);
  } else if (action == TTerminationAction::PostClose && closePipe[1] >= 0) {
    act.sa_handler = WakeForClose;
    act.sa_flags = SA_RESTART;
  } else {
    act.sa_handler = SIG_DFL;
  }
  for (int signal : kTerminationSignals) ::sigaction(signal, &act, nullptr);
}

bool PostCloseOnTermination(TWindow window) {
  if (closePipe[0] < 0 && ::pipe2(closePipe, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  posix::ForgetReadable(closePipe[0]);
  if (!posix::WatchReadable(closePipe[0], window, [window] {
        DrainClosePipe();
        PostMessage(window, WmClose, 0, 0);
      }))
    return false;
  SetTerminationAction(TTerminationAction::PostClose);
  return true;
}

void IgnoreBrokenPipe() {
  struct sigaction act {};
  act.sa_handler = SIG_IGN;
  sigemptyset(&act.sa_mask);
  ::sigaction(SIGPIPE, &act, nullptr);
}

bool RemoveOnTermination(const std::string& path) {
  if (path.size() >= PATH_MAX || path.find('\0') != std::string::npos) return false;
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

void BlockTerminationSignals() {
  sigset_t set = TerminationSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForTerminationSignal() {
  sigset_t set = TerminationSignals();
  int signal = 0;
  while (sigwait(&set, &signal) != 0) {
  }
  return signal;
}

}  // namespace pithorama
