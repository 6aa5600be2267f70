#include "platform/Module.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace pithorama {

static bool libraryMode = false;
bool IsLibrary() { return libraryMode; }
void SetLibraryMode(bool library) { libraryMode = library; }

std::string ExecutableFileName() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

std::string ModuleFileName() {
  if (!libraryMode) return ExecutableFileName();
  // The shared object that holds this very function.
  Dl_info info;
  if (::dladdr(reinterpret_cast<void*>(&ModuleFileName), &info) != 0 && info.dli_fname != nullptr) {
    char resolved[PATH_MAX];
    if (::realpath(info.dli_fname, resolved) != nullptr) return resolved;
    return info.dli_fname;
  }
  return ExecutableFileName();
}

static std::vector<ModuleSteps>& Started() {
  static std::vector<ModuleSteps> started;
  return started;
}

void StartModules(std::initializer_list<ModuleSteps> modules) {
  for (const ModuleSteps& module : modules) {
    if (module.start != nullptr) module.start();
    Started().push_back(module);
  }
}

void RunModuleEndSteps() {
  auto& started = Started();
  while (!started.empty()) {
    ModuleSteps module = started.back();
    started.pop_back();
    if (module.end != nullptr) module.end();
  }
}

void Halt(int exitCode) {
  RunModuleEndSteps();
  std::exit(exitCode);
}

}  // namespace pithorama
