// Where a web server's own function library is found, for gateways that bind
// the server's functions at run time instead of linking against the server.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pithorama {

// The socket of a connection in a web server's own records: a file descriptor
// on POSIX servers, a socket handle on Windows servers.
#if defined(_WIN32)
using TServerSocket = uintptr_t;
#else
using TServerSocket = int;
#endif

// Windows: the system folder, "\" and windowsName. POSIX: the file named by
// the environment variable envName when it is set and not empty, else
// posixName in the folder of the running module (the library the server
// loaded), so that a server's function library installed beside it is found.
std::string ServerLibraryPath(std::string_view windowsName, std::string_view posixName,
                              std::string_view envName);

}  // namespace pithorama
