// The running module: program or shared library, its file name, and the
// ordered start and end steps of the modules of the system.
#pragma once

#include <initializer_list>
#include <string>

namespace pithorama {

// True when the code runs inside a shared library loaded by a server.
bool IsLibrary();
void SetLibraryMode(bool library);

// Full file name of the running module: the shared library's own file in
// library mode, else the program file.
std::string ModuleFileName();
// Full file name of the process's program file, in either mode.
std::string ExecutableFileName();

// One module's start and end steps. Start steps run in list order; the end
// steps of the started modules run in reverse order when the program ends
// through Halt or returns from main through RunModuleEndSteps. A module
// counts as started once its start step begins, so a start step that ends
// the program through Halt has its own end step run too.
struct ModuleSteps {
  const char* name;
  void (*start)();
  void (*end)();
};
void StartModules(std::initializer_list<ModuleSteps> modules);
void RunModuleEndSteps();

// Ends the process through the normal end: module end steps, then exit.
[[noreturn]] void Halt(int exitCode);

}  // namespace pithorama
