#include "examples/upload/UploadForm.h"

#include <string>

#include "examples/upload/UploadPage.h"
#include "pithorama/platform/Files.h"
#include "pithorama/platform/Module.h"
#include "pithorama/platform/Paths.h"

namespace upload {

using namespace pithorama;

namespace {
constexpr int32_t kOneGiB = 1 << 30;
}  // namespace

TUploadForm::TUploadForm(TComponent* owner) : TForm(owner) {
  Caption = "Upload";
  // The uploads' folder must exist before the request is read, which happens
  // while this form loads.
  const std::string tempDir = ExtractFilePath(ModuleFileName()) + "tmp";
  if (!DirectoryExists(tempDir)) CreateDir(tempDir);
  GeneralHttpEngine1 = new TGeneralHttpEngine(this);
  GeneralHttpEngine1->SetName("GeneralHttpEngine1");
  GeneralHttpEngine1->SetAutoReadLimit(kOneGiB);
  GeneralHttpEngine1->SetTempDir("tmp");
  GeneralHttpEngine1->SetOnExecRequest(
      [this](TObject* Sender) { GeneralHttpEngine1ExecRequest(Sender); });
}

void TUploadForm::GeneralHttpEngine1ExecRequest(TObject*) {
  TGeneralHttpEngine& web = *GeneralHttpEngine1;
  const TPostedFields fields{[&] { return web.GetFieldNames(); },
                             [&](const std::string& name) { return web.GetField(name, ""); }};
  if (web.GetRequestMethod() == "POST")
    web.Write(AnswerPage(fields));
  else
    web.Write(FormPage(web.GetScriptName()));
}

}  // namespace upload
