#include "pithorama/platform/Library.h"

#include "pithorama/platform/Files.h"
#include "pithorama/platform/win32/WindowsApi.h"

namespace pithorama {

bool TDynamicLibrary::Load(const std::string& path) {
  Unload();
  handle_ = ::LoadLibraryA(path.c_str());
  if (handle_ == nullptr) {
    const int code = static_cast<int>(::GetLastError());
    errorText_ = path + ": " + SystemErrorText(code);
    return false;
  }
  errorText_.clear();
  return true;
}

void* TDynamicLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void TDynamicLibrary::Unload() {
  if (handle_ != nullptr) ::FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

}  // namespace pithorama
