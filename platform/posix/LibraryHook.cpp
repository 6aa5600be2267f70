// The start and end of a shared library built from the system's sources.
// Linked only into library builds (CMake target library_hook).
//
// The loader's hook only switches the module to library mode. The start-up
// list and the forms wait for the first entry-point call: when the loader runs
// its hooks, the library's own static objects (the message queue's tables and
// the like) are not all constructed yet, in an order no file controls.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>

#include "pithorama/platform/Library.h"
#include "pithorama/platform/Module.h"

namespace {

__attribute__((constructor)) void OnLibraryLoad() { pithorama::SetLibraryMode(true); }

void ReportStartFailure(const char* what) {
  std::fprintf(stderr, "%s: library start failed: %s\n", pithorama::ModuleFileName().c_str(), what);
}

}  // namespace

namespace pithorama {

void EnsureLibraryStarted() {
  static std::once_flag started;
  std::call_once(started, [] {
    try {
      LibraryStart();
    } catch (const std::exception& error) {
      ReportStartFailure(error.what());
    } catch (...) {
      ReportStartFailure("unknown error");
    }
    // Registered after the library's static objects exist, so it runs before
    // they go, when the library is unloaded or the process ends.
    std::atexit([] {
      try {
        EndLibrary();
      } catch (...) {
        // Unloading goes on whatever a module's end step did.
      }
    });
  });
}

}  // namespace pithorama
