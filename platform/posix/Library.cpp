#include "platform/Library.h"

#include <dlfcn.h>

namespace pithorama {

TDynamicLibrary::~TDynamicLibrary() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

bool TDynamicLibrary::Load(const std::string& path) {
  ::dlerror();
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ != nullptr) return true;
  const char* reason = ::dlerror();
  errorText_ = reason != nullptr ? reason : "unknown error";
  return false;
}

void* TDynamicLibrary::Symbol(const char* name) const {
  return handle_ != nullptr ? ::dlsym(handle_, name) : nullptr;
}

}  // namespace pithorama
