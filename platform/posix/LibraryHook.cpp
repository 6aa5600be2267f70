// The load and unload hooks of a shared library built from the system's
// sources. Linked only into library builds (CMake target library_hook): the
// dynamic loader runs them when the library is loaded and unloaded.
#include <cstdio>
#include <exception>

#include "platform/Library.h"
#include "platform/Module.h"

namespace {

__attribute__((constructor)) void OnLibraryLoad() {
  pithorama::SetLibraryMode(true);
  try {
    pithorama::LibraryStart();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: library start failed: %s\n", pithorama::ModuleFileName().c_str(),
                 error.what());
  } catch (...) {
    std::fprintf(stderr, "%s: library start failed\n", pithorama::ModuleFileName().c_str());
  }
}

__attribute__((destructor)) void OnLibraryUnload() {
  try {
    pithorama::EndLibrary();
  } catch (...) {
    // Unloading goes on whatever a module's end step did.
  }
}

}  // namespace
