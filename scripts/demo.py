"""Runs one hit of pithorama through lighttpd with an SMTP server on loopback
and shows what each party saw. Called by scripts/demo."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from servers import Lighttpd, SmtpSink  # noqa: E402


def section(title, text):
    print("=" * 72)
    print(title)
    print("=" * 72)
    print(text.rstrip("\n"))
    print()


def main():
    bin_dir, smtp_port = sys.argv[1], int(sys.argv[2])
    with SmtpSink(smtp_port) as smtp, Lighttpd() as web:
        web.install(os.path.join(bin_dir, "pithorama"),
                    extra_files=[os.path.join(bin_dir, "thankyou.html"),
                                 os.path.join(bin_dir, "QUOTES.DTA")])
        url = web.url("/cgi-bin/pithorama")
        print("lighttpd on %s, SMTP server on 127.0.0.1:%d\n" % (url, smtp_port))
        answer = subprocess.run(["curl", "-sS", "-i", "--max-time", "60", "-H",
                                 "Referer: http://127.0.0.1/demo", url],
                                capture_output=True, check=True).stdout
        section("The answer (curl -i %s)" % url, answer.decode("latin-1"))
        for envelope, content in smtp.messages():
            section("The mail the SMTP server received (from %s to %s)"
                    % (envelope["mail_from"], ", ".join(envelope["rcpt_tos"])),
                    content.decode("latin-1").replace("\r\n", "\n"))
        with open(os.path.join(web.cgi_bin, "quote.log"), "rb") as log:
            section("The new line of quote.log", log.read().decode("latin-1"))


if __name__ == "__main__":
    main()
