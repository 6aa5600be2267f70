// The echo program: answers every request with its variables and form fields
// (or a redirect, or a page that sets a cookie, when the fields ask for one),
// under standard CGI and under Windows CGI alike.
#include "examples/echo/EchoForm.h"
#include "pithorama/gateways/cgi/CgiSEng.h"
#include "pithorama/gateways/fastcgi/FcgiEng.h"
#include "pithorama/gateways/wincgi/CgiWEng.h"
#include "pithorama/platform/Environment.h"
#include "pithorama/platform/Module.h"

using namespace pithorama;

int main(int argc, char** argv) {
  SetCommandLine(argc, argv);
  StartModules({
      {"HttpEng", HttpEngStart, HttpEngEnd},
      {"FcgiEng", FcgiEngStart, nullptr},
      {"CgiSEng", CgiSEngStart, CgiSEngEnd},
      {"CgiWEng", CgiWEngStart, CgiWEngEnd},
  });
  InitApplication();
  Application->Initialize();
  echo::TEchoForm* EchoForm = nullptr;
  // Under CGI the request is served, and the program ends, while the form loads.
  Application->CreateForm(EchoForm);
  Application->Run();
  RunModuleEndSteps();
  return 0;
}
