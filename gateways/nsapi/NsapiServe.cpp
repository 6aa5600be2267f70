// Serving one request of the server through the NSAPI engine, and the module
// start step that makes the gateway known to the facade.
#include "pithorama/gateways/nsapi/NsapiEng.h"
#include "pithorama/gateways/nsapi/NsapiExp.h"

namespace pithorama {

namespace {

THttpEngine* CreateNsapiEngine(TComponent* owner, const TGatewaySettings& settings) {
  return new TNSAPIEngine(owner, settings);
}

bool ClaimsLibraryStart(const TStartFacts& start, bool) { return start.Library; }

// Clears the thread's server records when the call ends, however it ends, so
// that no later call on the thread sees records the server has freed.
struct TCallRecords {
  TCallRecords(pblock* pb, Session* sn, Request* rq) {
    TNsapiThreadState& state = NsapiThreadState();
    state.ParameterBlock = pb;
    state.ServerSession = sn;
    state.ServerRequest = rq;
  }
  ~TCallRecords() {
    TNsapiThreadState& state = NsapiThreadState();
    state.ParameterBlock = nullptr;
    state.ServerSession = nullptr;
    state.ServerRequest = nullptr;
    state.RequestContent.clear();
    state.RequestFields.reset();
  }
};

}  // namespace

TGatewayRecord NsapiGateway() { return {"Nsapi", 10, ClaimsLibraryStart, CreateNsapiEngine}; }

void NsapiEngStart() { RegisterGateway(NsapiGateway()); }

int NsapiServe(pblock* pb, Session* sn, Request* rq) {
  try {
    TNSAPIEngine* engine = TNSAPIEngine::Instance();
    if (engine == nullptr) {
      WriteErrorLog("NSAPI request without an NSAPI engine");
      return REQ_ABORTED;
    }
    // Without the server's functions nothing can be answered; the failure was
    // logged once, at binding, and the server answers its own error.
    if (!EnsureNsapiBound()) return REQ_ABORTED;
    TCallRecords records(pb, sn, rq);
    engine->RunRequest();
    return REQ_PROCEED;
  } catch (const std::exception& error) {
    WriteErrorLog(std::string("NSAPI request failed : ") + error.what());
  } catch (...) {
    WriteErrorLog("NSAPI request failed");
  }
  return REQ_ABORTED;
}

}  // namespace pithorama
