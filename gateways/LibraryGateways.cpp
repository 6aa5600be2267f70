#include "gateways/LibraryGateways.h"

#include "gateways/IsapiEng.h"
#include "platform/Module.h"

namespace pithorama {

void StartLibraryGateways() {
  StartModules({
      {"IsapiEng", IsapiEngStart, nullptr},
  });
}

}  // namespace pithorama
