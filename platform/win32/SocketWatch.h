// Glue between the message queue of the Windows back end and the services
// that feed it: the socket layer, whose notifications arrive as window
// messages posted by Winsock, and waitable events (a folder watch) that the
// owning thread looks at while it pumps and waits. Handles are void* here so
// that this header stays free of <windows.h>.
#pragma once

#include <functional>

#include "pithorama/platform/Messages.h"

namespace pithorama::win32 {

// The Win32 window of one of our windows; nullptr when it does not exist.
void* NativeWindow(TWindow window);

// Winsock posts a socket's notifications with a message number of this range
// that belongs to the socket until it is closed (see Sockets.cpp).
constexpr unsigned FirstSocketMessage = 0xA000;
constexpr unsigned LastSocketMessage = 0xBFFF;

// Called on the owning thread for a notification Winsock posted to `window`.
// Answers true with `message` and `lParam` set to what the window's procedure
// is to get, or false when the notification is to be dropped (its socket was
// closed, or nothing it announces is left to act on).
bool TranslateSocketNotification(TWindow window, unsigned& message, uintptr_t wParam,
                                 intptr_t& lParam);

// The number of the calling thread's current pump (DispatchMessages call);
// a new number each time.
unsigned long PumpNumber();

// The window is being destroyed: its sockets stop notifying.
void ForgetSocketsOfWindow(TWindow window);

// Calls `onSignaled` on the thread that owns `window`, from its pump, each time
// the event (a manual-reset or auto-reset event handle) is signaled; the
// handler must reset or re-arm it. WaitForMessage wakes when it is signaled.
// The watch ends with ForgetEvent or when the window is destroyed. False when
// the window does not exist.
bool WatchEvent(void* event, TWindow window, std::function<void()> onSignaled);
void ForgetEvent(void* event);

}  // namespace pithorama::win32
