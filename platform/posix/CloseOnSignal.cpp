// The handler only writes a byte to a pipe (the one thing a signal handler
// may safely do here); the pipe's read end is watched by the window's thread,
// which posts the close message from its pump.
#include "platform/CloseOnSignal.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/SocketWatch.h"

namespace pithorama {

namespace {

int signalPipe[2] = {-1, -1};

void OnCloseSignal(int) {
  const int saved = errno;
  const char byte = 1;
  ssize_t written = ::write(signalPipe[1], &byte, 1);
  (void)written;  // a full pipe already holds a wake-up
  errno = saved;
}

void DrainPipe() {
  char bytes[64];
  while (::read(signalPipe[0], bytes, sizeof bytes) > 0) {
  }
}

}  // namespace

bool PostCloseOnSignals(TWindow window) {
  if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  posix::ForgetReadable(signalPipe[0]);
  if (!posix::WatchReadable(signalPipe[0], window, [window] {
        DrainPipe();
        PostMessage(window, WmClose, 0, 0);
      }))
    return false;
  struct sigaction action {};
  action.sa_handler = OnCloseSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int number : {SIGTERM, SIGINT, SIGHUP})
    if (::sigaction(number, &action, nullptr) != 0) return false;
  return true;
}

}  // namespace pithorama
