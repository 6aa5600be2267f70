#include "pithorama/platform/Threads.h"

#include <time.h>

#include <cerrno>
#include <thread>

namespace pithorama {

void SleepMs(int milliseconds) {
  if (milliseconds <= 0) return;
  struct timespec rest = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (::nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

void StartDetachedThread(std::function<void()> work) { std::thread(std::move(work)).detach(); }

}  // namespace pithorama
