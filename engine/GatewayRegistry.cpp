#include "pithorama/engine/GatewayRegistry.h"

#include <algorithm>
#include <mutex>

#include "pithorama/engine/HttpText.h"
#include "pithorama/platform/Environment.h"
#include "pithorama/platform/Listener.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/Strings.h"

namespace pithorama {

namespace {

std::mutex registryLock;

std::vector<TGatewayRecord>& Records() {
  static std::vector<TGatewayRecord> records;
  return records;
}

// The address of "--fastcgi ADDRESS" among the arguments, else of the
// variable "PITHORAMA_FASTCGI".
std::string ListenAddressOf() {
  for (int i = 1; i < ParamCount(); ++i)
    if (ParamStr(i) == "--fastcgi") return ParamStr(i + 1);
  return GetEnvVar("PITHORAMA_FASTCGI");
}

}  // namespace

TStartFacts ReadStartFacts() {
  TStartFacts start;
  start.Library = IsLibrary();
  if (start.Library) return start;
  start.ServerSoftware = !GetEnvVar("SERVER_SOFTWARE").empty();
  start.WindowsCgiVersion = Contains(UpperCase(GetEnvVar("CGI_VERSION")), "WIN");
  start.Arguments = ParamCount() > 0;
  start.CgiRequest = GetEnvironment("GATEWAY_INTERFACE").has_value() ||
                     GetEnvironment("REQUEST_METHOD").has_value();
  if (!start.CgiRequest) {
    start.ListenAddress = ListenAddressOf();
    start.FastCgi =
        !start.ListenAddress.empty() || StandardInputIsListener() || HasHandedOverListener();
  }
  start.NoServerStart =
      !start.ServerSoftware && !start.Arguments && !start.CgiRequest && !start.FastCgi;
  return start;
}

void RegisterGateway(TGatewayRecord record) {
  std::lock_guard<std::mutex> hold(registryLock);
  std::vector<TGatewayRecord>& records = Records();
  auto same = std::find_if(records.begin(), records.end(),
                           [&](const TGatewayRecord& r) { return r.Name == record.Name; });
  if (same != records.end()) records.erase(same);
  auto after = std::find_if(records.begin(), records.end(),
                            [&](const TGatewayRecord& r) { return r.Order > record.Order; });
  records.insert(after, std::move(record));
}

std::vector<TGatewayRecord> RegisteredGateways() {
  std::lock_guard<std::mutex> hold(registryLock);
  return Records();
}

}  // namespace pithorama
