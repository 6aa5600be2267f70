// The echo program: answers every request with its variables and form fields.
#include "examples/echo/EchoForm.h"
#include "gateways/CgiSEng.h"
#include "platform/Environment.h"
#include "platform/Module.h"

using namespace pithorama;

int main(int argc, char** argv) {
  SetCommandLine(argc, argv);
  StartModules({
      {"HttpEng", HttpEngStart, HttpEngEnd},
      {"CgiSEng", CgiSEngStart, CgiSEngEnd},
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
