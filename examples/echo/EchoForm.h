// The echo program's main form: a gateway facade at its default settings and a
// handler that answers the request variables and every form field as a page.
#pragma once

#include "pithorama/engine/GenEng.h"
#include "pithorama/platform/Component.h"

namespace echo {

class TEchoForm : public pithorama::TForm {
 public:
  explicit TEchoForm(pithorama::TComponent* owner);

  pithorama::TGeneralHttpEngine* GeneralHttpEngine1;

 private:
  void GeneralHttpEngine1ExecRequest(pithorama::TObject* Sender);
};

}  // namespace echo
