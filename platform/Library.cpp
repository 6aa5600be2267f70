#include "platform/Library.h"

#include "platform/Component.h"
#include "platform/Module.h"

namespace pithorama {

void EndLibrary() {
  delete Application;
  Application = nullptr;
  RunModuleEndSteps();
}

}  // namespace pithorama
