// pithorama: a CGI program that mails a random quote for every hit.
#include "app/Form1.h"
#include "pithorama/gateways/cgi/CgiSEng.h"
#include "pithorama/gateways/fastcgi/FcgiEng.h"
#include "pithorama/gateways/wincgi/CgiWEng.h"
#include "pithorama/platform/Environment.h"
#include "pithorama/platform/Module.h"
#include "pithorama/store/QuoteDb.h"
#include "pithorama/store/logfile.h"

using namespace pithorama;

int main(int argc, char** argv) {
  SetCommandLine(argc, argv);
  // The module start list, in order: the engine and the quote store seed the
  // random generator, the FastCGI gateway makes itself known, the standard CGI
  // gateway wraps standard input and output (not in a FastCGI start),
  // and the Windows CGI gateway takes the profile named on the command line.
  StartModules({
      {"HttpEng", HttpEngStart, HttpEngEnd},
      QuoteDbModule,
      LogFileModule,
      {"FcgiEng", FcgiEngStart, nullptr},
      {"CgiSEng", CgiSEngStart, CgiSEngEnd},
      {"CgiWEng", CgiWEngStart, CgiWEngEnd},
  });
  InitApplication();
  Application->Initialize();
  app::TForm1* Form1 = nullptr;
  // Under CGI the request is served, and the program ends, while the form loads.
  Application->CreateForm(Form1);
  Application->Run();
  RunModuleEndSteps();
  return 0;
}
