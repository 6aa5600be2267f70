#include "pithorama/platform/Library.h"

#include "pithorama/platform/Component.h"
#include "pithorama/platform/Module.h"

namespace pithorama {

void EndLibrary() {
  delete Application;
  Application = nullptr;
  RunModuleEndSteps();
}

}  // namespace pithorama
