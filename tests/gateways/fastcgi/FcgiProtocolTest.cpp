// The FastCGI connection's answers to what a web server may send: management
// records, roles, a second request on a busy connection, aborts, malformed
// input, the keep-connection flag, a stop with requests in flight, the peers
// allowed, and the start facts that choose the gateway.
#include <gtest/gtest.h>

#include <atomic>

#include "pithorama/engine/GatewayRegistry.h"
#include "pithorama/gateways/fastcgi/FcgiServer.h"
#include "tests/gateways/fastcgi/FcgiPeer.h"
#include "tests/support/Process.h"
#include "tests/support/ThisProcess.h"

using namespace pithorama;
using namespace pithorama::test;

namespace {

const std::map<std::string, std::string> kGet = {{"REQUEST_METHOD", "GET"}};

TGatewaySettings Writing(std::string text) {
  TGatewaySettings settings;
  settings.OnExecRequest = [text](TObject* sender) {
    static_cast<TFastCgiEngine*>(sender)->Write(text);
  };
  return settings;
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class LogFolder {
 public:
  LogFolder() { SetEnvironment("CGI_LOG_DIR", folder_.Path()); }
  ~LogFolder() { UnsetEnvironment("CGI_LOG_DIR"); }
  std::string Text() const { return ReadWholeFile(folder_.File("fastcgi_tests.Log")); }

 private:
  TempFolder folder_;
};

TEST(FastCgiProtocol, ManagementRecords) {
  TServedEngine served(Writing("<p>"), 3);
  TPeerConnection web(served.Address());
  std::string asked;
  for (auto name : {kFcgiMaxConns, kFcgiMaxReqs, kFcgiMpxsConns}) AppendFcgiPair(asked, name, "");
  ASSERT_TRUE(web.Send(Record(kFcgiGetValues, 0, asked) + Record(42, 0, "??")));
  ASSERT_TRUE(web.ReadUntil(kFcgiGetValuesResult));
  std::vector<TFcgiPair> values;
  ASSERT_TRUE(DecodeFcgiPairs(web.Found.Content, values));
  EXPECT_EQ(values,
            (std::vector<TFcgiPair>{
                {"FCGI_MAX_CONNS", "1000"}, {"FCGI_MAX_REQS", "3"}, {"FCGI_MPXS_CONNS", "0"}}));
  ASSERT_TRUE(web.ReadUntil(kFcgiUnknownType));
  EXPECT_EQ(DecodeUnknownType(web.Found.Content), 42);
  // The connection serves on.
  ASSERT_TRUE(web.Send(Request(1, kGet)));
  EXPECT_TRUE(web.ReadUntil(kFcgiEndRequest, 1));
}

TEST(FastCgiProtocol, OtherRolesAreRefused) {
  TServedEngine served(Writing("<p>"));
  for (uint16_t role : {kFcgiAuthorizer, kFcgiFilter, uint16_t{9}}) {
    SCOPED_TRACE(role);
    TPeerConnection web(served.Address());
    ASSERT_TRUE(web.Send(BeginRecord(1, role)));
    ASSERT_TRUE(web.ReadUntil(kFcgiEndRequest, 1));
    EXPECT_EQ(web.End(1).ProtocolStatus, kFcgiUnknownRole);
  }
}

TEST(FastCgiProtocol, SecondRequestOnABusyConnection) {
  TServedEngine served(Writing("<p>one"));
  TPeerConnection web(served.Address());
  // Request 1 is still receiving its variables when request 2 begins.
  ASSERT_TRUE(web.Send(BeginRecord(1) + BeginRecord(2)));
  ASSERT_TRUE(web.ReadUntil(kFcgiEndRequest, 2));
  EXPECT_EQ(web.End(2).ProtocolStatus, kFcgiCantMpxConn);
  ASSERT_TRUE(web.Send(ParamsRecords(1, kGet) + StdinRecords(1, "")));
  ASSERT_TRUE(web.ReadUntil(kFcgiEndRequest, 1));
  EXPECT_EQ(web.End(1).ProtocolStatus, kFcgiRequestComplete);
  EXPECT_NE(web.Stdout(1).find("<p>one"), std::string::npos);
}

TEST(FastCgiProtocol, AbortRequest) {
  std::atomic<int64_t> readResult{1};
  TGatewaySettings settings;
  settings.AutoReadInput = false;  // the handler reads the body itself
  settings.OnExecRequest = [&](TObject* sender) {
    char block[100];
    int64_t n;
    auto& engine = *static_cast<TFastCgiEngine*>(sender);
    while ((n = engine.ReadBuffer(block, sizeof block)) > 0) {
    }
    readResult = n;
    engine.Write("<p>never seen");
  };
  TServedEngine served(settings);
  const struct {
    const char* name;
    std::string before;  // what the web server sends before the abort
    bool handlerRuns;
  } cases[] = {
      {"while the variables come", BeginRecord(1), false},
      {"while the body comes",
       BeginRecord(1) + ParamsRecords(1, {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "99"}}) +
           Record(kFcgiStdin, 1, "some"),
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    readResult = 1;
    TPeerConnection web(served.Address());
    ASSERT_TRUE(web.Send(c.before + Record(kFcgiAbortRequest, 1, "")));
    ASSERT_TRUE(web.ReadUntil(kFcgiEndRequest, 1));
    EXPECT_EQ(web.Stdout(1), "");
    if (c.handlerRuns) {
      EXPECT_EQ(readResult.load(), -1);
    }
    // The connection serves on.
    ASSERT_TRUE(web.Send(Request(2, kGet)));
    EXPECT_TRUE(web.ReadUntil(kFcgiEndRequest, 2));
  }
}

TEST(FastCgiProtocol, MalformedInputClosesTheConnectionOnly) {
  LogFolder log;
  TServedEngine served(Writing("<p>fine"));
  std::string hugePair;
  hugePair += static_cast<char>(0x80 | 0x7f);  // a name of 2 GiB
  hugePair += std::string("\xff\xff\xff", 3) + '\1' + "N";
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"version 2", Record(kFcgiStdin, 1, "x", 0, 2)},
      {"begin body too short", Record(kFcgiBeginRequest, 1, "abc")},
      {"oversized name", BeginRecord(1) + Record(kFcgiParams, 1, hugePair)},
      {"pair cut by the end",
       BeginRecord(1) + Record(kFcgiParams, 1, "\x05\x01na") + Record(kFcgiParams, 1, "")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TPeerConnection web(served.Address());
    ASSERT_TRUE(web.Send(c.bytes));
    EXPECT_FALSE(web.ReadUntil(kFcgiEndRequest, 1));  // closed without an answer
  }
  EXPECT_EQ(CountOf(log.Text(), "FastCGI connection closed: "), std::size(cases));
  TPeerConnection next(served.Address());
  ASSERT_TRUE(next.Send(Request(1, kGet)));
  ASSERT_TRUE(next.ReadUntil(kFcgiEndRequest, 1));
  EXPECT_NE(next.Stdout(1).find("<p>fine"), std::string::npos);
}

TEST(FastCgiProtocol, KeepConnection) {
  TServedEngine served(Writing("<p>"));
  {
    TPeerConnection web(served.Address());
    for (uint16_t id : {1, 2, 3}) {
      ASSERT_TRUE(web.Send(Request(id, kGet)));
      ASSERT_TRUE(web.ReadUntil(kFcgiEndRequest, id));
    }
  }
  TPeerConnection once(served.Address());
  ASSERT_TRUE(once.Send(Request(1, kGet, "", false)));
  ASSERT_TRUE(once.ReadUntil(kFcgiEndRequest, 1));
  EXPECT_FALSE(once.ReadUntil(kFcgiEndRequest, 2));  // the application closed it
}

// A stop lets the request in flight finish and send its whole answer.
TEST(FastCgiProtocol, StopFinishesRequestsInFlight) {
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  TGatewaySettings settings;
  settings.OnExecRequest = [&](TObject* sender) {
    entered.set_value();
    released.wait();
    static_cast<TFastCgiEngine*>(sender)->Write("<p>finished");
  };
  TServedEngine served(settings);
  TPeerConnection web(served.Address());
  TPeerConnection idle(served.Address());
  TPeerConnection stalled(served.Address());
  ASSERT_TRUE(web.Send(Request(1, kGet)));
  // Answered questions show that the server has taken both connections: one
  // still waiting to be taken when the stop comes would wait for the
  // listening socket to close.
  const std::string question = Record(kFcgiGetValues, 0, "");
  ASSERT_TRUE(idle.Send(question));
  ASSERT_TRUE(stalled.Send(question + BeginRecord(1)));  // its variables never come
  ASSERT_TRUE(idle.ReadUntil(kFcgiGetValuesResult));
  ASSERT_TRUE(stalled.ReadUntil(kFcgiGetValuesResult));
  entered.get_future().wait();
  std::jthread stopper([&] { served.Stop(); });
  // An idle connection, and one whose request has not begun, end at once.
  EXPECT_FALSE(idle.ReadUntil(kFcgiEndRequest, 1));
  EXPECT_FALSE(stalled.ReadUntil(kFcgiEndRequest, 1));
  release.set_value();
  ASSERT_TRUE(web.ReadUntil(kFcgiEndRequest, 1));
  EXPECT_NE(web.Stdout(1).find("<p>finished"), std::string::npos);
}

TEST(FastCgiProtocol, WebServerAddresses) {
  EXPECT_EQ(ParseAddressList(" 127.0.0.1, 10.0.0.5 ,,::1"),
            (std::vector<std::string>{"127.0.0.1", "10.0.0.5", "::1"}));
  EXPECT_TRUE(ParseAddressList("").empty());
  LogFolder log;
  const struct {
    const char* list;
    bool served;
  } cases[] = {{"10.0.0.5", false}, {"10.0.0.5,127.0.0.1", true}, {"", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.list);
    SetEnvironment("FCGI_WEB_SERVER_ADDRS", c.list);
    TServedEngine served(Writing("<p>"));
    TPeerConnection web(served.Address());
    ASSERT_TRUE(web.Send(Request(1, kGet)));
    EXPECT_EQ(web.ReadUntil(kFcgiEndRequest, 1), c.served);
  }
  UnsetEnvironment("FCGI_WEB_SERVER_ADDRS");
  EXPECT_NE(log.Text().find("FastCGI connection refused from 127.0.0.1"), std::string::npos);
}

TEST(FastCgiStart, Facts) {
  const struct {
    const char* name;
    const char* address;
    const char* requestMethod;
    bool fastCgi;
  } cases[] = {
      {"an address to listen on", "127.0.0.1:9000", nullptr, true},
      {"a CGI request wins", "127.0.0.1:9000", "GET", false},
      {"nothing", nullptr, nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.address) SetEnvironment("PITHORAMA_FASTCGI", c.address);
    if (c.requestMethod) SetEnvironment("REQUEST_METHOD", c.requestMethod);
    const TStartFacts start = ReadStartFacts();
    UnsetEnvironment("PITHORAMA_FASTCGI");
    UnsetEnvironment("REQUEST_METHOD");
    EXPECT_EQ(start.FastCgi, c.fastCgi);
    if (c.fastCgi) {
      EXPECT_EQ(start.ListenAddress, c.address);
      EXPECT_FALSE(start.NoServerStart);  // no resident CGI server for it
    }
  }
}

}  // namespace
