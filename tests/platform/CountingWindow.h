// A window that counts the messages it gets, for the tests of the platform
// services that post messages.
#pragma once

#include <chrono>

#include "pithorama/platform/Messages.h"

namespace pithorama {

constexpr unsigned WmChanged = WmUser + 7;

// A window that counts the messages it gets.
struct CountingWindow {
  CountingWindow() {
    handle = CreateMessageWindow([this](unsigned message, uintptr_t, intptr_t) -> intptr_t {
      if (message == WmChanged) ++changes;
      if (message == WmClose) ++closes;
      return 0;
    });
  }
  ~CountingWindow() { DestroyMessageWindow(handle); }
  // Pumps until `done` or the bounded wait is over.
  template <class Done>
  void PumpUntil(Done done, int boundMs = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
    while (!done() && std::chrono::steady_clock::now() < end) {
      WaitForMessage(50);
      DispatchMessages();
    }
  }
  TWindow handle;
  int changes = 0;
  int closes = 0;
};

}  // namespace pithorama
