// The upload program: a form with text fields and two file inputs; a posted
// form is answered with every field and, for each uploaded file, its size and
// SHA-256.
#include "examples/upload/UploadForm.h"
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
  upload::TUploadForm* UploadForm = nullptr;
  // Under CGI the request is served, and the program ends, while the form loads.
  Application->CreateForm(UploadForm);
  Application->Run();
  RunModuleEndSteps();
  return 0;
}
