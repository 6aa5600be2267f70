#include <windows.h>

#include "tools/nsapi/HostLookup.h"

namespace nsapiserver {

namespace {

using TFind = int (*)(SYS_NETFD, nsapi_host_connection*);

// The program's export, looked up once: the program file stays loaded for as
// long as the process runs.
TFind HostFind() {
  static const TFind find =
      reinterpret_cast<TFind>(GetProcAddress(GetModuleHandleA(nullptr), "nsapi_host_find"));
  return find;
}

}  // namespace

bool FindHostConnection(SYS_NETFD sd, nsapi_host_connection& found) {
  TFind find = HostFind();
  return find != nullptr && find(sd, &found) != 0;
}

}  // namespace nsapiserver
