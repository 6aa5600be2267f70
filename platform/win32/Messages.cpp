// The message queue on Windows is the thread's own Win32 queue. Each of our
// windows is a hidden message-only window of a class whose procedure finds
// the window's TWindowProc; posting is PostMessageA, timers are SetTimer, and
// Winsock posts socket notifications to the same queue (Sockets.cpp).
//
// Two rules of the queue need care on Win32:
// - Window handles: a TWindow is a number of our own that never repeats; the
//   table below maps it to the Win32 handle, which the system may hand out
//   again after a window is gone. A message for a window destroyed meanwhile
//   finds no entry and is dropped.
// - "Messages posted before the call": Win32 would go on delivering what the
//   procedures post while the queue is being pumped. A pump therefore posts a
//   marker to its own thread first and stops when the marker comes out; what
//   was posted after it waits for the next pump. Timers come last: Win32 makes
//   WM_TIMER only when no posted message is left, once however late.
#define WIN32_LEAN_AND_MEAN  // <windows.h> without the old winsock.h
#include <windows.h>
#undef DeleteFile
#undef PostMessage

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "pithorama/platform/Messages.h"
#include "pithorama/platform/Threads.h"
#include "pithorama/platform/win32/SocketWatch.h"

namespace pithorama {
namespace {

// A thread message that marks where a pump began; wParam is its number.
constexpr UINT kPumpMarker = 0x9F00;
// Enough for any burst a pump can meet; it bounds a pump whose marker could
// not be posted (a full queue).
constexpr int kMaxMessagesWithoutMarker = 10000;
// Win32 lets one thread wait for at most this many handles beside its queue.
constexpr size_t kMaxWaitHandles = MAXIMUM_WAIT_OBJECTS - 1;

struct WindowRecord {
  HWND handle;
  DWORD thread;
  std::shared_ptr<TWindowProc> procedure;
};

struct EventWatch {
  HANDLE event;
  TWindow window;
  DWORD thread;
  std::shared_ptr<std::function<void()>> handler;
};

std::mutex gLock;
std::unordered_map<TWindow, WindowRecord> gWindows;
std::vector<EventWatch> gEvents;
TWindow gNextWindow = 1;

// The queued message being dispatched by this thread's pump: the class
// procedure hands only that one to our procedures. Messages the system sends
// (creation, destruction, ...) go to DefWindowProcA.
thread_local const MSG* tDispatching = nullptr;
thread_local WPARAM tPumpCount = 0;
// Markers taken out of the queue by a pump nested in a window procedure; the
// pump that posted one stops when it finds it here.
std::vector<WPARAM>& MarkersSeen() {
  return ThreadLocal<std::vector<WPARAM>, struct TMarkersSeenTag>();
}

intptr_t Deliver(TWindow window, unsigned message, uintptr_t wParam, intptr_t lParam) {
  if (message >= win32::FirstSocketMessage && message <= win32::LastSocketMessage &&
      !win32::TranslateSocketNotification(window, message, wParam, lParam))
    return 0;
  std::shared_ptr<TWindowProc> procedure;
  {
    std::lock_guard<std::mutex> hold(gLock);
    auto it = gWindows.find(window);
    if (it == gWindows.end()) return 0;  // destroyed after the post
    procedure = it->second.procedure;
  }
  return *procedure ? (*procedure)(message, wParam, lParam) : 0;
}

bool IsOurs(TWindow window) {
  std::lock_guard<std::mutex> hold(gLock);
  return gWindows.count(window) != 0;
}

LRESULT CALLBACK ClassProcedure(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  const MSG* queued = tDispatching;
  auto window = static_cast<TWindow>(GetWindowLongPtrA(handle, GWLP_USERDATA));
  bool isQueued = queued != nullptr && queued->hwnd == handle && queued->message == message &&
                  queued->wParam == wParam && queued->lParam == lParam;
  // A window whose entry is gone (destroyed from another thread) ends through
  // DefWindowProcA's handling of the WM_CLOSE posted to it.
  if (!isQueued || window == 0 || !IsOurs(window))
    return DefWindowProcA(handle, message, wParam, lParam);
  tDispatching = nullptr;  // what the procedure sends meanwhile is not queued
  return Deliver(window, message, wParam, static_cast<intptr_t>(lParam));
}

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&ClassProcedure), &module);
  return module;
}

// The class is named after the procedure's address: a library loaded twice
// into one process (classes of a library outlive its unloading) finds its own
// class, and a copy at another address registers a class of its own.
const char* ClassName() {
  static const std::string name = [] {
    char text[64];
    std::snprintf(text, sizeof text, "pithorama.window.%p",
                  reinterpret_cast<void*>(&ClassProcedure));
    return std::string(text);
  }();
  return name.c_str();
}

bool RegisterWindowClass() {
  static const bool registered = [] {
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = ClassProcedure;
    windowClass.hInstance = ThisModule();
    windowClass.lpszClassName = ClassName();
    return RegisterClassExA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  return registered;
}

HWND HandleOf(TWindow window) {
  std::lock_guard<std::mutex> hold(gLock);
  auto it = gWindows.find(window);
  return it == gWindows.end() ? nullptr : it->second.handle;
}

// Runs the handlers of this thread's events that are signaled now; the
// handlers run without the lock, since they usually post messages.
void RunSignaledEvents() {
  std::vector<std::shared_ptr<std::function<void()>>> ready;
  {
    std::lock_guard<std::mutex> hold(gLock);
    const DWORD self = GetCurrentThreadId();
    for (const EventWatch& watch : gEvents)
      if (watch.thread == self && WaitForSingleObject(watch.event, 0) == WAIT_OBJECT_0)
        ready.push_back(watch.handler);
  }
  for (const auto& handler : ready) (*handler)();
}

void DispatchQueued(const MSG& message) {
  const MSG* outer = tDispatching;
  tDispatching = &message;
  DispatchMessageA(&message);
  tDispatching = outer;
}

bool MarkerSeen(WPARAM marker) {
  std::vector<WPARAM>& seen = MarkersSeen();
  auto it = std::find(seen.begin(), seen.end(), marker);
  if (it == seen.end()) return false;
  seen.erase(it);
  return true;
}

// Delivers the messages queued before the marker (socket notifications among
// them, in the order Winsock posted them).
void DeliverPosted() {
  const WPARAM marker = ++tPumpCount;
  const bool marked = PostThreadMessageA(GetCurrentThreadId(), kPumpMarker, marker, 0) != 0;
  MSG message;
  for (int count = 0; marked || count < kMaxMessagesWithoutMarker; ++count) {
    if (marked && MarkerSeen(marker)) return;
    if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) return;
    if (message.hwnd == nullptr && message.message == kPumpMarker)
      MarkersSeen().push_back(message.wParam);
    else
      DispatchQueued(message);
  }
}

// Delivers each due timer once; a timer that comes due again while the
// procedures run waits for the next pump.
void DeliverDueTimers() {
  std::vector<std::pair<HWND, WPARAM>> delivered;
  MSG message;
  while (PeekMessageA(&message, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE)) {
    std::pair<HWND, WPARAM> timer{message.hwnd, message.wParam};
    if (std::find(delivered.begin(), delivered.end(), timer) != delivered.end()) return;
    delivered.push_back(timer);
    DispatchQueued(message);
  }
}

}  // namespace

TWindow CreateMessageWindow(TWindowProc procedure) {
  if (!RegisterWindowClass()) return 0;
  HWND handle = CreateWindowExA(0, ClassName(), "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                ThisModule(), nullptr);
  if (handle == nullptr) return 0;
  std::lock_guard<std::mutex> hold(gLock);
  TWindow window = gNextWindow++;
  SetWindowLongPtrA(handle, GWLP_USERDATA, static_cast<LONG_PTR>(window));
  gWindows[window] = {handle, GetCurrentThreadId(),
                      std::make_shared<TWindowProc>(std::move(procedure))};
  return window;
}

void DestroyMessageWindow(TWindow window) {
  std::shared_ptr<TWindowProc> procedure;  // freed after the lock is left
  WindowRecord record;
  {
    std::lock_guard<std::mutex> hold(gLock);
    auto it = gWindows.find(window);
    if (it == gWindows.end()) return;
    record = std::move(it->second);
    gWindows.erase(it);
    std::erase_if(gEvents, [window](const EventWatch& w) { return w.window == window; });
  }
  win32::ForgetSocketsOfWindow(window);
  // DestroyWindow also ends the window's timers. Only the owning thread may
  // call it; from elsewhere the window ends when its thread pumps.
  if (record.thread == GetCurrentThreadId())
    DestroyWindow(record.handle);
  else
    PostMessageA(record.handle, WM_CLOSE, 0, 0);
}

bool IsWindowOfCallingThread(TWindow window) {
  std::lock_guard<std::mutex> hold(gLock);
  auto it = gWindows.find(window);
  return it != gWindows.end() && it->second.thread == GetCurrentThreadId();
}

intptr_t DefWindowProcedure(unsigned, uintptr_t, intptr_t) { return 0; }

bool PostMessage(TWindow window, unsigned message, uintptr_t wParam, intptr_t lParam) {
  std::lock_guard<std::mutex> hold(gLock);  // the handle stays ours while we post
  auto it = gWindows.find(window);
  return it != gWindows.end() && PostMessageA(it->second.handle, message, wParam, lParam) != 0;
}

bool SetTimer(TWindow window, uintptr_t id, unsigned intervalMs) {
  HWND handle = HandleOf(window);
  return handle != nullptr && ::SetTimer(handle, id, std::max(intervalMs, 1u), nullptr) != 0;
}

bool KillTimer(TWindow window, uintptr_t id) {
  HWND handle = HandleOf(window);
  return handle != nullptr && ::KillTimer(handle, id) != 0;
}

void DispatchMessages() {
  RunSignaledEvents();
  DeliverPosted();
  DeliverDueTimers();
}

void WaitForMessage(int timeoutMs) {
  std::vector<HANDLE> events;
  {
    std::lock_guard<std::mutex> hold(gLock);
    const DWORD self = GetCurrentThreadId();
    for (const EventWatch& watch : gEvents)
      if (watch.thread == self && events.size() < kMaxWaitHandles) events.push_back(watch.event);
  }
  // MWMO_INPUTAVAILABLE: messages already in the queue (posted while the
  // last pump ran) end the wait too, not only new ones.
  MsgWaitForMultipleObjectsEx(static_cast<DWORD>(events.size()), events.data(),
                              timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs), QS_ALLINPUT,
                              MWMO_INPUTAVAILABLE);
}

namespace win32 {

void* NativeWindow(TWindow window) { return HandleOf(window); }

unsigned long PumpNumber() { return static_cast<unsigned long>(tPumpCount); }

bool WatchEvent(void* event, TWindow window, std::function<void()> onSignaled) {
  std::lock_guard<std::mutex> hold(gLock);
  auto it = gWindows.find(window);
  if (it == gWindows.end()) return false;
  std::erase_if(gEvents, [event](const EventWatch& w) { return w.event == event; });
  gEvents.push_back({event, window, it->second.thread,
                     std::make_shared<std::function<void()>>(std::move(onSignaled))});
  return true;
}

void ForgetEvent(void* event) {
  std::lock_guard<std::mutex> hold(gLock);
  std::erase_if(gEvents, [event](const EventWatch& w) { return w.event == event; });
}

}  // namespace win32
}  // namespace pithorama
