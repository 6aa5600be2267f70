// The library's face to an NSAPI server: the service function that the
// server's configuration names for a request. Linked whole into every library
// build, since nothing inside the library calls it.
//
// Configure the server to load the library and call NsapiService as the
// service step of the objects it serves, for example in obj.conf:
//   Init fn="load-modules" shlib="/srv/app/echo.so" funcs="NsapiService"
//   Service fn="NsapiService"
#include "pithorama/gateways/nsapi/NsapiExp.h"

#include <exception>

#include "pithorama/engine/HttpEng.h"

extern "C" int NsapiService(pblock* pb, Session* sn, Request* rq) {
  try {
    pithorama::EnsureLibraryStarted();
  } catch (...) {
    pithorama::WriteErrorLog("NSAPI request before the library could start");
    return REQ_ABORTED;
  }
  return pithorama::NsapiServe(pb, sn, rq);
}
