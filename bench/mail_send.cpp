// Load for the mail benchmark (mail_bench.sh).
//   mail_send send PORT COUNT [ATTACHMENT]  sends COUNT mails to 127.0.0.1:PORT
//                                           and prints the mails per second
//   mail_send base64 FILE                   writes FILE as the base64 lines of an
//                                           attachment to standard output
#include <chrono>
#include <cstdio>
#include <string>

#include "pithorama/mail/HSmtp.h"
#include "pithorama/platform/Files.h"

using namespace pithorama;

static int Send(const std::string& port, int count, const char* attachment) {
  TSmtpSendMail mail(nullptr);
  mail.RemoteHost = "127.0.0.1";
  mail.RemotePort = port;
  mail.MailFrom = "Bench <bench@example.org>";
  mail.MailTo = "sink@example.org";
  mail.MailSubject = "Quote";
  mail.MailBody() = {"The only way to do great work is to love what you do.", "", "-- S. J."};
  if (attachment) mail.Attachments() = {attachment};
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i)
    if (!mail.SendMail(30))
      return std::fprintf(stderr, "mail %d failed: %s\n", i, mail.ReplyText.c_str()), 1;
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("%.1f\n", count / took.count());
  return 0;
}

static int Base64(const char* path) {
  TFile file;
  if (!file.Open(path, FileAccess::Read, FileShare::DenyNone, FileCreate::OpenExisting)) return 1;
  std::string chunk(Base64LineBytes * 1456, '\0'), lines;
  for (;;) {
    size_t filled = 0;
    for (int64_t got; filled < chunk.size() &&
                      (got = file.Read(chunk.data() + filled, chunk.size() - filled)) > 0;)
      filled += static_cast<size_t>(got);
    lines.clear();
    AppendBase64Lines(std::string_view(chunk).substr(0, filled), lines);
    std::fwrite(lines.data(), 1, lines.size(), stdout);
    if (filled < chunk.size()) return 0;
  }
}

int main(int argc, char** argv) {
  std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "send" && argc >= 4)
    return Send(argv[2], std::stoi(argv[3]), argc > 4 ? argv[4] : nullptr);
  if (mode == "base64" && argc == 3) return Base64(argv[2]);
  std::fprintf(stderr, "usage: mail_send send PORT COUNT [ATTACHMENT] | base64 FILE\n");
  return 2;
}
