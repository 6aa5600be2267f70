// Shared libraries loaded at run time.
#pragma once

#include <string>

namespace pithorama {

// A loaded shared library; unloaded with the object.
class TDynamicLibrary {
 public:
  TDynamicLibrary() = default;
  ~TDynamicLibrary();
  TDynamicLibrary(const TDynamicLibrary&) = delete;
  TDynamicLibrary& operator=(const TDynamicLibrary&) = delete;

  // Loads the library at `path`; on failure answers false and keeps the
  // loader's reason in ErrorText().
  bool Load(const std::string& path);
  // The address of an exported symbol, or nullptr.
  void* Symbol(const char* name) const;
  const std::string& ErrorText() const { return errorText_; }

 private:
  void* handle_ = nullptr;
  std::string errorText_;
};

}  // namespace pithorama
