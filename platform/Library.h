// Shared libraries: loading one by its path (the stand-in hosts do), and the
// start and end of a library built from the system's sources.
//
//   TDynamicLibrary library;
//   if (!library.Load("/srv/lib/app.so")) Fail(library.ErrorText());
//   auto proc = reinterpret_cast<Proc>(library.Symbol("HttpExtensionProc"));
//
// A library build defines LibraryStart (its start-up list and its forms) and
// links the platform's library hook (CMake target library_hook): loading the
// library switches the process's module to library mode, the first call of
// any entry point runs LibraryStart through EnsureLibraryStarted (once, also
// when several server threads call at once), and unloading the library runs
// EndLibrary.
#pragma once

#include <string>

#if defined(_WIN32)
#define PITHORAMA_EXPORT __declspec(dllexport)
#else
#define PITHORAMA_EXPORT __attribute__((visibility("default")))
#endif

namespace pithorama {

class TDynamicLibrary {
 public:
  TDynamicLibrary() = default;
  ~TDynamicLibrary() { Unload(); }
  TDynamicLibrary(const TDynamicLibrary&) = delete;
  TDynamicLibrary& operator=(const TDynamicLibrary&) = delete;

  // Loads the library at `path` with its symbols resolved at once; false
  // with ErrorText() set when it cannot be loaded.
  bool Load(const std::string& path);
  // The address of an exported symbol, or nullptr.
  void* Symbol(const char* name) const;
  void Unload();
  const std::string& ErrorText() const { return errorText_; }

 private:
  void* handle_ = nullptr;
  std::string errorText_;
};

// Defined by each library build: runs the start-up list and creates the forms.
// A failure it raises is reported on standard error and leaves the library
// without forms (its entry points then refuse their work).
void LibraryStart();

// Runs LibraryStart once; every exported entry point calls it first. Part of
// library_hook.
void EnsureLibraryStarted();

// Frees the application object with its forms and runs the end steps of the
// started modules, last first. Safe to call more than once.
void EndLibrary();

}  // namespace pithorama
