// A library for the end-to-end tests of isapi-host: its form records the first
// and the last request events in the file named by ISAPI_PROBE_EVENTS and
// answers each request as its "do" field asks.
//   do=redirect&to=URL   a Location header (a redirect through the server)
//   do=slow&id=N         waits a little, then answers "id=N" from its own request state
//   do=fail              raises something that is no error at all (an int)
//   do=error             raises an error, which the request cycle logs
//   otherwise            the fields, one "name=value" line each
#include <fstream>
#include <stdexcept>

#include "pithorama/engine/GenEng.h"
#include "pithorama/gateways/LibraryGateways.h"
#include "pithorama/platform/Library.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/Threads.h"

using namespace pithorama;

namespace {

void RecordEvent(const std::string& event) {
  std::ofstream(GetEnvVar("ISAPI_PROBE_EVENTS"), std::ios::app) << event << "\n";
}

class TProbeForm : public TForm {
 public:
  explicit TProbeForm(TComponent* owner) : TForm(owner) {
    Web = new TGeneralHttpEngine(this);
    Web->SetAutoContentType("text/plain");
    Web->SetOnFirstExecRequest([](TObject*) {
      SleepMs(200);  // so that requests arriving together meet here
      RecordEvent("first");
    });
    Web->SetOnLastExecRequest([](TObject*) { RecordEvent("last"); });
    Web->SetOnExecRequest([this](TObject*) { Serve(); });
  }

 private:
  void Serve() {
    const std::string action = Web->GetField("do", "");
    if (action == "redirect") {
      Web->AddHeader("Location", Web->GetField("to", ""));
    } else if (action == "slow") {
      const std::string id = Web->GetField("id", "");
      SleepMs(50);
      Web->Write("<p>id=" + Web->GetField("id", "") + " was " + id + "</p>");
    } else if (action == "fail") {
      throw 42;
    } else if (action == "error") {
      throw std::runtime_error("probe error");
    } else {
      std::string page = "<pre>\n";
      for (const std::string& name : Web->GetFieldNames())
        page += name + "=" + Web->GetField(name, "") + "\n";
      Web->Write(page + "</pre>\n");
    }
  }

  TGeneralHttpEngine* Web;
};

}  // namespace

void pithorama::LibraryStart() {
  StartModules({{"HttpEng", HttpEngStart, HttpEngEnd}});
  StartLibraryGateways();
  InitApplication();
  TProbeForm* form = nullptr;
  Application->CreateForm(form);
}
