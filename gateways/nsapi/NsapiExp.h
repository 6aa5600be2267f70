// The exported NSAPI service function (NsapiExp.cpp, library builds only), the
// serving of one request behind it and the gateway's module start step
// (NsapiServe.cpp).
#pragma once

#include "pithorama/engine/GatewayRegistry.h"
#include "pithorama/gateways/nsapi/NsapiRecords.h"
#include "pithorama/platform/Library.h"

namespace pithorama {

// The NSAPI gateway's record in the gateway selection.
TGatewayRecord NsapiGateway();

// Registers the NSAPI gateway with the facade (module start step).
void NsapiEngStart();

// Serves one request of the server: keeps the server's records in the calling
// thread's state and runs the NSAPI engine's request cycle. Answers
// REQ_PROCEED, or REQ_ABORTED (the server then answers its own error) when
// there is no engine, the server's functions are not bound, or the cycle
// failed. Never throws.
int NsapiServe(pblock* pb, Session* sn, Request* rq);

}  // namespace pithorama

// The service function named in the server's configuration.
extern "C" PITHORAMA_EXPORT int NsapiService(pblock* pb, Session* sn, Request* rq);
