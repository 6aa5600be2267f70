// Fields and uploads: lists every topping chosen and the file sent as "file".
#include <pithorama/engine/GenEng.h>
#include <pithorama/engine/HttpText.h>
#include <pithorama/gateways/cgi/CgiSEng.h>
#include <pithorama/gateways/fastcgi/FcgiEng.h>
#include <pithorama/platform/Environment.h>
#include <pithorama/platform/Files.h>
#include <pithorama/platform/Module.h>

using namespace pithorama;

class TFieldsForm : public TForm {
 public:
  explicit TFieldsForm(TComponent* owner) : TForm(owner) {
    Web = new TGeneralHttpEngine(this);
    Web->SetAutoReadLimit(1 << 20);  // bodies up to 1 MiB are read, uploads included
    Web->SetTempDir("uploads");      // beside the program; it must exist and be writable
    Web->SetOnExecRequest([this](TObject*) { Serve(); });
  }
  TGeneralHttpEngine* Web;

 private:
  void Serve() {
    std::string page = "<ul>";
    // A field sent several times (check boxes, a multiple select).
    for (const std::string& topping : Web->GetFieldValues("topping"))
      page += "<li>" + HtmlEscape(topping) + "</li>";
    page += "</ul>";
    // An upload: the name the browser sent, its type, and the temporary copy,
    // which is deleted when the request ends.
    const std::string sent = Web->GetField("file", "");
    const std::string copy = Web->GetField("file_FILENAME", "");
    if (!copy.empty() && FileExists(copy))
      page += "<p>" + HtmlEscape(sent) + " (" + HtmlEscape(Web->GetField("file_CONTENT_TYPE", "")) +
              ") arrived.</p>";
    Web->Write(page);
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
  TFieldsForm* form = nullptr;
  Application->CreateForm(form);
  Application->Run();
  RunModuleEndSteps();
}
