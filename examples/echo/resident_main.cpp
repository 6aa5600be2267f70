// The echo program as a resident CGI server: the first hit starts one copy
// that stays and serves every later hit, which hands its request over through
// files, under standard CGI and under Windows CGI alike. ECHO_CGI_MODE is
// ServerMode (one request at a time, on the main thread) or ServerThreadMode
// (a thread per request).
#include "examples/echo/EchoForm.h"
#include "pithorama/gateways/cgi/CgiSEng.h"
#include "pithorama/gateways/wincgi/CgiWEng.h"
#include "pithorama/platform/Environment.h"
#include "pithorama/platform/Module.h"

using namespace pithorama;

namespace {

// The echo form with one stored setting changed, before the form loads.
class TResidentEchoForm : public echo::TEchoForm {
 public:
  explicit TResidentEchoForm(TComponent* owner) : TEchoForm(owner) {
    GeneralHttpEngine1->CGIMode = TCGIMode::ECHO_CGI_MODE;
  }
};

}  // namespace

int main(int argc, char** argv) {
  SetCommandLine(argc, argv);
  StartModules({
      {"HttpEng", HttpEngStart, HttpEngEnd},
      {"CgiSEng", CgiSEngStart, CgiSEngEnd},
      {"CgiWEng", CgiWEngStart, CgiWEngEnd},
  });
  InitApplication();
  Application->Initialize();
  TResidentEchoForm* EchoForm = nullptr;
  Application->CreateForm(EchoForm);
  // The server serves from the message loop until its queue file goes.
  Application->Run();
  RunModuleEndSteps();
  return 0;
}
