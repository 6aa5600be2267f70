#include "tools/nsapi/HostLookup.h"

namespace nsapiserver {

bool FindHostConnection(SYS_NETFD sd, nsapi_host_connection& found) {
  return nsapi_host_find(sd, &found) != 0;
}

}  // namespace nsapiserver
