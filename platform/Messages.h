// Per-thread message queue: windows with a procedure and an owning thread,
// posted messages, timers and socket readiness all feed the queue of the
// thread that owns the target window.
//
//   TWindow w = CreateMessageWindow([](unsigned msg, uintptr_t wParam, intptr_t lParam) {
//     if (msg == WmTimer) ...;
//     return DefWindowProcedure(msg, wParam, lParam);
//   });
//   SetTimer(w, 1, 500);          // WmTimer with wParam 1 every 500 ms
//   PostMessage(w, WmUser, 7, 0); // from any thread; wakes the owner
//   for (;;) { WaitForMessage(-1); DispatchMessages(); }
//
// Pumping. A thread's queue is made the first time the thread creates a window
// or pumps. Pumping once (DispatchMessages) delivers, on the calling thread and
// in this order: the messages posted before the call, the socket notifications
// that are ready at the call, and each timer that is due (once, however late).
// Window procedures run with no lock of this module held, so they may post,
// create and destroy windows and set timers. A message for a window destroyed
// meanwhile is dropped.
//
// A thread that owns no window (a worker that creates no component) has an
// empty queue: DispatchMessages returns at once and WaitForMessage only
// sleeps until its time-out, since nothing can be posted to it.
#pragma once

#include <cstdint>
#include <functional>

namespace pithorama {

// A window handle; 0 is no window. Handles are never reused within a process.
using TWindow = uintptr_t;

// A window procedure: runs on the owning thread for every message delivered to
// the window and answers the message's result.
using TWindowProc = std::function<intptr_t(unsigned message, uintptr_t wParam, intptr_t lParam)>;

// Message numbers. Numbers from WmUser on are free for components.
constexpr unsigned WmClose = 0x0010;
constexpr unsigned WmTimer = 0x0113;
constexpr unsigned WmUser = 0x0400;

// Creates a hidden window owned by the calling thread. The procedure is called
// for each message delivered to it until DestroyMessageWindow.
TWindow CreateMessageWindow(TWindowProc procedure);
// Destroys a window, its timers and its socket watches. Call it on the owning
// thread; a window that does not exist is ignored.
void DestroyMessageWindow(TWindow window);
// True when the window exists and the calling thread owns it.
bool IsWindowOfCallingThread(TWindow window);

// The result of a message that a procedure does not handle: 0.
intptr_t DefWindowProcedure(unsigned message, uintptr_t wParam, intptr_t lParam);

// Queues a message for the window and wakes its owning thread. Safe from any
// thread. False when the window does not exist.
bool PostMessage(TWindow window, unsigned message, uintptr_t wParam, intptr_t lParam);

// Delivers WmTimer (wParam = id) to the window every intervalMs milliseconds
// (at least 1) until KillTimer; setting an existing id restarts it. Call on the
// owning thread. False when the window does not exist.
bool SetTimer(TWindow window, uintptr_t id, unsigned intervalMs);
bool KillTimer(TWindow window, uintptr_t id);

// Delivers every message of the calling thread's queue that is due now
// (posted messages, expired timers, ready sockets); never waits.
void DispatchMessages();

// Blocks the calling thread until a message is due for it or timeoutMs
// milliseconds have passed (-1: no limit). Delivers nothing itself.
void WaitForMessage(int timeoutMs);

}  // namespace pithorama
