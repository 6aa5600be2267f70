// A title is the text of a hidden top-level window that the process creates
// for it; WindowTitleExists looks for it with FindWindowExA, which sees the
// top-level windows of every process on the user's desktop. A process that
// ends takes its windows with it. The window is a real top-level one, not a
// message-only window: those are not meant to be found by title (Wine finds
// them nevertheless), and the search must behave the same everywhere.
#include "pithorama/platform/WindowTitle.h"

#define WIN32_LEAN_AND_MEAN  // <windows.h> without the old winsock.h
#include <windows.h>
#undef DeleteFile
#undef PostMessage

#include <cstdio>

namespace pithorama {
namespace {

LRESULT CALLBACK TitleProcedure(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(handle, message, wParam, lParam);
}

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&TitleProcedure), &module);
  return module;
}

// Named after the procedure's address for the same reason as the class of
// the message windows (Messages.cpp).
const char* RegisteredClass() {
  static char name[64];
  static const bool registered = [] {
    std::snprintf(name, sizeof name, "pithorama.title.%p",
                  reinterpret_cast<void*>(&TitleProcedure));
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = TitleProcedure;
    windowClass.hInstance = ThisModule();
    windowClass.lpszClassName = name;
    return RegisterClassExA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  return registered ? name : nullptr;
}

// FindWindowExA compares titles without regard to case; the title must match exactly.
bool HasExactTitle(HWND window, const std::string& title) {
  std::string text(title.size() + 2, '\0');
  int length = GetWindowTextA(window, text.data(), static_cast<int>(text.size()));
  return length >= 0 && text.compare(0, static_cast<size_t>(length), title) == 0 &&
         static_cast<size_t>(length) == title.size();
}

}  // namespace

// The window belongs to the calling thread, which should be the one that
// pumps messages (the program's main thread), so that messages other
// programs send to all top-level windows get an answer.
bool TWindowTitle::Set(const std::string& title) {
  Clear();
  const char* windowClass = RegisteredClass();
  if (windowClass == nullptr) return false;
  HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, windowClass, title.c_str(), WS_OVERLAPPED, 0, 0,
                                0, 0, nullptr, nullptr, ThisModule(), nullptr);
  window_ = reinterpret_cast<uintptr_t>(window);
  return window != nullptr;
}

// Only the owning thread may destroy a window; from another thread the window
// is asked to close and goes when its thread next pumps.
void TWindowTitle::Clear() {
  if (window_ == 0) return;
  HWND window = reinterpret_cast<HWND>(window_);
  window_ = 0;
  if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId())
    DestroyWindow(window);
  else
    PostMessageA(window, WM_CLOSE, 0, 0);
}

bool WindowTitleExists(const std::string& title) {
  for (HWND window = FindWindowExA(nullptr, nullptr, nullptr, title.c_str()); window != nullptr;
       window = FindWindowExA(nullptr, window, nullptr, title.c_str()))
    if (HasExactTitle(window, title)) return true;
  return false;
}

}  // namespace pithorama
