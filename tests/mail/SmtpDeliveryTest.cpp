// Delivery to a real SMTP server (aiosmtpd) on a free loopback port: what it
// received, and the attachments as Python's email package decodes them.
#include <gtest/gtest.h>

#include "ServerProcess.h"
#include "pithorama/mail/HSmtp.h"
#include "tests/support/Process.h"

using namespace pithorama;

namespace {

std::string BinaryFile() {
  std::string data;
  for (int i = 0; i < 3000; ++i) data += static_cast<char>((i * 7919 + i / 256) & 0xFF);
  return data + "\r\n.\r\nQUIT\r\n" + std::string(3, '\0');
}

TEST(SmtpDelivery, RealServerReceivesEnvelopeHeadersBodyAndAttachments) {
  if (!pithorama::test::HostToolsAvailable())
    GTEST_SKIP() << "needs python3 for the mail server, which this build cannot start";
  pithorama::test::TempFolder folder;
  pithorama::test::ServerProcess server({"/usr/bin/python3", SMTP_CAPTURE_SCRIPT, folder.Path()});
  ASSERT_NE(server.Port(), 0) << "the aiosmtpd server (python3-aiosmtpd) did not start: "
                              << server.Output();
  std::string binary = BinaryFile();
  pithorama::test::WriteWholeFile(folder.File("data.bin"), binary);
  pithorama::test::WriteWholeFile(folder.File("four.txt"), "abcd");

  TSmtpSendMail mail(nullptr);
  mail.RemoteHost = "127.0.0.1";
  mail.RemotePort = std::to_string(server.Port());
  mail.MailFrom = "Quote Mailer <quotes@example.org>";
  mail.MailTo = "Ann Lee <ann@example.org>, bob@example.org";
  mail.MailCC = "carl@example.org;Dora <dora@example.org>";
  mail.MailSubject = "Quote of the hit";
  mail.MailBody() = {"First line", ".", ".net and . and ..", "Last line"};
  mail.Attachments() = {"Data file <" + folder.File("data.bin") + ">", folder.File("four.txt")};
  ASSERT_TRUE(mail.SendMail(20)) << mail.ReplyCode << " " << mail.ReplyText;

  EXPECT_EQ(pithorama::test::ReadWholeFile(folder.File("1.envelope")),
            "MAIL FROM:quotes@example.org\n"
            "RCPT TO:ann@example.org\nRCPT TO:bob@example.org\n"
            "RCPT TO:carl@example.org\nRCPT TO:dora@example.org\n");
  std::string message = pithorama::test::ReadWholeFile(folder.File("1.eml"));
  EXPECT_TRUE(
      message.starts_with("From: Quote Mailer <quotes@example.org>\r\n"
                          "To: Ann Lee <ann@example.org>,<bob@example.org>\r\n"
                          "CC: <carl@example.org>,Dora <dora@example.org>\r\n"
                          "Subject: Quote of the hit \r\n"
                          "Mime-Version: 1.0\r\n"))
      << message;
  // The server undid the point doubling: the body arrives as written.
  EXPECT_NE(message.find("\r\n\r\nFirst line\r\n.\r\n.net and . and ..\r\nLast "
                         "line\r\n--64fd12hzzZ146r703k319Ap\r\n"),
            std::string::npos)
      << message;
  EXPECT_EQ(pithorama::test::ReadWholeFile(folder.File("1.names")), "Data file\nfour.txt\n");
  EXPECT_EQ(pithorama::test::ReadWholeFile(folder.File("1.part0")), binary);
  EXPECT_EQ(pithorama::test::ReadWholeFile(folder.File("1.part1")), "abcd");
}

// The mail as a reader shows it, with the default template (quoted-printable,
// iso-8859-1): the body as written, lines over 998 bytes included, names and
// subject with their 8-bit letters, a quoted name with a comma as one
// recipient, a To list longer than a line, and a Date and Message-ID. The
// subject keeps the template's blank after it; the body ends in an empty line.
TEST(SmtpDelivery, ReaderShowsTheMailAsWritten) {
  if (!pithorama::test::HostToolsAvailable())
    GTEST_SKIP() << "needs python3 for the mail server, which this build cannot start";
  pithorama::test::TempFolder folder;
  pithorama::test::ServerProcess server({"/usr/bin/python3", SMTP_CAPTURE_SCRIPT, folder.Path()});
  ASSERT_NE(server.Port(), 0) << "the aiosmtpd server (python3-aiosmtpd) did not start: "
                              << server.Output();
  std::string longLine;
  for (int i = 0; i < 120; ++i) longLine += "word=" + std::to_string(i) + " ";
  std::string to = "\"Lee, Ann\" <ann@example.org>, J\xF6rg M\xFCller <jm@example.org>";
  std::string shownTo =
      "to=Lee, Ann <ann@example.org>\nto=J\xC3\xB6rg M\xC3\xBCller <jm@example.org>\n";
  for (int i = 0; i < 30; ++i) {
    std::string n = std::to_string(i);
    to += ", Recipient " + n + " <recipient." + n + "@example.org>";
    shownTo += "to=Recipient " + n + " <recipient." + n + "@example.org>\n";
  }

  TSmtpSendMail mail(nullptr);
  mail.RemoteHost = "127.0.0.1";
  mail.RemotePort = std::to_string(server.Port());
  mail.MailFrom = "Quote Mailer <quotes@example.org>";
  mail.MailTo = to;
  mail.MailSubject =
      "Gr\xFC\xDF"
      "e aus K\xF6ln\r\nBcc: evil@example.org";
  mail.MailBody() = {"ten plus ten=20", "if (a==b)", "y=BE is \xBE", "glued =", "next",
                     longLine,          ".",         "blank "};
  ASSERT_TRUE(mail.SendMail(20)) << mail.FailureText();

  EXPECT_EQ(pithorama::test::ReadWholeFile(folder.File("1.shown")),
            "subject=Gr\xC3\xBC\xC3\x9F"
            "e aus K\xC3\xB6ln  Bcc: evil@example.org \n"
            "from=Quote Mailer <quotes@example.org>\n" +
                shownTo +
                "date=valid\n"
                "message-id=valid\n"
                "\n"
                "ten plus ten=20\nif (a==b)\ny=BE is \xC2\xBE\nglued =\nnext\n" +
                longLine + "\n.\nblank \n\n");
}

}  // namespace
