// The whole message text as the server receives it between DATA and the end
// mark: header template, multipart layout, body entries, attachments.
#include <gtest/gtest.h>

#include "MessageFields.h"
#include "pithorama/mail/HSmtp.h"
#include "tests/support/Process.h"
#include "tests/support/ScriptedPeer.h"

using namespace pithorama;
using pithorama::test::ScriptedPeer;

namespace {

// The bytes between "DATA\r\n" and "QUIT\r\n".
std::string MessageOf(const std::string& sent) {
  size_t start = sent.find("DATA\r\n");
  size_t end = sent.rfind("QUIT\r\n");
  if (start == std::string::npos || end == std::string::npos)
    return "<no message in: " + sent + ">";
  return sent.substr(start + 6, end - start - 6);
}

std::string Send(TSmtpSendMail& mail, const std::vector<std::string>& script) {
  ScriptedPeer peer(script);
  mail.RemoteHost = "127.0.0.1";
  mail.RemotePort = std::to_string(peer.Port());
  EXPECT_TRUE(mail.SendMail(5)) << mail.FailureText();
  return pithorama::test::MaskChangingFields(MessageOf(peer.Received()));
}

const std::vector<std::string> Accepting = {"220 hi\r\n", "250 a\r\n", "250 b\r\n",  "250 c\r\n",
                                            "354 go\r\n", "250 e\r\n", "221 bye\r\n"};

TEST(MessageText, AttachmentsEntriesCcAndPoints) {
  pithorama::test::TempFolder folder;
  pithorama::test::WriteWholeFile(folder.File("four.bin"), std::string("\x01\x02\x03\x04", 4));
  pithorama::test::WriteWholeFile(folder.File("empty.txt"), "");
  TSmtpSendMail mail(nullptr);
  mail.MailFrom = "q@x.org";
  mail.MailTo = "Ann <a@x.org>";
  mail.MailCC = "c@x.org";
  mail.MailSubject = "S";
  mail.MailBody() = {"Dear %NAME%,", ".", ".net is 100% fine", "bye"};
  mail.OnBodyEntry = [&](const std::string& name) { mail.WriteBody("<" + name + ">"); };
  mail.Attachments() = {"Four <" + folder.File("four.bin") + ">", folder.File("empty.txt")};
  EXPECT_EQ(Send(mail, {"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n", "250 c\r\n",
                        "354 go\r\n", "250 e\r\n", "221 bye\r\n"}),
            "From: <q@x.org>\r\n"
            "To: Ann <a@x.org>\r\n"
            "CC: <c@x.org>\r\n"
            "Subject: S \r\n"
            "Mime-Version: 1.0\r\n"
            "Date: <date>\r\n"
            "Message-ID: <id>\r\n"
            "Mime-Version: 1.0\r\n"
            "Content-Type: multipart/mixed; boundary=\"64fd12hzzZ146r703k319Ap\"\r\n"
            "\r\n"
            "This is a multipart message in MIME format\r\n"
            "\r\n"
            "--64fd12hzzZ146r703k319Ap\r\n"
            "Content-Type: text/plain; charset=iso-8859-1\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n"
            "\r\n"
            "Dear <NAME>,\r\n"
            "..\r\n"
            "..net is 100% fine\r\n"
            "bye\r\n"
            "--64fd12hzzZ146r703k319Ap\r\n"
            "Content-Type: application/octet-stream; name=\"Four\"\r\n"
            "Content-Transfer-Encoding: Base64\r\n"
            "Content-Disposition: attachment; filename=\"Four\"\r\n"
            "\r\n"
            "AQIDBA==\r\n"
            "\r\n"
            "--64fd12hzzZ146r703k319Ap\r\n"
            "Content-Type: application/octet-stream; name=\"empty.txt\"\r\n"
            "Content-Transfer-Encoding: Base64\r\n"
            "Content-Disposition: attachment; filename=\"empty.txt\"\r\n"
            "\r\n"
            "\r\n"
            "\r\n--64fd12hzzZ146r703k319Ap--\r\n"
            "\r\n.\r\n");
  // The body buffer keeps the last body, as composed, until the next mail.
  EXPECT_EQ(TSmtpSendMail::BodyBuffer(), "Dear <NAME>,\r\n.\r\n.net is 100% fine\r\nbye\r\n");
}

TEST(MessageText, WithoutHandlerPercentSignsStay) {
  TSmtpSendMail mail(nullptr);
  mail.MailFrom = "q@x.org";
  mail.MailTo = "a@x.org";
  mail.MailHeader() = {"Subject: %mailsubject%"};
  mail.MailSubject = "%SUBJECT%";
  mail.MailBody() = {".", "Dear %NAME%,"};
  EXPECT_EQ(Send(mail, Accepting),
            "Subject: %SUBJECT%\r\nDate: <date>\r\nMessage-ID: <id>\r\n\r\n..\r\nDear "
            "%NAME%,\r\n\r\n.\r\n");
}

// Without a transfer encoding in the template the body goes out as it is; a
// long subject is folded, and unfolding gives it back whole.
TEST(MessageText, LongTextGoesOutWhole) {
  TSmtpSendMail mail(nullptr);
  mail.MailFrom = "q@x.org";
  mail.MailTo = "a@x.org";
  std::string subject;
  for (int i = 0; i < 600; ++i) subject += "word ";
  std::string line(70000, 'b');
  mail.MailHeader() = {"Subject: %SUBJECT%"};
  mail.MailSubject = subject;
  mail.MailBody() = {line, line};
  std::string message = Send(mail, Accepting);
  size_t end = message.find("\r\n\r\n");
  std::string header = message.substr(0, end + 2);
  for (size_t at; (at = header.find("\r\n ")) != std::string::npos;) header.erase(at, 2);
  EXPECT_EQ(header, "Subject: " + subject + "\r\nDate: <date>\r\nMessage-ID: <id>\r\n");
  EXPECT_EQ(message.substr(end), "\r\n\r\n" + line + "\r\n" + line + "\r\n\r\n.\r\n");
}

// The default template declares quoted-printable and iso-8859-1: the body is
// encoded so that readers show it as written, 8-bit header text becomes
// encoded words, and a line break in the subject cannot add a header line.
TEST(MessageText, BodyAndHeaderAsTheTemplateDeclares) {
  TSmtpSendMail mail(nullptr);
  mail.MailFrom = "Quotes <q@x.org>";
  mail.MailTo = "J\xF6rg <j@x.org>, \"Lee, Ann\" <a@x.org>";
  mail.MailSubject =
      "Gr\xFC\xDF"
      "e\r\nBcc: evil@x.org";
  mail.MailBody() = {
      "ten plus ten ", "if (a==b)", "y\xBE", "glued =", std::string(80, 'q'), ".", "x"};
  EXPECT_EQ(Send(mail, {"220 hi\r\n", "250 a\r\n", "250 b\r\n", "250 c\r\n", "250 c\r\n",
                        "354 go\r\n", "250 e\r\n", "221 bye\r\n"}),
            "From: Quotes <q@x.org>\r\n"
            "To: =?iso-8859-1?Q?J=F6rg?= <j@x.org>,\"Lee, Ann\" <a@x.org>\r\n"
            "Subject: =?iso-8859-1?Q?Gr=FC=DFe__Bcc=3A_evil=40x=2Eorg?= \r\n"
            "Mime-Version: 1.0\r\n"
            "Content-Type: text/plain; charset=iso-8859-1\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n"
            "Date: <date>\r\n"
            "Message-ID: <id>\r\n"
            "\r\n"
            "ten plus ten=20\r\n"
            "if (a=3D=3Db)\r\n"
            "y=BE\r\n"
            "glued =3D\r\n" +
                std::string(75, 'q') +
                "=\r\nqqqqq\r\n"
                "..\r\n"
                "x\r\n"
                "\r\n.\r\n");
}

}  // namespace
