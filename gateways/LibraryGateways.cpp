#include "pithorama/gateways/LibraryGateways.h"

#include "pithorama/gateways/isapi/IsapiEng.h"
#include "pithorama/gateways/nsapi/NsapiExp.h"
#include "pithorama/platform/Module.h"

namespace pithorama {

void StartLibraryGateways() {
  StartModules({
      {"NsapiEng", NsapiEngStart, nullptr},
      {"IsapiEng", IsapiEngStart, nullptr},
  });
}

}  // namespace pithorama
