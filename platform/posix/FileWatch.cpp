// The watch is an inotify descriptor on the file's folder, so that it lives
// on when the file is deleted and made anew; events for other names in the
// folder are read and dropped. IN_CLOSE_WRITE is left out on purpose: every
// open for writing gives one, even without a write, and a watcher that opens
// the file itself would wake itself for ever.
#include "pithorama/platform/FileWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>

#include "pithorama/platform/Paths.h"
#include "pithorama/platform/posix/SocketWatch.h"

namespace pithorama {

namespace {

constexpr uint32_t kChanges = IN_MODIFY | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

// Reads every queued event; true when one of them names `name`.
bool DrainEvents(int handle, const std::string& name) {
  alignas(inotify_event) char buffer[4096];
  bool matched = false;
  for (;;) {
    ssize_t got = ::read(handle, buffer, sizeof buffer);
    if (got <= 0) return matched;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && name == event->name) matched = true;
      if (event->mask & IN_Q_OVERFLOW) matched = true;  // events were lost: look anyway
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

}  // namespace

TFileWatch::~TFileWatch() { Stop(); }

bool TFileWatch::Start(const std::string& path, TWindow window, unsigned message) {
  Stop();
  std::string folder = ExtractFilePath(path);
  if (folder.empty()) folder = "./";
  const std::string name = ExtractFileName(path);
  handle_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (handle_ < 0) return false;
  const int handle = handle_;
  bool watching = ::inotify_add_watch(handle, folder.c_str(), kChanges | IN_ONLYDIR) >= 0 &&
                  posix::WatchReadable(handle, window, [handle, name, window, message] {
                    if (DrainEvents(handle, name)) PostMessage(window, message, 0, 0);
                  });
  if (!watching) Stop();
  return watching;
}

void TFileWatch::Stop() {
  if (handle_ < 0) return;
  posix::ForgetReadable(handle_);
  ::close(handle_);
  handle_ = -1;
}

}  // namespace pithorama
