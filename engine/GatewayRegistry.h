// The gateway registry: every gateway of a build makes itself known by one
// record, and the facade (GenEng.h) walks the records in their order to decide
// which gateways serve this start. A new gateway adds its record in its module
// start step and nothing else:
//
//   RegisterGateway({"CgiStd", 40, ClaimsStandardCgiStart, CreateStdEngine});
//
// The engine layer never names a gateway; a build without one simply has no
// record for it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace pithorama {

class TComponent;
class THttpEngine;
class TGeneralHttpEngine;
struct TGatewaySettings;

// How this process was started, as the selection sees it. Read once per
// selection from the process's library mode, environment and command line.
struct TStartFacts {
  bool Library = false;  // loaded by a server as a shared library
  // "SERVER_SOFTWARE" is set (a value holding "ZB" counts as empty).
  bool ServerSoftware = false;
  // "CGI_VERSION", upper-cased, holds "WIN": a Windows CGI server.
  bool WindowsCgiVersion = false;
  bool Arguments = false;  // the command line has at least one argument
  // "GATEWAY_INTERFACE" or "REQUEST_METHOD" is set: the environment carries a
  // CGI request, as when a program is tried by hand from a shell.
  bool CgiRequest = false;
  // The process was given connections to serve: its standard input is a
  // listening socket (a web server started it to take its connections there),
  // a service manager handed it a listening socket, or the "--fastcgi"
  // argument or the variable "PITHORAMA_FASTCGI" names an address to listen
  // on (ListenAddress). Never in a library or with a CGI request at hand.
  bool FastCgi = false;
  std::string ListenAddress;  // from "--fastcgi ADDRESS" or "PITHORAMA_FASTCGI"
  // No server software, no arguments, no CGI request and no connections to
  // serve: started by hand, not by a web server; the CGI gateways then serve
  // as the resident server.
  bool NoServerStart = false;
};

TStartFacts ReadStartFacts();

using TGatewayFactory = THttpEngine* (*)(TComponent* owner, const TGatewaySettings& settings);

struct TGatewayRecord {
  std::string Name;  // "CgiStd", "CgiWin", "Isapi", "Nsapi", ...
  // Place in the selection: lower first.
  int Order = 0;
  // Whether this start is the gateway's own. `engineCurrent` tells whether an
  // engine made earlier in the walk made itself current on this thread.
  bool (*Claims)(const TStartFacts& start, bool engineCurrent) = nullptr;
  TGatewayFactory Create = nullptr;
};

// Adds the record, or replaces the record of the same name.
void RegisterGateway(TGatewayRecord record);
// The records in selection order.
std::vector<TGatewayRecord> RegisteredGateways();

}  // namespace pithorama
