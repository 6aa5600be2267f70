#include "pithorama/platform/Module.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace pithorama {

std::string ExecutableFileName() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

std::string ModuleFileName() {
  if (!IsLibrary()) return ExecutableFileName();
  // The shared object that holds this very function.
  Dl_info info;
  if (::dladdr(reinterpret_cast<void*>(&ModuleFileName), &info) != 0 && info.dli_fname != nullptr) {
    char resolved[PATH_MAX];
    if (::realpath(info.dli_fname, resolved) != nullptr) return resolved;
    return info.dli_fname;
  }
  return ExecutableFileName();
}

}  // namespace pithorama
