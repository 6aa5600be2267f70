// The upload program's main form: a gateway facade that accepts bodies up to
// 1 GiB and keeps uploads in the folder "tmp" beside the program, and a
// handler that shows the form (GET) or what was posted (POST).
#pragma once

#include "pithorama/engine/GenEng.h"
#include "pithorama/platform/Component.h"

namespace upload {

class TUploadForm : public pithorama::TForm {
 public:
  explicit TUploadForm(pithorama::TComponent* owner);

  pithorama::TGeneralHttpEngine* GeneralHttpEngine1;

 private:
  void GeneralHttpEngine1ExecRequest(pithorama::TObject* Sender);
};

}  // namespace upload
