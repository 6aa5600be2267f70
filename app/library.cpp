// pithorama built as a shared library that a web server loads: the same
// modules and form as the program, started by the library's load hook.
#include "pithorama/platform/Library.h"

#include "app/Form1.h"
#include "pithorama/gateways/LibraryGateways.h"
#include "pithorama/platform/Module.h"
#include "pithorama/store/QuoteDb.h"
#include "pithorama/store/logfile.h"

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
