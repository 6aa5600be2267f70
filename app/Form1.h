// The main form of pithorama. It exists for its three components: the gateway
// facade, the template filter and the mail sender; it is created minimised and
// is never shown.
#pragma once

#include "pithorama/engine/GenEng.h"
#include "pithorama/engine/HttpFilter.h"
#include "pithorama/mail/HSmtp.h"
#include "pithorama/platform/Component.h"

namespace pithorama::app {

class TForm1 : public TForm {
 public:
  explicit TForm1(TComponent* owner);

  TGeneralHttpEngine* GeneralHttpEngine1;
  THttpFileFilter* HttpFileFilter1;
  TSmtpSendMail* Mail1;

  // Every hit: a random quote by mail, the thank-you page, a log line.
  void GeneralHttpEngine1ExecRequest(TObject* Sender);
};

}  // namespace pithorama::app
