// Cookies, status and redirects: counts a visitor's visits in a cookie;
// /reset forgets them and sends the visitor back; other paths are not found.
#include <pithorama/engine/GenEng.h>
#include <pithorama/engine/HUtils.h>
#include <pithorama/engine/HttpText.h>
#include <pithorama/gateways/cgi/CgiSEng.h>
#include <pithorama/gateways/fastcgi/FcgiEng.h>
#include <pithorama/platform/Environment.h>
#include <pithorama/platform/Module.h>

using namespace pithorama;

class TVisitsForm : public TForm {
 public:
  explicit TVisitsForm(TComponent* owner) : TForm(owner) {
    Visits = new THttpCookie(this);
    Visits->CookieName = "visits";
    Visits->Path = "/";               // the same cookie for /reset and the page
    Visits->MaxAge = 30 * 24 * 3600;  // a month
    Visits->HttpOnly = true;
    Visits->SameSite = TSameSite::Lax;
    Web = new TGeneralHttpEngine(this);
    Web->SetOnExecRequest([this](TObject*) { Serve(); });
  }
  TGeneralHttpEngine* Web;
  THttpCookie* Visits;

 private:
  void Serve() {
    const std::string path = Web->GetPathInfo();
    if (path == "/reset") {
      Web->SetStatus(303);  // the status first, then header lines, then the redirect
      Visits->Remove();
      Web->Redirect(Web->GetScriptName(), 303);
    } else if (!path.empty()) {
      Web->SetStatus(404);
      Web->Write("<p>No page " + HtmlEscape(path) + " here.</p>");
    } else {
      const int visits = StrToIntDef(Visits->Value("0"), 0) + 1;
      Visits->Send(std::to_string(visits));  // before the page: it is a header line
      Web->Write("<p>Visit " + std::to_string(visits) + ". <a href=\"" +
                 HtmlAttributeEscape(Web->GetScriptName()) + "/reset\">Forget me</a></p>");
    }
  }
};

int main(int argc, char** argv) {
  SetCommandLine(argc, argv);
  StartModules({
      {"HttpEng", HttpEngStart, HttpEngEnd},
      {"FcgiEng", FcgiEngStart, nullptr},  // serves FastCGI when given a socket
      {"CgiSEng", CgiSEngStart, CgiSEngEnd},
  });
  InitApplication();
  TVisitsForm* form = nullptr;
  Application->CreateForm(form);
  Application->Run();
  RunModuleEndSteps();
}
