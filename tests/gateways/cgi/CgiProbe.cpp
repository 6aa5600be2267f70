// A CGI program for the tests: its handler does what the variable PROBE says,
// so that one program shows every answer rule of the gateway. Built twice:
// cgi_probe carries the standard CGI gateway only, wincgi_probe the Windows
// CGI gateway as well.
#include <cstdlib>
#include <string>

#include "pithorama/engine/GenEng.h"
#include "pithorama/gateways/cgi/CgiSEng.h"
#ifdef PROBE_WINDOWS_CGI
#include "pithorama/gateways/wincgi/CgiWEng.h"
#endif
#include "pithorama/platform/Environment.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/Threads.h"

using namespace pithorama;

namespace {

class TProbeForm : public TForm {
 public:
  explicit TProbeForm(TComponent* owner) : TForm(owner) {
    Web = new TGeneralHttpEngine(this);
    if (auto limit = GetEnvironment("PROBE_LIMIT")) Web->SetAutoReadLimit(std::stoi(*limit));
    if (GetEnvironment("PROBE_NOREAD")) Web->SetAutoReadInput(false);
    if (auto folder = GetEnvironment("PROBE_TEMPDIR")) Web->SetTempDir(*folder);
    // A status is chosen before the first header line: those probes go without it.
    if (!GetEnvironment("PROBE_NOFIRST"))
      Web->SetOnFirstExecRequest([this](TObject*) { Web->AddHeader("X-First", "1"); });
    Web->SetOnExecRequest([this](TObject* sender) { Handle(sender); });
    Web->SetOnLastExecRequest([this](TObject*) { Web->Write("[last]"); });
  }

  TGeneralHttpEngine* Web;

 private:
  void Handle(TObject*) {
    const std::string probe = GetEnvironment("PROBE").value_or("");
    if (probe == "html") {
      Web->SetNoCache(true);
      Web->Write("<p>hi</p>");
    } else if (probe == "fields") {
      Web->Write("<pre>");
      for (const std::string& name : Web->GetFieldNames())
        Web->Write("[" + name + "=" + Web->GetField(name, "?") + "]");
    } else if (probe.rfind("var:", 0) == 0) {
      Web->Write("<v>" + Web->GetVariable(probe.substr(4)));
    } else if (probe == "raise") {
      throw Exception("boom");
    } else if (probe == "bytes") {
      Web->WriteBuffer("\0\1\2", 3);
    } else if (probe == "location") {
      Web->AddHeader("Location", "http://127.0.0.1/moved");
      Web->EndHeaders();
    } else if (probe == "sleep") {
      // A request that takes long: PROBE_SLEEP_MS milliseconds.
      SleepMs(std::stoi(GetEnvironment("PROBE_SLEEP_MS").value_or("0")));
      Web->Write("<slept " + Web->GetField("n", "") + ">");
    } else if (probe == "status") {
      Web->SetStatus(404);
      Web->Write("<p>gone</p>");
    } else if (probe == "redirect") {
      Web->Redirect("/next", 303);
    } else if (probe == "cookie") {
      Web->AddHeader("Set-Cookie", "probe=1; Path=/");
      Web->Write("<cookie>" + Web->GetCookie());
    } else if (probe == "stoi") {
      Web->Write("<p>before");
      Web->Write(std::to_string(std::stoi(Web->GetField("n", "x"))));
    } else if (probe == "foreign") {
      Web->Write("<p>before");
      throw 42;  // no std::exception: it passes on
    } else if (probe == "big") {
      // Four times the answer buffer, then a sign that the handler got to its end.
      for (int i = 0; i < 4 * 1024; ++i) Web->Write(std::string(64, 'x') + "\n");
      WriteErrorLog("handler finished");
    } else if (probe == "log") {
      WriteErrorLog(GetEnvironment("PROBE_MESSAGE").value_or(""));
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  SetCommandLine(argc, argv);
  StartModules({
      {"HttpEng", HttpEngStart, HttpEngEnd},
      {"CgiSEng", CgiSEngStart, CgiSEngEnd},
#ifdef PROBE_WINDOWS_CGI
      {"CgiWEng", CgiWEngStart, CgiWEngEnd},
#endif
  });
  InitApplication();
  TProbeForm* form = nullptr;
  Application->CreateForm(form);
  Application->Run();
  RunModuleEndSteps();
  return 0;
}
