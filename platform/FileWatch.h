// A wake-up when a file changes: its content is written, or it is created,
// deleted or renamed. Changes of its times alone (a touch) do not count.
//
//   TWindow w = CreateMessageWindow(...);
//   TFileWatch watch;
//   watch.Start(folder + "/queue", w, WmUser + 1);  // WmUser + 1 after each change
//
// The message goes to the window's thread like any posted message, so a
// thread waiting in WaitForMessage wakes at once. Changes that come close
// together may give one message: the receiver looks at the file again rather
// than counting messages.
#pragma once

#include <string>

#include "pithorama/platform/Messages.h"

namespace pithorama {

class TFileWatch {
 public:
  TFileWatch() = default;
  ~TFileWatch();
  TFileWatch(const TFileWatch&) = delete;
  TFileWatch& operator=(const TFileWatch&) = delete;

  // Watches the file at `path` (which need not exist yet; its folder must).
  // Call on the thread that owns `window`. False when the watch could not be
  // made: the caller then relies on polling alone.
  bool Start(const std::string& path, TWindow window, unsigned message);
  void Stop();

 private:
  int handle_ = -1;
};

}  // namespace pithorama
