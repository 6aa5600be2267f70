// Termination signals on POSIX. The handlers delete the registered files
// through RemoveRegisteredFiles, which is safe inside a signal handler.
#include "pithorama/platform/Signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "pithorama/platform/TerminationFiles.h"
#include "pithorama/platform/posix/SocketWatch.h"

namespace pithorama {
namespace {

constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

void RemoveFilesAndEnd(int signal) {
  RemoveRegisteredFiles([](const char* path) { ::unlink(path); });
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

bool IsHangUpSignal(int signal) { return signal == SIGHUP; }

}  // namespace pithorama
