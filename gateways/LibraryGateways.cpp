#include "gateways/LibraryGateways.h"

#include "gateways/IsapiEng.h"
#include "gateways/NsapiExp.h"
#include "platform/Module.h"

namespace pithorama {

void StartLibraryGateways() {
  StartModules({
      {"NsapiEng", NsapiEngStart, nullptr},
      {"IsapiEng", IsapiEngStart, nullptr},
  });
}

}  // namespace pithorama
