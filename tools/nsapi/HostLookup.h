// How the stand-in server library reaches the connections of the host process
// that loaded it: through the host's exported nsapi_host_find. A shared
// object resolves that name against the program when it is loaded; a Windows
// DLL cannot leave a name open, so it asks the program file for it at run
// time. One source file per system implements this.
#pragma once

#include "tools/nsapi/NsapiServer.h"

namespace nsapiserver {

// The host's connection of that socket; false when the host does not know
// it (or, on Windows, when the program exports no nsapi_host_find).
bool FindHostConnection(SYS_NETFD sd, nsapi_host_connection& found);

}  // namespace nsapiserver
