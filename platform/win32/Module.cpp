#include "pithorama/platform/Module.h"

#include <string>

#include "pithorama/platform/win32/WindowsApi.h"

namespace pithorama {

// The full file name of a loaded module (nullptr: the program file). Long
// names are read again with a larger buffer.
static std::string FileNameOf(HMODULE module) {
  std::string name(MAX_PATH, '\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameA(module, name.data(), static_cast<DWORD>(name.size()));
    if (n == 0) return {};
    if (n < name.size()) {
      name.resize(n);
      return name;
    }
    name.resize(name.size() * 2);
  }
}

std::string ExecutableFileName() { return FileNameOf(nullptr); }

std::string ModuleFileName() {
  if (!IsLibrary()) return ExecutableFileName();
  // The DLL that holds this very function.
  HMODULE self = nullptr;
  const DWORD flags =
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  if (::GetModuleHandleExA(flags, reinterpret_cast<LPCSTR>(&ModuleFileName), &self))
    return FileNameOf(self);
  return ExecutableFileName();
}

}  // namespace pithorama
