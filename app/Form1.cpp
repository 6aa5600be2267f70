#include "app/Form1.h"

#include "app/BuildSettings.h"
#include "app/Settings.h"
#include "pithorama/engine/HttpEng.h"
#include "pithorama/platform/Paths.h"
#include "pithorama/store/QuoteDb.h"
#include "pithorama/store/logfile.h"

namespace pithorama::app {

namespace {

constexpr int kQuoteAttempts = 19;
constexpr int kMailTimeoutSeconds = 30;

// A folder fixed at build time, or else the program's own.
std::string FolderOr(const char* folder, const std::string& programFolder) {
  return *folder != '\0' ? AddTrailingBackslash(folder) : programFolder;
}

// The mail settings of this hit: the built-in ones, overlaid by the settings
// file when the build names one. A file that cannot be read or holds a bad
// line leaves every built-in value and one line in the error log.
TMailSettings CurrentMailSettings(const TSmtpSendMail& defaults) {
  TMailSettings settings{defaults.RemoteHost, defaults.RemotePort, MailFromAddress, MailToAddress,
                         "Pithorama"};
  if (*MailSettingsFile == '\0') return settings;
  const std::string fault = LoadMailSettings(MailSettingsFile, settings);
  if (!fault.empty())
    WriteErrorLog("Settings : " + fault + "; the built-in mail settings are used");
  return settings;
}

}  // namespace

// The form's stored settings; components not named keep their defaults.
TForm1::TForm1(TComponent* owner) : TForm(owner) {
  SetName("Form1");
  Caption = "Form1";
  WindowState = TWindowState::wsMinimized;

  GeneralHttpEngine1 = new TGeneralHttpEngine(this);
  GeneralHttpEngine1->SetName("GeneralHttpEngine1");
  GeneralHttpEngine1->SetAutoContentType("text/html");
  GeneralHttpEngine1->CGIMode = TCGIMode::NormalMode;
  GeneralHttpEngine1->CgiAutoTerminate = true;
  GeneralHttpEngine1->SetNoCache(true);
  GeneralHttpEngine1->SetOnExecRequest(
      [this](TObject* Sender) { GeneralHttpEngine1ExecRequest(Sender); });

  HttpFileFilter1 = new THttpFileFilter(this);
  HttpFileFilter1->SetName("HttpFileFilter1");
  // Set once here, read by every request: in ServerThreadMode and under an
  // in-process server the handler runs on several threads at once and must
  // not write the filter. The page lies in the data folder, beside the
  // program file, where QuoteDir points: in a library that is the server's
  // program, not the library's own folder.
  HttpFileFilter1->FileName =
      AddTrailingBackslash(ExtractFilePath(Application->ExeName())) + "thankyou.html";

  Mail1 = new TSmtpSendMail(this);
  Mail1->SetName("Mail1");
  Mail1->RemoteHost = DefaultSmtpHost;
  Mail1->RemotePort = DefaultSmtpPort;
  // MailHeader stays at the sender's own seven template lines (From, To, CC,
  // "Subject: %SUBJECT% " with its trailing blank, and the MIME lines).
}

void TForm1::GeneralHttpEngine1ExecRequest(TObject*) {
  const std::string programFolder = AddTrailingBackslash(ExtractFilePath(Application->ExeName()));
  QuoteDir = FolderOr(QuoteFolder, programFolder);
  LogDir = FolderOr(RequestLogFolder, programFolder);

  // A pick that fails on a broken or missing quote file counts as an empty
  // one: the visitor still gets the mail, the page and the log line.
  TStringList QuoteList;
  for (int attempt = 0; attempt < kQuoteAttempts && QuoteList.empty(); ++attempt) {
    try {
      GetRandomQuote(QuoteList);
    } catch (const Exception&) {
      QuoteList.clear();
    }
  }

  // Each hit mails through a sender of its own, made on the thread that serves
  // the hit: a sender's socket notifications reach only the thread that
  // created it, and a server runs hits on several threads at once. Mail1
  // holds the settings.
  const TMailSettings settings = CurrentMailSettings(*Mail1);
  TSmtpSendMail mail(nullptr);
  mail.RemoteHost = settings.Relay;
  mail.RemotePort = settings.Port;
  mail.SetMailHeader(Mail1->MailHeader());
  mail.MailFrom = settings.Sender;
  mail.MailTo = settings.Recipient;
  mail.MailSubject = settings.Subject;
  TStringList& body = mail.MailBody();
  body.push_back("And the Sagetron Spake:");
  body.push_back("");
  body.insert(body.end(), QuoteList.begin(), QuoteList.end());
  body.push_back("");
  body.push_back("               Love --Fenwick");
  // The visitor gets the page either way; the reason of a failed mail goes to
  // the error log, so that a lost mail leaves a trace.
  if (!mail.SendMail(kMailTimeoutSeconds)) WriteErrorLog("Mail1 : " + mail.FailureText());

  HttpFileFilter1->SendFile();

  AppendLogLine(EngineGetRemoteAddr() + " | " + EngineGetReferer() + " | " +
                EngineGetRemoteIdent() + " | " + EngineGetRemoteHost());
}

}  // namespace pithorama::app
