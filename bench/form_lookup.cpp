// A CGI program that reads every field of its request by name, as a handler
// that lists a form does: each name of GetFieldNames once, through GetField.
// It answers "<p>FIELDS BYTES" (names looked up, bytes of their values).
// Run by form_fields_bench.sh the way a web server runs a CGI program.
#include <string>
#include <unordered_set>

#include "pithorama/engine/GenEng.h"
#include "pithorama/gateways/cgi/CgiSEng.h"
#include "pithorama/platform/Environment.h"
#include "pithorama/platform/Module.h"

using namespace pithorama;

namespace {

class TLookupForm : public TForm {
 public:
  explicit TLookupForm(TComponent* owner) : TForm(owner) {
    Web = new TGeneralHttpEngine(this);
    Web->SetAutoReadLimit(1 << 30);
    Web->SetOnExecRequest([this](TObject*) {
      std::unordered_set<std::string> seen;
      size_t bytes = 0;
      for (const std::string& name : Web->GetFieldNames())
        if (seen.insert(name).second) bytes += Web->GetField(name, "").size();
      Web->Write("<p>" + std::to_string(seen.size()) + " " + std::to_string(bytes));
    });
  }
  TGeneralHttpEngine* Web;
};

}  // namespace

int main(int argc, char** argv) {
  SetCommandLine(argc, argv);
  StartModules({{"HttpEng", HttpEngStart, HttpEngEnd}, {"CgiSEng", CgiSEngStart, CgiSEngEnd}});
  InitApplication();
  TLookupForm* form = nullptr;
  Application->CreateForm(form);
  Application->Run();
  RunModuleEndSteps();
  return 0;
}
