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

bool ClaimsEveryStart(const TStartFacts&, bool) { return true; }

// The facade with one gateway that takes every start and makes itself
// current: what the facade forwards and keeps. Which gateway takes which
// start is the gateways' own rule (tests/gateways/SelectionTest.cpp).
THttpEngine* CurrentFake(TComponent* owner, const TGatewaySettings& settings) {
  auto* engine = new FakeEngine(owner);
  engine->NoCache = settings.NoCache;
  engine->MakeCurrent();
  return engine;
}

class FacadeSelection : public ::testing::Test {
 protected:
  void SetUp() override {
    InitApplication();
    RegisterGateway({"CgiStd", 40, ClaimsEveryStart, CurrentFake});
    RequestState().CurrentEngine = nullptr;
  }
  void TearDown() override { RequestState().CurrentEngine = nullptr; }
};

}  // namespace

TEST_F(FacadeSelection, SettersReachTheCurrentEngineOnly) {
  auto* form = new TForm(Application);
  auto* facade = new TGeneralHttpEngine(form);
  facade->SetNoCache(true);  // before any engine: kept in the facade
  form->Loaded();
  auto* engine = dynamic_cast<FakeEngine*>(facade->CgiStdEngine());
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
