#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "pithorama/engine/GenEng.h"
#include "pithorama/platform/Environment.h"
#include "pithorama/platform/Module.h"
#include "tests/support/FakeEngine.h"
#include "tests/support/ThisProcess.h"

using namespace pithorama;
using pithorama::test::FakeEngine;

namespace {

struct Created {
  TGatewayKind kind;
  bool forceServer;
};
std::vector<Created> created;
bool stdMakesItselfCurrent = false;

template <TGatewayKind Kind>
THttpEngine* Factory(TComponent* owner, const TGatewaySettings& settings) {
  created.push_back({Kind, settings.ForceServer});
  auto* engine = new FakeEngine(owner);
  engine->NoCache = settings.NoCache;
  if (Kind == TGatewayKind::CgiStd && stdMakesItselfCurrent) engine->MakeCurrent();
  return engine;
}

class FacadeSelection : public ::testing::Test {
 protected:
  void SetUp() override {
    InitApplication();
    RegisterGateway(TGatewayKind::CgiStd, Factory<TGatewayKind::CgiStd>);
    RegisterGateway(TGatewayKind::CgiWin, Factory<TGatewayKind::CgiWin>);
    RegisterGateway(TGatewayKind::Isapi, Factory<TGatewayKind::Isapi>);
    RegisterGateway(TGatewayKind::Nsapi, Factory<TGatewayKind::Nsapi>);
    created.clear();
    RequestState().CurrentEngine = nullptr;
  }
  void TearDown() override {
    pithorama::test::UnsetEnvironment("SERVER_SOFTWARE");
    pithorama::test::UnsetEnvironment("CGI_VERSION");
    SetLibraryMode(false);
    RequestState().CurrentEngine = nullptr;
  }
  static void Args(std::vector<std::string> args) {
    static std::vector<std::string> keep;
    keep = std::move(args);
    keep.insert(keep.begin(), "program");
    static std::vector<char*> argv;
    argv.clear();
    for (auto& a : keep) argv.push_back(a.data());
    SetCommandLine(static_cast<int>(argv.size()), argv.data());
  }
};

struct SelectionCase {
  const char* name;
  bool library;
  const char* serverSoftware;  // nullptr: unset
  const char* cgiVersion;
  std::vector<std::string> args;
  bool stdCurrent;
  bool engineAlreadyCurrent;
  std::vector<std::pair<TGatewayKind, bool>> expected;  // kind, ForceServer
};

}  // namespace

TEST_F(FacadeSelection, Table) {
  using K = TGatewayKind;
  const SelectionCase cases[] = {
      {"library", true, "x", nullptr, {}, false, false, {{K::Nsapi, false}, {K::Isapi, false}}},
      {"CGI, std current", false, "lighttpd/1.4", "CGI/1.1", {}, true, false, {{K::CgiStd, false}}},
      {"CGI, std idle", false, "lighttpd/1.4", nullptr, {}, false, false,
       {{K::CgiStd, false}, {K::CgiWin, false}}},
      {"win in lower case", false, "Apache", "cgi/1.3a (win)", {}, true, false, {{K::CgiWin, false}}},
      {"profile argument", false, nullptr, nullptr, {"C:\\temp\\req.ini"}, true, false,
       {{K::CgiWin, false}}},
      {"no-server start", false, nullptr, nullptr, {}, true, false,
       {{K::CgiStd, true}, {K::CgiWin, true}}},
      {"ZB counts as empty", false, "ZB/2.0", nullptr, {}, true, false,
       {{K::CgiStd, true}, {K::CgiWin, true}}},
      {"zb in lower case is a server", false, "zb/2.0", nullptr, {}, true, false,
       {{K::CgiStd, false}}},
      {"already current, no-server", false, nullptr, nullptr, {}, true, true, {{K::CgiWin, true}}},
      {"already current, CGI", false, "lighttpd", nullptr, {}, true, true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    created.clear();
    SetLibraryMode(c.library);
    if (c.serverSoftware) pithorama::test::SetEnvironment("SERVER_SOFTWARE", c.serverSoftware);
    else pithorama::test::UnsetEnvironment("SERVER_SOFTWARE");
    if (c.cgiVersion) pithorama::test::SetEnvironment("CGI_VERSION", c.cgiVersion);
    else pithorama::test::UnsetEnvironment("CGI_VERSION");
    Args(c.args);
    stdMakesItselfCurrent = c.stdCurrent;

    auto* form = new TForm(Application);
    FakeEngine* previous = c.engineAlreadyCurrent ? new FakeEngine(form) : nullptr;
    RequestState().CurrentEngine = previous;
    auto* facade = new TGeneralHttpEngine(form);
    form->Loaded();

    ASSERT_EQ(created.size(), c.expected.size());
    for (size_t i = 0; i < created.size(); ++i) {
      EXPECT_EQ(created[i].kind, c.expected[i].first) << i;
      EXPECT_EQ(created[i].forceServer, c.expected[i].second) << i;
    }
    EXPECT_EQ(form->WindowState, TWindowState::wsMinimized);
    EXPECT_FALSE(form->Visible());
    EXPECT_FALSE(Application->ShowMainForm);
    (void)facade;
    RequestState().CurrentEngine = nullptr;
    SetLibraryMode(false);
    delete form;
  }
}

TEST_F(FacadeSelection, SettersReachTheCurrentEngineOnly) {
  pithorama::test::SetEnvironment("SERVER_SOFTWARE", "lighttpd");
  Args({});
  stdMakesItselfCurrent = true;
  auto* form = new TForm(Application);
  auto* facade = new TGeneralHttpEngine(form);
  facade->SetNoCache(true);  // before any engine: kept in the facade
  form->Loaded();
  auto* engine = dynamic_cast<FakeEngine*>(facade->CgiStdEngine);
  ASSERT_NE(engine, nullptr);
  EXPECT_TRUE(engine->NoCache);
  facade->SetNoCache(false);
  EXPECT_FALSE(engine->NoCache);
  facade->SetAutoReadLimit(5);
  EXPECT_EQ(engine->AutoReadLimit, 5);
  facade->CGIMode = TCGIMode::ServerMode;  // a plain field: no engine changes
  EXPECT_EQ(engine->CGIMode, TCGIMode::NormalMode);

  engine->variables["QUERY STRING"] = std::string(NotAvailable);
  engine->variables["Remote User"] = "mixed";
  engine->variables["CONTENT LENGTH"] = "nope";
  EXPECT_EQ(facade->GetQueryString(), "");
  EXPECT_EQ(facade->GetRemoteUser(), "mixed");
  EXPECT_EQ(facade->GetContentLength(), 0);
  facade->Write("<b>");
  EXPECT_NE(engine->answer.find("<b>"), std::string::npos);

  // Another thread has no engine: forwards answer empty and write nothing.
  std::thread([&] {
    facade->SetNoCache(true);
    EXPECT_EQ(facade->GetServerSoftware(), "");
    EXPECT_EQ(facade->GetContentLength(), 0);
    EXPECT_TRUE(facade->GetFieldNames().empty());
    EXPECT_EQ(facade->CreateLock(), nullptr);
    facade->Write("<i>");
  }).join();
  EXPECT_FALSE(engine->NoCache);
  EXPECT_EQ(engine->answer.find("<i>"), std::string::npos);
  RequestState().CurrentEngine = nullptr;
  delete form;
}
