#include "pithorama/platform/Library.h"

#include <dlfcn.h>

namespace pithorama {

bool TDynamicLibrary::Load(const std::string& path) {
  Unload();
  // Local binding: the library's own copies of the system's modules never
  // mix with those of the host or of another library.
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* error = ::dlerror();
    errorText_ = error != nullptr ? error : "cannot load " + path;
    return false;
  }
  errorText_.clear();
  return true;
}

void* TDynamicLibrary::Symbol(const char* name) const {
  return handle_ != nullptr ? ::dlsym(handle_, name) : nullptr;
}

void TDynamicLibrary::Unload() {
  if (handle_ != nullptr) ::dlclose(handle_);
  handle_ = nullptr;
}

}  // namespace pithorama
