// The start and end of a DLL built from the system's sources (DllMain).
// Linked only into library builds (CMake target library_hook).
//
// Loading only switches the module to library mode: DllMain runs under the
// loader's lock, where starting threads, creating windows or loading other
// DLLs may dead-lock. The start-up list and the forms wait for the first
// entry-point call, as on POSIX.
#include <cstdio>
#include <exception>
#include <mutex>

#include "pithorama/platform/Library.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/win32/WindowsApi.h"

namespace {

void ReportStartFailure(const char* what) {
  std::fprintf(stderr, "%s: library start failed: %s\n", pithorama::ModuleFileName().c_str(), what);
}

bool started = false;

}  // namespace

namespace pithorama {

void EnsureLibraryStarted() {
  static std::once_flag once;
  std::call_once(once, [] {
    try {
      LibraryStart();
    } catch (const std::exception& error) {
      ReportStartFailure(error.what());
    } catch (...) {
      ReportStartFailure("unknown error");
    }
    started = true;
  });
}

}  // namespace pithorama

// FreeLibrary ends the library: its forms go and the end steps run, on the
// thread that unloads it. When the whole process ends (reserved is set), the
// system has already stopped every other thread, perhaps inside a lock of
// ours, so nothing is run then: the process's end frees everything.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    ::DisableThreadLibraryCalls(module);
    pithorama::SetLibraryMode(true);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr && started) {
    try {
      pithorama::EndLibrary();
    } catch (...) {
      // Unloading goes on whatever a module's end step did.
    }
  }
  return TRUE;
}
