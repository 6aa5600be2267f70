// The SMTP sender: one mail per SendMail call, over a connection of its own.
//
//   TSmtpSendMail mail(form);
//   mail.RemoteHost = "mail.example.org";
//   mail.MailFrom = "Quotes <quotes@example.org>";
//   mail.MailTo = "Ann Lee <ann@example.org>, bob@example.org";
//   mail.MailSubject = "Today's quote";
//   mail.MailBody() = {"Hello %NAME%,", "..."};
//   mail.OnBodyEntry = [&](const std::string& name) { mail.WriteBody(LookUp(name)); };
//   bool delivered = mail.SendMail(30);
//
// SendMail looks synchronous to its caller, but while it waits it pumps the
// calling thread's messages, so other windows of the thread (timers, sockets)
// are served meanwhile. It must be called on the thread that created the
// component, which owns its notify window; elsewhere it answers false at once.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "pithorama/mail/AddressList.h"
#include "pithorama/mail/HSockets.h"
#include "pithorama/mail/MailText.h"
#include "pithorama/mail/SmtpReply.h"
#include "pithorama/platform/DateTime.h"
#include "pithorama/platform/Strings.h"

namespace pithorama {

using TBodyEntryEvent = std::function<void(const std::string& EntryName)>;

class TSmtpSendMail : public TTCPClient {
 public:
  explicit TSmtpSendMail(TComponent* owner);

  // Files to attach, one per line: a path, or a display name and <path>.
  TStringList& Attachments() { return attachments_; }
  std::string MailFrom;
  std::string MailTo;
  std::string MailCC;
  std::string MailSubject;
  TStringList& MailBody() { return mailBody_; }
  // The header template with the placeholders %MAILFROM%, %MAILTO%,
  // %MAILCC%, %MAILSUBJECT% and %SUBJECT%.
  TStringList& MailHeader() { return mailHeader_; }
  // Called for each %NAME% entry of the body; the handler writes the entry's
  // text with WriteBody.
  TBodyEntryEvent OnBodyEntry;
  // The name given in HELO. Empty: the local host's fully qualified name, or,
  // when it has none, the address of the connection's local end in brackets
  // ("[192.0.2.1]", RFC 5321 4.1.3). That address is also the second try
  // when a server refuses the name.
  std::string HeloName;

  // The wall-clock end of the current dialogue (informational; the waits use
  // a monotonic clock), the code of the last reply (-1: none) and its text.
  TDateTime Deadline = 0;
  int32_t ReplyCode = -1;
  std::string ReplyText;

  // Setters copy the lines into the component's own lists.
  virtual void SetMailHeader(const TStringList& lines) { mailHeader_ = lines; }
  virtual void SetMailBody(const TStringList& lines) { mailBody_ = lines; }
  virtual void SetAttachments(const TStringList& lines) { attachments_ = lines; }
  // Appends text to the calling thread's body buffer.
  virtual void AppendBody(const std::string& text);
  // What an OnBodyEntry handler calls to insert text: AppendBody.
  virtual void WriteBody(const std::string& text);

  // Delivers the mail within timeoutSeconds in all. True when the server took
  // the mail and answered 221 to QUIT. A failed step closes the connection,
  // so the next call starts afresh. An attachment that cannot be opened
  // raises EFOpenError; the mail is then not delivered.
  bool SendMail(int timeoutSeconds);
  std::string FormatAddressList(const std::string& list, TAddressForm form) const {
    return pithorama::FormatAddressList(list, form);
  }
  // Sends what is buffered, then waits for one whole reply until the deadline
  // and sets ReplyCode and ReplyText ("SendMessage timeout" when none came).
  // When the send fails there is no reply to wait for: ReplyCode is -1 at once.
  void ReadReply();
  // Why the last SendMail failed, in one line: the step ("connect to host:port"
  // or the command sent) and the server's reply or the socket error. Empty
  // after a mail that went through.
  const std::string& FailureText() const { return failureText_; }

  // The calling thread's body buffer: the body of the last mail composed on
  // this thread, before its lines' leading points were doubled.
  static const std::string& BodyBuffer();

 private:
  class TConnectionSource;
  enum class TStep {
    Connect,
    Greeting,
    Helo,
    HeloAddress,
    MailFrom,
    RcptTo,
    Data,
    Message,
    Quit,
    Done,
    Failed
  };

  static TStep NextStep(TStep step, bool succeeded);
  bool RunStep(TStep step);
  bool ConnectStep();
  bool GreetingStep();
  bool CommandStep(const std::string& command, int expectedCode);
  bool HeloStep();
  bool HeloAddressStep();
  std::string LocalAddressLiteral();
  void NoteFailure(TStep step);
  bool RcptToStep();
  bool MessageStep();
  bool QuitStep();

  void ComposeMessage();
  void SendHeader(bool hasAttachments);
  void SendBody(const std::string& body);
  void SendAttachment(const std::string& line);
  void SendFileBase64(const std::string& path);

  // Output goes through a buffer that is sent before each reply is read and
  // whenever it grows large; inside the message text it is dot-stuffed.
  void Out(std::string_view text);
  bool Flush();
  int MillisecondsLeft() const;

  TStringList attachments_;
  TStringList mailBody_;
  TStringList mailHeader_;
  std::chrono::steady_clock::time_point deadline_;
  TReplyReader replyReader_;
  std::string outBuffer_;
  TDotStuffer stuffer_;
  bool inMessageText_ = false;
  bool sendFailed_ = false;
  std::string heloSent_;     // the name of the last HELO of this dialogue
  std::string lastCommand_;  // the last command line sent, for FailureText
  std::string failureText_;
};

}  // namespace pithorama
