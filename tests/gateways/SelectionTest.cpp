// Which gateways a start selects: the gateways' own records, walked by the
// facade, with engines that only note that they were made.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pithorama/engine/GenEng.h"
#include "pithorama/gateways/cgi/CgiSEng.h"
#include "pithorama/gateways/isapi/IsapiEng.h"
#include "pithorama/gateways/nsapi/NsapiExp.h"
#include "pithorama/gateways/wincgi/CgiWEng.h"
#include "pithorama/platform/Environment.h"
#include "pithorama/platform/Module.h"
#include "tests/support/FakeEngine.h"
#include "tests/support/ThisProcess.h"

namespace pithorama::test {
namespace {

struct Made {
  std::string gateway;
  bool forceServer;
  bool operator==(const Made&) const = default;
};
std::vector<Made> made;
bool stdMakesItselfCurrent = false;

template <const char* Name>
THttpEngine* NotingFactory(TComponent* owner, const TGatewaySettings& settings) {
  made.push_back({Name, settings.ForceServer});
  auto* engine = new FakeEngine(owner);
  if (std::string(Name) == "CgiStd" && stdMakesItselfCurrent) engine->MakeCurrent();
  return engine;
}

constexpr char kCgiStd[] = "CgiStd", kCgiWin[] = "CgiWin", kIsapi[] = "Isapi", kNsapi[] = "Nsapi";

template <const char* Name>
void RegisterNoting(TGatewayRecord record) {
  ASSERT_EQ(record.Name, Name);
  record.Create = NotingFactory<Name>;
  RegisterGateway(record);
}

void SetOrUnset(const char* name, const char* value) {
  if (value)
    SetEnvironment(name, value);
  else
    UnsetEnvironment(name);
}

void Arguments(std::vector<std::string> args) {
  static std::vector<std::string> keep;
  static std::vector<char*> argv;
  keep = std::move(args);
  keep.insert(keep.begin(), "program");
  argv.clear();
  for (auto& a : keep) argv.push_back(a.data());
  SetCommandLine(static_cast<int>(argv.size()), argv.data());
}

struct SelectionCase {
  const char* name;
  bool library;
  const char* serverSoftware;  // nullptr: unset
  const char* cgiVersion;
  const char* requestMethod;
  std::vector<std::string> args;
  bool stdCurrent;  // the standard engine serves its request (makes itself current)
  bool engineAlreadyCurrent;
  std::vector<Made> expected;
};

TEST(GatewaySelection, Table) {
  InitApplication();
  RegisterNoting<kCgiStd>(StandardCgiGateway());
  RegisterNoting<kCgiWin>(WindowsCgiGateway());
  RegisterNoting<kIsapi>(IsapiGateway());
  RegisterNoting<kNsapi>(NsapiGateway());
  const SelectionCase cases[] = {
      {"library",
       true,
       "x",
       nullptr,
       nullptr,
       {},
       false,
       false,
       {{"Nsapi", false}, {"Isapi", false}}},
      {"CGI, std current",
       false,
       "lighttpd/1.4",
       "CGI/1.1",
       nullptr,
       {},
       true,
       false,
       {{"CgiStd", false}}},
      {"CGI, std idle",
       false,
       "lighttpd/1.4",
       nullptr,
       nullptr,
       {},
       false,
       false,
       {{"CgiStd", false}, {"CgiWin", false}}},
      {"win in lower case",
       false,
       "Apache",
       "cgi/1.3a (win)",
       nullptr,
       {},
       true,
       false,
       {{"CgiWin", false}}},
      {"profile argument",
       false,
       nullptr,
       nullptr,
       nullptr,
       {"C:\\temp\\req.ini"},
       true,
       false,
       {{"CgiWin", false}}},
      {"no-server start",
       false,
       nullptr,
       nullptr,
       nullptr,
       {},
       true,
       false,
       {{"CgiStd", true}, {"CgiWin", true}}},
      {"ZB counts as empty",
       false,
       "ZB/2.0",
       nullptr,
       nullptr,
       {},
       true,
       false,
       {{"CgiStd", true}, {"CgiWin", true}}},
      {"zb in lower case is a server",
       false,
       "zb/2.0",
       nullptr,
       nullptr,
       {},
       true,
       false,
       {{"CgiStd", false}}},
      {"already current, no-server",
       false,
       nullptr,
       nullptr,
       nullptr,
       {},
       true,
       true,
       {{"CgiWin", true}}},
      {"already current, CGI", false, "lighttpd", nullptr, nullptr, {}, true, true, {}},
      // Tried by hand from a shell: a CGI request, not the resident server.
      {"by hand with REQUEST_METHOD",
       false,
       nullptr,
       nullptr,
       "GET",
       {},
       true,
       false,
       {{"CgiStd", false}}},
      {"by hand, Windows CGI version",
       false,
       nullptr,
       "CGI/1.3a (Win)",
       "GET",
       {},
       true,
       false,
       {{"CgiWin", false}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    made.clear();
    SetLibraryMode(c.library);
    SetOrUnset("SERVER_SOFTWARE", c.serverSoftware);
    SetOrUnset("CGI_VERSION", c.cgiVersion);
    SetOrUnset("REQUEST_METHOD", c.requestMethod);
    UnsetEnvironment("GATEWAY_INTERFACE");
    Arguments(c.args);
    stdMakesItselfCurrent = c.stdCurrent;

    auto* form = new TForm(Application);
    FakeEngine* previous = c.engineAlreadyCurrent ? new FakeEngine(form) : nullptr;
    RequestState().CurrentEngine = previous;
    new TGeneralHttpEngine(form);
    form->Loaded();

    EXPECT_EQ(made, c.expected);
    EXPECT_EQ(form->WindowState, TWindowState::wsMinimized);
    EXPECT_FALSE(form->Visible());
    EXPECT_FALSE(Application->ShowMainForm);
    RequestState().CurrentEngine = nullptr;
    SetLibraryMode(false);
    delete form;
  }
  UnsetEnvironment("SERVER_SOFTWARE");
  UnsetEnvironment("CGI_VERSION");
  UnsetEnvironment("REQUEST_METHOD");
}

}  // namespace
}  // namespace pithorama::test
