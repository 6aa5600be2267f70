// The echo program built as a shared library that a web server loads: the
// same form, started by the library's load hook instead of main.
#include "pithorama/platform/Library.h"

#include "examples/echo/EchoForm.h"
#include "pithorama/gateways/LibraryGateways.h"
#include "pithorama/platform/Module.h"

using namespace pithorama;

void pithorama::LibraryStart() {
  StartModules({{"HttpEng", HttpEngStart, HttpEngEnd}});
  StartLibraryGateways();
  InitApplication();
  Application->Initialize();
  echo::TEchoForm* EchoForm = nullptr;
  // In a library the facade creates the library gateways while the form loads;
  // the server's calls serve the requests later.
  Application->CreateForm(EchoForm);
}
