// The SMTP dialogue (RFC 5321): connect, greeting, HELO, MAIL FROM, one RCPT
// TO per recipient, DATA, the message text and QUIT, as steps that NextStep
// orders. One deadline bounds the whole dialogue.
#include "mail/HSmtp.h"

#include <algorithm>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Messages.h"

namespace pithorama {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto ConnectLimit = std::chrono::seconds(20);
constexpr size_t FlushSize = 64 * 1024;
// Whole base64 lines of input per file read.
constexpr size_t FileChunk = Base64LineBytes * 1456;

thread_local std::string tBodyBuffer;

int MillisecondsUntil(Clock::time_point due) {
  auto rest = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
  return rest <= 0 ? 0 : static_cast<int>(std::min<long long>(rest, 1 << 30));
}

}  // namespace

// Reply bytes from the component's connection. Waiting blocks on the thread's
// messages and the socket's readiness until the deadline, then delivers what
// came, so that the close notification can end the connection meanwhile.
class TSmtpSendMail::TConnectionSource : public TReplySource {
 public:
  explicit TConnectionSource(TSmtpSendMail& mail) : mail_(mail) {}

  bool ReadAvailable(std::string& into) override {
    if (mail_.SocketState() != SocketConnected) return false;
    into += mail_.ReceiveString();
    return !mail_.ReceiveEnded();
  }

  bool WaitForMore() override {
    int left = mail_.MillisecondsLeft();
    if (left <= 0) return false;
    WaitForMessage(left);
    DispatchMessages();
    return true;
  }

 private:
  TSmtpSendMail& mail_;
};

TSmtpSendMail::TSmtpSendMail(TComponent* owner) : TTCPClient(owner) {
  RemoteHost = "localhost";
  RemotePort = "25";
  mailHeader_ = {
      "From: %MAILFROM%",
      "To: %MAILTO%",
      "CC: %MAILCC%",
      "Subject: %SUBJECT% ",
      "Mime-Version: 1.0",
      "Content-Type: text/plain; charset=iso-8859-1",
      "Content-Transfer-Encoding: quoted-printable",
  };
}

const std::string& TSmtpSendMail::BodyBuffer() { return tBodyBuffer; }

void TSmtpSendMail::AppendBody(const std::string& text) { tBodyBuffer += text; }

void TSmtpSendMail::WriteBody(const std::string& text) { AppendBody(text); }

bool TSmtpSendMail::SendMail(int timeoutSeconds) {
  tBodyBuffer.clear();
  Deadline = Now() + timeoutSeconds / 86400.0;
  deadline_ = Clock::now() + std::chrono::seconds(timeoutSeconds);
  sendFailed_ = false;
  outBuffer_.clear();
  // Notifications reach only the thread that owns the notify window.
  if (!IsWindowOfCallingThread(NotifyWindow())) return false;
  TStep step = TStep::Connect;
  try {
    while (step != TStep::Done && step != TStep::Failed) step = NextStep(step, RunStep(step));
  } catch (...) {
    // The end mark was not sent, so the server drops the half-sent message.
    inMessageText_ = false;
    outBuffer_.clear();
    Close();
    throw;
  }
  // After QUIT, and after any failed step: a dialogue left half-way would
  // only confuse the next SendMail.
  Close();
  return step == TStep::Done;
}

// The one place that orders the dialogue.
TSmtpSendMail::TStep TSmtpSendMail::NextStep(TStep step, bool succeeded) {
  if (!succeeded) return step == TStep::Helo ? TStep::BareHelo : TStep::Failed;
  switch (step) {
    case TStep::Connect: return TStep::Greeting;
    case TStep::Greeting: return TStep::Helo;
    case TStep::Helo:
    case TStep::BareHelo: return TStep::MailFrom;
    case TStep::MailFrom: return TStep::RcptTo;
    case TStep::RcptTo: return TStep::Data;
    case TStep::Data: return TStep::Message;
    case TStep::Message: return TStep::Quit;
    case TStep::Quit: return TStep::Done;
    default: return TStep::Failed;
  }
}

bool TSmtpSendMail::RunStep(TStep step) {
  switch (step) {
    case TStep::Connect: return ConnectStep();
    case TStep::Greeting: ReadReply(); return true;  // whatever the server says first
    case TStep::Helo: return HeloStep();
    case TStep::BareHelo: return CommandStep("HELO\r\n", 250);
    case TStep::MailFrom:
      return CommandStep("MAIL FROM:" + FormatAddressList(MailFrom, TAddressForm::Envelope) + "\r\n", 250);
    case TStep::RcptTo: return RcptToStep();
    case TStep::Data: return CommandStep("DATA\r\n", 354);
    case TStep::Message: return MessageStep();
    case TStep::Quit: return CommandStep("QUIT\r\n", 221);
    default: return false;
  }
}

// Starts the connect and waits for its notification, pumping the thread's
// messages, at most 20 seconds and never past the deadline. A connection
// still open from an earlier call is used as it is.
bool TSmtpSendMail::ConnectStep() {
  if (SocketState() == SocketConnected) return true;
  replyReader_.Reset();
  Connect();
  Clock::time_point limit = std::min(deadline_, Clock::now() + ConnectLimit);
  // A connect that failed (refused, unreachable) ends the wait at once.
  while (SocketState() == SocketConnecting && !ConnectFailed() && Clock::now() < limit) {
    WaitForMessage(MillisecondsUntil(limit));
    DispatchMessages();
  }
  return SocketState() == SocketConnected;
}

bool TSmtpSendMail::CommandStep(const std::string& command, int expectedCode) {
  Out(command);
  ReadReply();
  return !sendFailed_ && ReplyCode == expectedCode;
}

bool TSmtpSendMail::HeloStep() {
  char name[256];
  if (GetLocalHostName(name, sizeof name) != 0) return false;
  return CommandStep("HELO " + std::string(name) + "\r\n", 250);
}

// One RCPT TO per address, the To list first, then CC; the first refusal
// ends the step.
bool TSmtpSendMail::RcptToStep() {
  std::string recipients = FormatAddressList(MailTo, TAddressForm::Envelope) + ",";
  if (!MailCC.empty()) recipients += FormatAddressList(MailCC, TAddressForm::Envelope) + ",";
  size_t start = 0;
  for (size_t comma; (comma = recipients.find(',', start)) != std::string::npos; start = comma + 1) {
    std::string recipient = Trim(std::string_view(recipients).substr(start, comma - start));
    if (recipient.empty()) continue;
    Out("RCPT TO:" + recipient + "\r\n");
    ReadReply();
    if (sendFailed_ || (ReplyCode != 250 && ReplyCode != 251)) return false;
  }
  return true;
}

bool TSmtpSendMail::MessageStep() {
  stuffer_.Reset();
  inMessageText_ = true;
  ComposeMessage();
  inMessageText_ = false;
  Out("\r\n.\r\n");
  ReadReply();
  return !sendFailed_ && ReplyCode == 250;
}

void TSmtpSendMail::ReadReply() {
  ReplyText.clear();
  lastError_ = 0;
  Flush();
  TConnectionSource source(*this);
  TSmtpReply reply;
  TReplyStatus status = replyReader_.Read(source, reply);
  ReplyCode = status == TReplyStatus::Complete ? reply.Code : -1;
  ReplyText = status == TReplyStatus::TimedOut ? "SendMessage timeout" : reply.Text;
}

void TSmtpSendMail::Out(std::string_view text) {
  if (inMessageText_)
    stuffer_.Append(text, outBuffer_);
  else
    outBuffer_ += text;
  if (outBuffer_.size() >= FlushSize) Flush();
}

// After a failed send nothing more is sent: the rest would only be cut.
bool TSmtpSendMail::Flush() {
  if (!sendFailed_ && !outBuffer_.empty() && !SendString(outBuffer_)) sendFailed_ = true;
  outBuffer_.clear();
  return !sendFailed_;
}

int TSmtpSendMail::MillisecondsLeft() const { return MillisecondsUntil(deadline_); }

// ---- The message text ----

void TSmtpSendMail::ComposeMessage() {
  bool hasAttachments = !attachments_.empty();
  SendHeader(hasAttachments);
  std::string body;
  for (const std::string& line : mailBody_) body += line + "\r\n";
  SendBody(body);
  if (!hasAttachments) return;
  for (const std::string& line : attachments_) SendAttachment(line);
  Out("\r\n--" + std::string(MimeBoundary) + "--\r\n");
}

void TSmtpSendMail::SendHeader(bool hasAttachments) {
  std::string header, contentLines;
  SplitHeaderTemplate(mailHeader_, hasAttachments, MailCC.empty(), header, contentLines);
  header = ReplacePlaceholder(header, "%MAILTO%", FormatAddressList(MailTo, TAddressForm::Header));
  header = ReplacePlaceholder(header, "%MAILCC%", FormatAddressList(MailCC, TAddressForm::Header));
  header = ReplacePlaceholder(header, "%MAILFROM%", FormatAddressList(MailFrom, TAddressForm::Header));
  header = ReplacePlaceholder(header, "%MAILSUBJECT%", MailSubject);
  header = ReplacePlaceholder(header, "%SUBJECT%", MailSubject);
  Out(header);
  if (hasAttachments) {
    Out("Mime-Version: 1.0\r\n");
    Out("Content-Type: multipart/mixed; boundary=\"" + std::string(MimeBoundary) + "\"\r\n");
    Out("\r\nThis is a multipart message in MIME format\r\n\r\n");
    Out("--" + std::string(MimeBoundary) + "\r\n");
    Out(contentLines);
  }
  Out("\r\n");
}

// Entries are expanded into the thread's body buffer, which then goes out in
// one piece; leading points are doubled on the way out (Out).
void TSmtpSendMail::SendBody(const std::string& body) {
  if (!OnBodyEntry) {
    WriteBody(body);
  } else {
    ExpandBodyEntries(
        body, [this](std::string_view text) { WriteBody(std::string(text)); },
        [this](const std::string& name) { OnBodyEntry(name); });
  }
  Out(tBodyBuffer);
}

void TSmtpSendMail::SendAttachment(const std::string& line) {
  TAttachmentLine attachment = ParseAttachmentLine(line);
  Out("--" + std::string(MimeBoundary) + "\r\n");
  Out("Content-Type: application/octet-stream; name=\"" + attachment.FileName + "\"\r\n");
  Out("Content-Transfer-Encoding: Base64\r\n");
  Out("Content-Disposition: attachment; filename=\"" + attachment.FileName + "\"\r\n");
  Out("\r\n");
  SendFileBase64(attachment.Path);
  Out("\r\n");
}

void TSmtpSendMail::SendFileBase64(const std::string& path) {
  TFile file;
  if (!file.Open(path, FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting))
    throw EFOpenError("Cannot open file " + path);
  std::string chunk(FileChunk, '\0');
  std::string lines;
  for (;;) {
    size_t filled = 0;  // whole chunks, so that only the last line is short
    while (filled < chunk.size()) {
      int64_t got = file.Read(chunk.data() + filled, chunk.size() - filled);
      if (got < 0) throw EInOutError(SystemErrorText(file.LastError()), file.LastError());
      if (got == 0) break;
      filled += static_cast<size_t>(got);
    }
    lines.clear();
    AppendBase64Lines(std::string_view(chunk).substr(0, filled), lines);
    Out(lines);
    if (filled < chunk.size()) return;
  }
}

}  // namespace pithorama
