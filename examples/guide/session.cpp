// A session: a random id in a cookie names a file of the visitor's own in
// the folder "sessions" beside the program, which keeps a note between hits.
#include <pithorama/engine/GenEng.h>
#include <pithorama/engine/HUtils.h>
#include <pithorama/engine/HttpText.h>
#include <pithorama/gateways/cgi/CgiSEng.h>
#include <pithorama/gateways/fastcgi/FcgiEng.h>
#include <pithorama/platform/Environment.h>
#include <pithorama/platform/Module.h>

#include <fstream>
#include <random>
#include <sstream>

using namespace pithorama;

namespace {

// 32 hexadecimal digits from the system's random source.
std::string NewSessionId() {
  std::random_device random;
  std::string id;
  for (int i = 0; i < 32; ++i) id += "0123456789abcdef"[random() % 16];
  return id;
}

// Only ids this program made name files: nothing else reaches the disk.
bool IsSessionId(const std::string& id) {
  return id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

class TSessionForm : public TForm {
 public:
  explicit TSessionForm(TComponent* owner) : TForm(owner) {
    Session = new THttpCookie(this);
    Session->CookieName = "sid";
    Session->HttpOnly = true;
    Session->SameSite = TSameSite::Strict;
    Web = new TGeneralHttpEngine(this);
    Web->SetOnExecRequest([this](TObject*) { Serve(); });
  }
  TGeneralHttpEngine* Web;
  THttpCookie* Session;

 private:
  void Serve() {
    std::string id = Session->Value();
    if (!IsSessionId(id)) {
      id = NewSessionId();
      Session->Send(id);
    }
    const std::string file = "sessions/" + id;
    std::ostringstream kept;
    kept << std::ifstream(file).rdbuf();
    const std::string note = Web->GetField("note", "");
    if (!note.empty()) std::ofstream(file) << note;
    Web->Write("<p>Your note was: " + HtmlEscape(kept.str()) + "</p>");
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
  TSessionForm* form = nullptr;
  Application->CreateForm(form);
  Application->Run();
  RunModuleEndSteps();
}
