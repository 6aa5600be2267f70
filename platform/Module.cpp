// Library mode and the start and end steps of the modules, alike on every
// back end.
#include "pithorama/platform/Module.h"

#include <cstdlib>
#include <vector>

namespace pithorama {

static bool libraryMode = false;
bool IsLibrary() { return libraryMode; }
void SetLibraryMode(bool library) { libraryMode = library; }

static std::vector<ModuleSteps>& Started() {
  static std::vector<ModuleSteps> started;
  return started;
}

void StartModules(std::initializer_list<ModuleSteps> modules) {
  for (const ModuleSteps& module : modules) {
    // Counted as started before its start step runs: a step that ends the
    // program (a resident client once it has relayed its answer) still has
    // its end step run, after the later modules' and before the earlier ones'.
    Started().push_back(module);
    if (module.start != nullptr) module.start();
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
