// The SMTP dialogue (RFC 5321): connect, greeting, HELO, MAIL FROM, one RCPT
// TO per recipient, DATA, the message text and QUIT, as steps that NextStep
// orders. One deadline bounds the whole dialogue.
#include "pithorama/mail/HSmtp.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "pithorama/mail/HeaderText.h"
#include "pithorama/mail/QuotedPrintable.h"
#include "pithorama/platform/Errors.h"
#include "pithorama/platform/Files.h"
#include "pithorama/platform/Messages.h"
#include "pithorama/platform/Threads.h"

namespace pithorama {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto ConnectLimit = std::chrono::seconds(20);
constexpr size_t FlushSize = 64 * 1024;
// Whole base64 lines of input per file read.
constexpr size_t FileChunk = Base64LineBytes * 1456;

std::string& ThreadBodyBuffer() { return ThreadLocal<std::string, struct TBodyBufferTag>(); }

int MillisecondsUntil(Clock::time_point due) {
  auto rest = std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
  return rest <= 0 ? 0 : static_cast<int>(std::min<long long>(rest, 1 << 30));
}

// A name that a server requiring a fully qualified HELO takes: dotted, of
// letters, digits and hyphens, and no name of the loopback host.
bool IsFullyQualified(const std::string& name) {
  auto isNameCharacter = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
  };
  return name.find('.') != std::string::npos && name.front() != '.' && name.back() != '.' &&
         !name.starts_with("localhost.") && std::all_of(name.begin(), name.end(), isNameCharacter);
}

// The host's fully qualified name, or "" when it has none. Looked up once per
// process: the name does not change while a program runs.
const std::string& LocalDomainName() {
  static const std::string name = [] {
    char host[256];
    std::string canonical;
    if (GetLocalHostName(host, sizeof host) == 0 && IsFullyQualified(host))
      return std::string(host);
    if (LocalCanonicalHostName(canonical) && IsFullyQualified(canonical)) return canonical;
    return std::string();
  }();
  return name;
}

// A reply of several lines as one line of a log: each line end becomes a blank.
std::string OneLine(std::string_view text) {
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    line += text[i] == '\r' || text[i] == '\n' ? ' ' : text[i];
  }
  return TrimRight(line);
}

// The right side of a Message-ID: the sender's domain, else the HELO name.
std::string MessageIdDomain(const std::string& mailFrom, const std::string& heloName) {
  std::vector<TAddressItem> senders = ParseAddressList(mailFrom);
  if (!senders.empty()) {
    const std::string& address = senders.front().Address;
    size_t at = address.rfind('@');
    if (at != std::string::npos && at + 1 < address.size()) return address.substr(at + 1);
  }
  return heloName;
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

const std::string& TSmtpSendMail::BodyBuffer() { return ThreadBodyBuffer(); }

void TSmtpSendMail::AppendBody(const std::string& text) { ThreadBodyBuffer() += text; }

void TSmtpSendMail::WriteBody(const std::string& text) { AppendBody(text); }

bool TSmtpSendMail::SendMail(int timeoutSeconds) {
  ThreadBodyBuffer().clear();
  Deadline = Now() + timeoutSeconds / 86400.0;
  deadline_ = Clock::now() + std::chrono::seconds(timeoutSeconds);
  SetSendDeadline(deadline_);
  sendFailed_ = false;
  outBuffer_.clear();
  heloSent_.clear();
  lastCommand_.clear();
  failureText_.clear();
  // Notifications reach only the thread that owns the notify window.
  if (!IsWindowOfCallingThread(NotifyWindow())) {
    failureText_ = "SendMail called on a thread that does not own the component";
    return false;
  }
  TStep step = TStep::Connect;
  try {
    while (step != TStep::Done && step != TStep::Failed) {
      TStep next = NextStep(step, RunStep(step));
      if (next == TStep::Failed) NoteFailure(step);
      step = next;
    }
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
  if (!succeeded) return step == TStep::Helo ? TStep::HeloAddress : TStep::Failed;
  switch (step) {
    case TStep::Connect:
      return TStep::Greeting;
    case TStep::Greeting:
      return TStep::Helo;
    case TStep::Helo:
    case TStep::HeloAddress:
      return TStep::MailFrom;
    case TStep::MailFrom:
      return TStep::RcptTo;
    case TStep::RcptTo:
      return TStep::Data;
    case TStep::Data:
      return TStep::Message;
    case TStep::Message:
      return TStep::Quit;
    case TStep::Quit:
      return TStep::Done;
    default:
      return TStep::Failed;
  }
}

bool TSmtpSendMail::RunStep(TStep step) {
  switch (step) {
    case TStep::Connect:
      return ConnectStep();
    case TStep::Greeting:
      return GreetingStep();
    case TStep::Helo:
      return HeloStep();
    case TStep::HeloAddress:
      return HeloAddressStep();
    case TStep::MailFrom: {
      std::string sender = FormatAddressList(MailFrom, TAddressForm::Envelope);
      return CommandStep("MAIL FROM:" + (sender.empty() ? "<>" : sender),
                         250);  // <>: the null sender
    }
    case TStep::RcptTo:
      return RcptToStep();
    case TStep::Data:
      return CommandStep("DATA", 354);
    case TStep::Message:
      return MessageStep();
    case TStep::Quit:
      return CommandStep("QUIT", 221);
    default:
      return false;
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

// Whatever the server says first will do; no greeting at all (it timed out or
// the server closed) ends the dialogue here, named as the step that failed.
bool TSmtpSendMail::GreetingStep() {
  lastCommand_ = "greeting";
  ReadReply();
  return ReplyCode != -1;
}

// Sends one command line (given without its CR LF) and reads its reply.
bool TSmtpSendMail::CommandStep(const std::string& command, int expectedCode) {
  lastCommand_ = command;
  Out(command + "\r\n");
  ReadReply();
  return !sendFailed_ && ReplyCode == expectedCode;
}

// RFC 5321 4.1.1.1 asks for the fully qualified name, or an address literal
// when the host has none; servers that check it refuse a short name.
bool TSmtpSendMail::HeloStep() {
  heloSent_ = !HeloName.empty() ? HeloName : LocalDomainName();
  if (heloSent_.empty()) heloSent_ = LocalAddressLiteral();
  return !heloSent_.empty() && CommandStep("HELO " + heloSent_, 250);
}

// The second try after a refused name: the address of the local end, which a
// server can check against the connection. Nothing new to offer when the
// first try was that address already.
bool TSmtpSendMail::HeloAddressStep() {
  if (ReplyCode == -1) return false;  // no answer at all: nothing to try again
  std::string literal = LocalAddressLiteral();
  if (literal.empty() || literal == heloSent_) return false;
  heloSent_ = literal;
  return CommandStep("HELO " + literal, 250);
}

std::string TSmtpSendMail::LocalAddressLiteral() {
  TInetAddress local;
  if (SocketLocalAddress(SocketHandle(), local) != 0) return std::string();
  unsigned char bytes[4];
  std::memcpy(bytes, &local.Address, 4);  // network order: the first byte leads
  return "[" + std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[2]) + "." + std::to_string(bytes[3]) + "]";
}

void TSmtpSendMail::NoteFailure(TStep step) {
  std::string what =
      step == TStep::Connect ? "connect to " + RemoteHost + ":" + RemotePort : lastCommand_;
  std::string why = OneLine(ReplyText);
  if (why.empty() && LastError() != 0) why = GetErrorText();
  if (why.empty() && LastError() != 0) why = "socket error " + std::to_string(LastError());
  if (why.empty()) why = step == TStep::Connect ? "no connection" : "connection closed";
  failureText_ = what + " : " + why;
}

// One RCPT TO per address, the To list first, then CC; the first refusal
// ends the step.
bool TSmtpSendMail::RcptToStep() {
  std::string recipients = FormatAddressList(MailTo, TAddressForm::Envelope) + ",";
  if (!MailCC.empty()) recipients += FormatAddressList(MailCC, TAddressForm::Envelope) + ",";
  size_t start = 0;
  for (size_t comma; (comma = recipients.find(',', start)) != std::string::npos;
       start = comma + 1) {
    std::string recipient = Trim(std::string_view(recipients).substr(start, comma - start));
    if (recipient.empty()) continue;
    CommandStep("RCPT TO:" + recipient, 250);
    if (sendFailed_ || (ReplyCode != 250 && ReplyCode != 251)) return false;
  }
  return true;
}

bool TSmtpSendMail::MessageStep() {
  stuffer_.Reset();
  inMessageText_ = true;
  ComposeMessage();
  inMessageText_ = false;
  lastCommand_ = "end of the message text";
  Out("\r\n.\r\n");
  ReadReply();
  return !sendFailed_ && ReplyCode == 250;
}

void TSmtpSendMail::ReadReply() {
  ReplyText.clear();
  if (!sendFailed_) lastError_ = 0;  // the error of a failed send stays for the caller
  if (!Flush()) {
    ReplyCode = -1;
    if (MillisecondsLeft() == 0) ReplyText = "SendMessage timeout";
    return;
  }
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

// After a failed send nothing more is sent: the rest would only be cut. A
// connection that the server has closed takes nothing either.
bool TSmtpSendMail::Flush() {
  if (!sendFailed_ && !outBuffer_.empty() &&
      (SocketState() != SocketConnected || !SendString(outBuffer_)))
    sendFailed_ = true;
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
  const std::string charset = DeclaredCharset(mailHeader_);
  header = ReplacePlaceholder(header, "%MAILTO%", FormatHeaderAddressList(MailTo, charset));
  header = ReplacePlaceholder(header, "%MAILCC%", FormatHeaderAddressList(MailCC, charset));
  header = ReplacePlaceholder(header, "%MAILFROM%", FormatHeaderAddressList(MailFrom, charset));
  const std::string subject = HeaderText(MailSubject, charset);
  header = ReplacePlaceholder(header, "%MAILSUBJECT%", subject);
  header = ReplacePlaceholder(header, "%SUBJECT%", subject);
  // RFC 5322 requires Date; servers add neither field for remote clients.
  if (!HasHeaderField(header, "Date")) {
    TDateTime now = Now();
    header += "Date: " + FormatMailDate(now, LocalToUtcOffsetMinutes(now)) + "\r\n";
  }
  if (!HasHeaderField(header, "Message-ID"))
    header += "Message-ID: " + NewMessageId(MessageIdDomain(MailFrom, heloSent_)) + "\r\n";
  Out(FoldHeaderLines(header));
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
// one piece, encoded when the header says quoted-printable; leading points are
// doubled on the way out (Out).
void TSmtpSendMail::SendBody(const std::string& body) {
  if (!OnBodyEntry) {
    WriteBody(body);
  } else {
    ExpandBodyEntries(
        body, [this](std::string_view text) { WriteBody(std::string(text)); },
        [this](const std::string& name) { OnBodyEntry(name); });
  }
  const std::string& expanded = ThreadBodyBuffer();
  Out(DeclaresQuotedPrintable(mailHeader_) ? EncodeQuotedPrintable(expanded) : expanded);
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
