// The error log: a line of the program's own, and an error that escapes the
// handler, which the engine catches and hands to OnRequestError.
#include <pithorama/engine/GenEng.h>
#include <pithorama/gateways/cgi/CgiSEng.h>
#include <pithorama/gateways/fastcgi/FcgiEng.h>
#include <pithorama/platform/Environment.h>
#include <pithorama/platform/Module.h>

#include <stdexcept>

using namespace pithorama;

class TErrorsForm : public TForm {
 public:
  explicit TErrorsForm(TComponent* owner) : TForm(owner) {
    Web = new TGeneralHttpEngine(this);
    Web->SetOnExecRequest([this](TObject*) {
      WriteErrorLog("Asked for " + Web->GetQueryString());
      if (Web->GetField("fail", "") == "yes") throw std::runtime_error("asked to fail");
      Web->Write("<p>All well.</p>");
    });
    // Without this handler the engine logs "Unhandled exception : ..." and the
    // answer stays as far as it got (here: empty, which the server turns
    // into an error page of its own).
    Web->SetOnRequestError([this](TObject*, const Exception& error) {
      WriteErrorLog("Failed: " + error.Message());
      Web->SetStatus(500);
      Web->Write("<p>Sorry, that went wrong.</p>");
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
  TErrorsForm* form = nullptr;
  Application->CreateForm(form);
  Application->Run();
  RunModuleEndSteps();
}
