// Termination on Windows: the console's control events (Ctrl-C, Ctrl-Break,
// a closed console window, log-off, shut-down) and SIGTERM raised inside the
// process. The console calls its handlers on a thread of its own, so the
// handler here may post messages and wait; the C runtime's SIGTERM handler
// runs on the raising thread, where both come to the same actions.
#include "pithorama/platform/Signals.h"

#include <atomic>
#include <csignal>

#include "pithorama/platform/TerminationFiles.h"
#include "pithorama/platform/win32/WindowsApi.h"

namespace pithorama {
namespace {

std::atomic<TTerminationAction> action{TTerminationAction::Default};
std::atomic<TWindow> closeWindow{0};

// BlockTerminationSignals: termination only sets the event and records its number.
std::atomic<bool> held{false};
std::atomic<int> heldNumber{0};
HANDLE heldEvent = nullptr;

// The number a console event stands for, as the C runtime numbers signals.
int SignalNumber(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      return SIGINT;
    case CTRL_BREAK_EVENT:
      return SIGBREAK;
    default:
      return SIGTERM;
  }
}

// True when the termination was handled and the process goes on (until it
// ends through its own clean-up); false when it is to end the default way.
bool Terminate(int number) {
  if (held.load()) {
    heldNumber.store(number);
    ::SetEvent(heldEvent);
    return true;
  }
  switch (action.load()) {
    case TTerminationAction::RemoveFilesAndEnd:
      RemoveRegisteredFiles([](const char* path) { ::DeleteFileA(path); });
      return false;
    case TTerminationAction::PostClose:
      return PostMessage(closeWindow.load(), WmClose, 0, 0);
    case TTerminationAction::Default:
      break;
  }
  return false;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (!Terminate(SignalNumber(event))) return FALSE;
  // After a closed console, a log-off or a shut-down the process ends as
  // soon as this handler returns: give its own clean-up the few seconds the
  // system allows before it ends the process anyway.
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) ::Sleep(4000);
  return TRUE;
}

void OnRaisedTermination(int number) {
  // The C runtime set the default back on entry: raising again ends the
  // process the default way.
  if (!Terminate(number)) {
    std::raise(number);
    return;
  }
  std::signal(number, OnRaisedTermination);
}

void InstallHandlers() {
  static std::atomic<bool> installed{false};
  if (installed.exchange(true)) return;
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace

void SetTerminationAction(TTerminationAction chosen) {
  InstallHandlers();
  action.store(chosen);
  std::signal(SIGTERM, chosen == TTerminationAction::Default ? SIG_DFL : OnRaisedTermination);
}

bool PostCloseOnTermination(TWindow window) {
  closeWindow.store(window);
  SetTerminationAction(TTerminationAction::PostClose);
  return true;
}

// Windows has no signal for a gone reader: such a write fails with an error.
void IgnoreBrokenPipe() {}

void BlockTerminationSignals() {
  if (heldEvent == nullptr) heldEvent = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  held.store(true);
  InstallHandlers();
  std::signal(SIGTERM, OnRaisedTermination);
}

int WaitForTerminationSignal() {
  ::WaitForSingleObject(heldEvent, INFINITE);
  return heldNumber.load();
}

bool IsHangUpSignal(int signal) {
  (void)signal;
  return false;
}

}  // namespace pithorama
