// The first program on the library: answers "Hello, <name>" to a CGI request.
#include <pithorama/engine/GenEng.h>
#include <pithorama/gateways/cgi/CgiSEng.h>
#include <pithorama/platform/Environment.h>
#include <pithorama/platform/Module.h>

using namespace pithorama;

class THelloForm : public TForm {
 public:
  explicit THelloForm(TComponent* owner) : TForm(owner) {
    Web = new TGeneralHttpEngine(this);
    Web->SetOnExecRequest([this](TObject*) {
      // The first text starting with "<" sends the header first.
      Web->Write("<p>Hello, " + Web->GetField("name", "stranger") + "</p>");
    });
  }
  TGeneralHttpEngine* Web;
};

int main(int argc, char** argv) {
  SetCommandLine(argc, argv);
  StartModules({{"HttpEng", HttpEngStart, HttpEngEnd}, {"CgiSEng", CgiSEngStart, CgiSEngEnd}});
  InitApplication();
  THelloForm* form = nullptr;
  Application->CreateForm(form);  // under CGI: serves the request and ends the program
  Application->Run();
  RunModuleEndSteps();
}
