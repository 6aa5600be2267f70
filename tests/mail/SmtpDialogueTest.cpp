// The SMTP dialogue against a scripted peer: the exact bytes the client sends
// for each way a server may answer.
#include <gtest/gtest.h>

#include <chrono>

#include "MessageFields.h"
#include "pithorama/mail/HSmtp.h"
#include "pithorama/platform/Errors.h"
#include "tests/support/ScriptedPeer.h"
#include "tests/support/ThisProcess.h"

using namespace pithorama;
using pithorama::test::ScriptedPeer;

namespace {

// A mail with two To recipients, no CC and a one-line body.
void FillMail(TSmtpSendMail& mail, int port) {
  mail.RemoteHost = "127.0.0.1";
  mail.RemotePort = std::to_string(port);
  mail.HeloName = "client.example.org";
  mail.MailFrom = "Quotes <quotes@example.org>";
  mail.MailTo = "Ann Lee <ann@example.org>, bob@example.org";
  mail.MailSubject = "Hi";
  mail.MailBody() = {"Body"};
}

const std::string Message =
    "From: Quotes <quotes@example.org>\r\n"
    "To: Ann Lee <ann@example.org>,<bob@example.org>\r\n"
    "Subject: Hi \r\n"
    "Mime-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=iso-8859-1\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "Date: <date>\r\n"
    "Message-ID: <id>\r\n"
    "\r\n"
    "Body\r\n"
    "\r\n.\r\n";

struct DialogueCase {
  const char* name;
  std::vector<std::string> script;  // the greeting, then one reply per command
  bool result;
  std::string sent;
  std::string failure;  // FailureText
};

// Failure messages name the case instead of dumping its bytes.
void PrintTo(const DialogueCase& c, std::ostream* os) { *os << c.name; }

const std::string Helo = "HELO client.example.org\r\n";
const std::string HeloAddress = "HELO [127.0.0.1]\r\n";
const std::string Envelope = "MAIL FROM:<quotes@example.org>\r\nRCPT TO:<ann@example.org>\r\n";
const std::string SecondRcpt = "RCPT TO:<bob@example.org>\r\n";

const DialogueCase DialogueCases[] = {
    {"Accepted",
     {"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n", "250 d\r\n", "354 go\r\n", "250 e\r\n",
      "221 bye\r\n"},
     true,
     Helo + Envelope + SecondRcpt + "DATA\r\n" + Message + "QUIT\r\n",
     ""},
    // A refused name is followed by the address of the local end, never by a
    // HELO without an argument.
    {"HeloRejectedThenAddressLiteral",
     {"220 hi\r\n", "504 need fully-qualified hostname\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n",
      "250 d\r\n", "354 go\r\n", "250 e\r\n", "221 bye\r\n"},
     true,
     Helo + HeloAddress + Envelope + SecondRcpt + "DATA\r\n" + Message + "QUIT\r\n",
     ""},
    {"AddressLiteralRejectedToo",
     {"220 hi\r\n", "501 no\r\n", "502 no\r\n"},
     false,
     Helo + HeloAddress,
     "HELO [127.0.0.1] : 502 no"},
    // Servers that end their lines with a bare LF.
    {"BareLineFeedReplies",
     {"220 hi\n", "250-a\n250 b\n", "250 b\n", "250 c\n", "250 d\n", "354 go\n", "250 e\n",
      "221 bye\n"},
     true,
     Helo + Envelope + SecondRcpt + "DATA\r\n" + Message + "QUIT\r\n",
     ""},
    {"Rcpt251Accepted",
     {"220 hi\r\n", "250 a\r\n", "250 b\r\n", "251 fwd\r\n", "251 fwd\r\n", "354 go\r\n",
      "250 e\r\n", "221 bye\r\n"},
     true,
     Helo + Envelope + SecondRcpt + "DATA\r\n" + Message + "QUIT\r\n",
     ""},
    {"FirstRcptRefusedStopsBeforeSecond",
     {"220 hi\r\n", "250 a\r\n", "250 b\r\n", "550-no such\r\n550 user\r\n"},
     false,
     Helo + Envelope,
     "RCPT TO:<ann@example.org> : 550-no such 550 user"},
    {"QuitNot221",
     {"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n", "250 d\r\n", "354 go\r\n", "250 e\r\n",
      "250 odd\r\n"},
     false,
     Helo + Envelope + SecondRcpt + "DATA\r\n" + Message + "QUIT\r\n",
     "QUIT : 250 odd"},
    {"MailFromRefused",
     {"220 hi\r\n", "250 a\r\n", "553 bad sender\r\n"},
     false,
     Helo + "MAIL FROM:<quotes@example.org>\r\n",
     "MAIL FROM:<quotes@example.org> : 553 bad sender"},
    {"DataRefused",
     {"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n", "250 d\r\n", "451 later\r\n"},
     false,
     Helo + Envelope + SecondRcpt + "DATA\r\n",
     "DATA : 451 later"},
    {"MessageRefused",
     {"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n", "250 d\r\n", "354 go\r\n",
      "554 spam\r\n"},
     false,
     Helo + Envelope + SecondRcpt + "DATA\r\n" + Message,
     "end of the message text : 554 spam"},
    // Multi-line replies count as one reply each, wherever they are split.
    {"MultiLineReplies",
     {"220-first\r\n220-second\r\n220 third\r\n", "250-a\r\n250 b\r\n", "250 b\r\n", "250 c\r\n",
      "250 d\r\n", "354 go\r\n", "250 e\r\n", "221-so\r\n221 long\r\n"},
     true,
     Helo + Envelope + SecondRcpt + "DATA\r\n" + Message + "QUIT\r\n",
     ""},
    {"PeerClosesAfterMailFrom",
     {"220 hi\r\n", "250 a\r\n", ScriptedPeer::Close},
     false,
     Helo + "MAIL FROM:<quotes@example.org>\r\n",
     "MAIL FROM:<quotes@example.org> : connection closed"},
    {"PeerClosesAtOnce", {ScriptedPeer::Close}, false, "", "greeting : connection closed"},
    {"ReplyWithoutLineEndThenClose",
     {"220 hi\r\n", "250 a\r\n", "250 b", ScriptedPeer::Close},
     false,
     Helo + "MAIL FROM:<quotes@example.org>\r\n",
     "MAIL FROM:<quotes@example.org> : 250 b"},
};

class SmtpDialogue : public ::testing::TestWithParam<DialogueCase> {};

TEST_P(SmtpDialogue, SendsExactlyTheseBytes) {
  const DialogueCase& c = GetParam();
  ScriptedPeer peer(c.script);
  TSmtpSendMail mail(nullptr);
  FillMail(mail, peer.Port());
  EXPECT_EQ(mail.SendMail(5), c.result);
  EXPECT_EQ(pithorama::test::MaskChangingFields(peer.Received()), c.sent);
  EXPECT_EQ(mail.FailureText(), c.failure);
  EXPECT_EQ(mail.SocketState(), SocketIdle);  // closed after success and failure alike
}

INSTANTIATE_TEST_SUITE_P(Cases, SmtpDialogue, ::testing::ValuesIn(DialogueCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SmtpSendMail, CcRecipientsFollowToRecipients) {
  ScriptedPeer peer({"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n", "250 d\r\n", "250 e\r\n",
                     "250 f\r\n", "354 go\r\n", "250 g\r\n", "221 bye\r\n"});
  TSmtpSendMail mail(nullptr);
  FillMail(mail, peer.Port());
  mail.MailCC = "carl@example.org; Dora <dora@example.org>";
  EXPECT_TRUE(mail.SendMail(5));
  std::string sent = peer.Received();
  EXPECT_NE(sent.find(SecondRcpt +
                      "RCPT TO:<carl@example.org>\r\nRCPT TO:<dora@example.org>\r\nDATA\r\n"),
            std::string::npos)
      << sent;
  EXPECT_NE(sent.find("CC: <carl@example.org>,Dora <dora@example.org>\r\n"), std::string::npos)
      << sent;
}

TEST(SmtpSendMail, NullSenderStaysInBrackets) {
  ScriptedPeer peer({"220 hi\r\n", "250 a\r\n", "553 no\r\n"});
  TSmtpSendMail mail(nullptr);
  FillMail(mail, peer.Port());
  mail.MailFrom = "<>";
  EXPECT_FALSE(mail.SendMail(5));
  EXPECT_EQ(peer.Received(), Helo + "MAIL FROM:<>\r\n");
}

// Without a name of its own the client gives the host's fully qualified name,
// or the address of its end of the connection: never a short name.
TEST(SmtpSendMail, HeloGivesFullNameOrAddressLiteral) {
  ScriptedPeer peer({"220 hi\r\n", "421 enough\r\n"});
  TSmtpSendMail mail(nullptr);
  FillMail(mail, peer.Port());
  mail.HeloName.clear();
  EXPECT_FALSE(mail.SendMail(5));
  std::string sent = peer.Received();
  ASSERT_TRUE(sent.starts_with("HELO ") && sent.ends_with("\r\n")) << sent;
  std::string name = sent.substr(5, sent.size() - 7);
  bool dottedName =
      name.find('.') != std::string::npos && name.front() != '.' && name.back() != '.' &&
      name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.") ==
          std::string::npos;
  EXPECT_TRUE(name == "[127.0.0.1]" || dottedName) << sent;
}

TEST(SmtpSendMail, SilentServerFailsAtTheDeadline) {
  ScriptedPeer peer({ScriptedPeer::Silent});
  TSmtpSendMail mail(nullptr);
  FillMail(mail, peer.Port());
  EXPECT_FALSE(mail.SendMail(1));
  EXPECT_EQ(mail.ReplyCode, -1);
  EXPECT_EQ(mail.ReplyText, "SendMessage timeout");
  // The step that failed is the server's greeting; nothing was sent.
  EXPECT_EQ(mail.FailureText(), "greeting : SendMessage timeout");
  EXPECT_EQ(peer.Received(), "");
}

// A server that takes the message text slowly, or not at all. The bounds only
// make a hang fail: a slow reader must not stretch a 1 s dialogue to the
// peer's 30 s, and a send that gives up (after 10 s without progress) must
// not wait for a reply until the 60 s deadline.
struct HeldBackCase {
  const char* name;
  ScriptedPeer::TextReading reading;
  int timeoutSeconds;
  std::chrono::seconds bound;
  int error;
};

const HeldBackCase HeldBackCases[] = {
    {"SlowReaderEndsAtTheDeadline", ScriptedPeer::TextReading::Slow, 1, std::chrono::seconds(10),
     10060},
    {"StalledReaderFailsWhenTheSendGivesUp", ScriptedPeer::TextReading::Stalled, 60,
     std::chrono::seconds(25), 10035},
};

TEST(SmtpSendMail, ServerThatReadsSlowly) {
  for (const HeldBackCase& c : HeldBackCases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer({"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n", "250 d\r\n",
                       "354 go\r\n", "250 e\r\n"},
                      0, c.reading);
    TSmtpSendMail mail(nullptr);
    FillMail(mail, peer.Port());
    mail.MailHeader() = {"Subject: big"};
    mail.MailBody() =
        TStringList(160000, std::string(98, 'x'));  // 16 MB: more than the buffers on the way hold
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(mail.SendMail(c.timeoutSeconds));
    EXPECT_LT(std::chrono::steady_clock::now() - start, c.bound);
    peer.Release();
    EXPECT_EQ(mail.LastError(), c.error) << mail.FailureText();
    EXPECT_EQ(mail.ReplyCode, -1);
  }
}

TEST(SmtpSendMail, RefusedConnectionFailsWithRefusedError) {
  TSmtpSendMail mail(nullptr);
  FillMail(mail, pithorama::test::UnusedPort());
  std::vector<int> errors;
  mail.OnError = [&](TObject*, int code, const std::string&) { errors.push_back(code); };
  EXPECT_FALSE(mail.SendMail(30));  // ends when the refusal arrives, long before 30 s
  EXPECT_EQ(errors, std::vector<int>{10061});
  EXPECT_EQ(mail.FailureText(),
            "connect to 127.0.0.1:" + mail.RemotePort + " : Connection refused");
  EXPECT_EQ(mail.SocketState(), SocketIdle);  // the next SendMail can connect again
}

TEST(SmtpSendMail, MissingAttachmentRaisesAndEndsTheMessageUnsent) {
  ScriptedPeer peer(
      {"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n", "250 d\r\n", "354 go\r\n"});
  TSmtpSendMail mail(nullptr);
  FillMail(mail, peer.Port());
  mail.Attachments() = {"/nonexistent/file.bin"};
  try {
    mail.SendMail(5);
    FAIL() << "no error raised";
  } catch (const EFOpenError& e) {
    EXPECT_STREQ(e.what(), "Cannot open file /nonexistent/file.bin");
  }
  std::string sent = peer.Received();
  EXPECT_TRUE(sent.ends_with("DATA\r\n")) << sent;  // no half message, no end mark
  EXPECT_EQ(mail.SocketState(), SocketIdle);
}

TEST(SmtpSendMail, BadPortRaisesConvertError) {
  TSmtpSendMail mail(nullptr);
  FillMail(mail, 25);
  mail.RemotePort = "twenty-five";
  EXPECT_THROW(mail.SendMail(1), EConvertError);
}

// A server that pauses before every reply: the client waits in poll(), so
// its thread uses next to no processor time meanwhile.
TEST(SmtpSendMail, WaitingForSlowRepliesDoesNotSpin) {
  ScriptedPeer peer({"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n", "250 d\r\n", "354 go\r\n",
                     "250 e\r\n", "221 bye\r\n"},
                    150);
  TSmtpSendMail mail(nullptr);
  FillMail(mail, peer.Port());
  double before = pithorama::test::ThreadCpuSeconds();
  EXPECT_TRUE(mail.SendMail(10));
  // Eight replies of 150 ms: a busy wait would burn about 1.2 s of processor.
  EXPECT_LT(pithorama::test::ThreadCpuSeconds() - before, 0.4);
}

TEST(SmtpSendMail, SendMailOnAnotherThreadAnswersFalse) {
  TSmtpSendMail mail(nullptr);
  FillMail(mail, 25);
  bool result = true;
  std::thread([&] { result = mail.SendMail(5); }).join();
  EXPECT_FALSE(result);
}

}  // namespace
