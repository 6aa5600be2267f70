// A small gateway library for the end-to-end tests of the NSAPI host: it
// answers, as plain lines, what the engine's getters read from the server's
// records and the form fields, and it sets one header twice.
#include "pithorama/engine/GenEng.h"
#include "pithorama/gateways/LibraryGateways.h"
#include "pithorama/platform/Component.h"
#include "pithorama/platform/Library.h"
#include "pithorama/platform/Module.h"

using namespace pithorama;

namespace {

class TProbeForm : public TForm {
 public:
  explicit TProbeForm(TComponent* owner) : TForm(owner) {
    Web = new TGeneralHttpEngine(this);
    Web->SetName("Web");
    Web->SetOnExecRequest([this](TObject*) { Answer(); });
  }

 private:
  void Answer() {
    Web->AddHeader("X-Probe", "first");
    Web->AddHeader("X-Probe", "second");
    std::string page = "<probe>\n";
    page += "method=" + Web->GetRequestMethod() + "\n";
    page += "protocol=" + Web->GetServerProtocol() + "\n";
    page += "script=" + Web->GetScriptName() + "\n";
    page += "query=" + Web->GetQueryString() + "\n";
    page += "addr=" + Web->GetRemoteAddr() + "\n";
    page += "agent=" + Web->GetUserAgent() + "\n";
    page += "cookie=" + Web->GetCookie() + "\n";
    page += "length=" + std::to_string(Web->GetContentLength()) + "\n";
    for (const std::string& name : Web->GetFieldNames())
      page += "field " + name + "=" + Web->GetField(name, "") + "\n";
    Web->Write(page);
  }

  TGeneralHttpEngine* Web;
};

}  // namespace

void pithorama::LibraryStart() {
  StartModules({{"HttpEng", HttpEngStart, HttpEngEnd}});
  StartLibraryGateways();
  InitApplication();
  Application->Initialize();
  TProbeForm* form = nullptr;
  Application->CreateForm(form);
}
