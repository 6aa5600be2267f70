// pithorama built as a shared library that a web server loads: the same
// modules and form as the program, started by the library's load hook.
#include "platform/Library.h"

#include "app/Form1.h"
#include "gateways/LibraryGateways.h"
#include "platform/Module.h"
#include "store/QuoteDb.h"
#include "store/logfile.h"

using namespace pithorama;

void pithorama::LibraryStart() {
  StartModules({
      {"HttpEng", HttpEngStart, HttpEngEnd},
      QuoteDbModule,
      LogFileModule,
  });
  StartLibraryGateways();
  InitApplication();
  Application->Initialize();
  app::TForm1* Form1 = nullptr;
  Application->CreateForm(Form1);
}
