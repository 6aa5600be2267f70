// The first program: greets the visitor by the name in the field "name".
#include <pithorama/engine/GenEng.h>
#include <pithorama/engine/HttpText.h>
#include <pithorama/gateways/cgi/CgiSEng.h>
#include <pithorama/gateways/fastcgi/FcgiEng.h>
#include <pithorama/platform/Environment.h>
#include <pithorama/platform/Module.h>

using namespace pithorama;

class TGreetForm : public TForm {
 public:
  explicit TGreetForm(TComponent* owner) : TForm(owner) {
    Web = new TGeneralHttpEngine(this);
    Web->SetOnExecRequest([this](TObject*) {
      // Field text goes into the page escaped, never as markup.
      const std::string name = Web->GetField("name", "stranger");
      Web->Write("<p>Hello, " + HtmlEscape(name) + "!</p>");
    });
  }
  TGeneralHttpEngine* Web;
};

int main(int argc, char** argv) {
  SetCommandLine(argc, argv);
  StartModules({
      {"HttpEng", HttpEngStart, HttpEngEnd},
      {"FcgiEng", FcgiEngStart, nullptr},  // serves FastCGI when given a socket
      {"CgiSEng", CgiSEngStart, CgiSEngEnd},
  });
  InitApplication();
  TGreetForm* form = nullptr;
  Application->CreateForm(form);  // under CGI: serves the request and ends the program
  Application->Run();
  RunModuleEndSteps();
}
