"""pithorama answers real hits through real web servers (lighttpd, Apache,
nginx with fcgiwrap) and mails its quote through real SMTP servers: aiosmtpd,
and a Postfix with strict settings; the same program file answers the
stand-in Windows CGI server."""

import concurrent.futures
import email
import email.policy
import errno
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import programs
from servers import (Postfix, SmtpSink, curl, open_folder, web_server, wincgi_environment,
                     wincgi_once)

PROGRAM = programs.program("pithorama_e2e")
SMTP_PORT = int(os.environ.get("PITHORAMA_E2E_SMTP_PORT", "0"))
DATA = os.path.join(os.path.dirname(__file__), "../../app/data")
MAIL_TO = os.environ.get("PITHORAMA_E2E_MAIL_TO", "quotes@example.org")


def read(path, mode="r"):
    """Reads a file whole, keeping its CR LF line ends."""
    with open(path, mode, **({} if "b" in mode else {"newline": ""})) as f:
        return f.read()


def quote_lines_of(content):
    """The quote lines of the mail body: between the empty line after the
    greeting and the empty line before the signature."""
    body = content.split(b"\r\n\r\n", 1)[1]
    lines = body.split(b"\r\n")
    assert lines[0] == b"And the Sagetron Spake:", lines
    assert lines[1] == b""
    end = lines.index(b"               Love --Fenwick")
    assert lines[end - 1] == b""
    return lines[2:end - 1]


class PithoramaSite:
    server_name = None

    def setUp(self):
        self.server = web_server(self.server_name)
        self.server.install(PROGRAM, "pithorama", extra_files=[
            os.path.join(DATA, "thankyou.html"), os.path.join(DATA, "QUOTES.DTA")])
        self.server.__enter__()
        self.cgi = self.server.cgi_bin
        self.url = self.server.url("/cgi-bin/pithorama")

    def tearDown(self):
        self.server.__exit__(None, None, None)

    def hit(self, referer="http://127.0.0.1/form.html"):
        return curl(self.url, "-H", "Referer: " + referer)

    def log_lines(self):
        path = os.path.join(self.cgi, "quote.log")
        return read(path, "rb").split(b"\r\n")[:-1] if os.path.exists(path) else []

    def test_hit_mails_a_quote_answers_the_page_and_logs(self):
        with SmtpSink(SMTP_PORT) as smtp:
            status, headers, body = self.hit()
            messages = smtp.messages()
        self.assertEqual(status, 200, headers + self.server.error_log())
        self.assertEqual(body, read(os.path.join(DATA, "thankyou.html"), "rb"))
        self.assertIn("pragma: no-cache", headers.lower())
        self.assertIn("cache-control: no-cache", headers.lower())
        self.assertRegex(headers, r"Expires: [A-Z][a-z]{2},  \d\d [A-Z][a-z]{2} \d{4} ")
        self.assertNotIn("document expires", headers.lower())

        self.assertEqual(len(messages), 1)
        envelope, content = messages[0]
        self.assertEqual(envelope["rcpt_tos"], [MAIL_TO])
        # A fully qualified name or the address literal, never a short name.
        self.assertRegex(envelope["helo"], r"^(\[127\.0\.0\.1\]|[A-Za-z0-9-]+(\.[A-Za-z0-9-]+)+)$")
        header = content.split(b"\r\n\r\n", 1)[0].decode()
        self.assertIn("\r\nSubject: Pithorama \r\n", "\r\n" + header + "\r\n")
        self.assertNotIn("CC:", header)
        quote = quote_lines_of(content)
        self.assertTrue(quote, content)
        known = read(os.path.join(DATA, "QUOTES.DTA"), "rb")
        for line in quote:
            self.assertIn(line, known)

        self.assertEqual(self.log_lines(), [b"127.0.0.1 | http://127.0.0.1/form.html |  | "])

    def test_started_by_hand_serves_later_hits(self):
        # pithorama keeps NormalMode: started by hand it becomes the resident
        # server, and later hits hand their requests to it.
        queue = os.path.join(self.cgi, "Temp", programs.program_file("pithorama") + "_S")
        server = subprocess.Popen([os.path.join(self.cgi, "pithorama")],
                                  env={"PATH": "/usr/bin:/bin"}, cwd=self.cgi,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            deadline = time.monotonic() + 20
            while not os.path.exists(queue) and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertTrue(os.path.exists(queue), "the server made no queue file")
            with SmtpSink(SMTP_PORT) as smtp:
                for _ in range(2):
                    status, headers, body = self.hit()
                    self.assertEqual(status, 200, headers + self.server.error_log())
                    self.assertEqual(body, read(os.path.join(DATA, "thankyou.html"), "rb"))
                messages = smtp.messages()
            self.assertEqual(len(messages), 2)
            self.assertEqual(len(self.log_lines()), 2)
            self.assertIsNone(server.poll())
        finally:
            server.send_signal(programs.STOP_SIGNAL)
            server.wait(timeout=20)
        self.assertFalse(os.path.exists(queue))

    def test_no_quote_files(self):
        os.remove(os.path.join(self.cgi, "QUOTES.DTA"))
        with SmtpSink(SMTP_PORT) as smtp:
            status, _, body = self.hit()
            messages = smtp.messages()
        self.assertEqual(status, 200)
        self.assertIn(b"<html", body.lower())
        self.assertEqual(len(messages), 1)
        self.assertEqual(quote_lines_of(messages[0][1]), [])
        self.assertEqual(len(self.log_lines()), 1)

    def test_hit_through_a_strict_postfix(self):
        """Postfix that demands a fully qualified HELO, 7-bit text from a
        client without 8BITMIME and no bare line feeds, and adds no Date or
        Message-ID for it; the mail read back as a mail reader shows it."""
        os.mkdir(os.path.join(self.cgi, "Log"))
        with Postfix(SMTP_PORT) as postfix:
            status, _, body = self.hit()
            delivered = postfix.messages(1)
            log = postfix.log()
        self.assertEqual(status, 200)
        self.assertEqual(body, read(os.path.join(DATA, "thankyou.html"), "rb"))
        self.assertEqual(os.listdir(os.path.join(self.cgi, "Log")), [])
        self.assertEqual(len(delivered), 1, log)
        message = email.message_from_bytes(delivered[0], policy=email.policy.default)
        self.assertEqual(str(message["Subject"]), "Pithorama ")
        self.assertEqual([a.addr_spec for a in message["To"].addresses], [MAIL_TO])
        self.assertIsNotNone(message["Date"].datetime)
        self.assertRegex(str(message["Message-ID"]), r"^<[^<>@\s]+@[^<>@\s]+>$")
        lines = message.get_body(("plain",)).get_content().replace("\r\n", "\n").split("\n")
        self.assertEqual(lines[:2], ["And the Sagetron Spake:", ""])
        self.assertEqual(lines[-3:], ["               Love --Fenwick", "", ""])
        quote = lines[2:-4]
        self.assertTrue(quote, lines)
        known = read(os.path.join(DATA, "QUOTES.DTA"), "rb")
        for line in quote:
            self.assertIn(line.encode("latin-1"), known)
        self.assertEqual(self.log_lines(), [b"127.0.0.1 | http://127.0.0.1/form.html |  | "])

    def test_no_mail_server(self):
        os.mkdir(os.path.join(self.cgi, "Log"))
        open_folder(os.path.join(self.cgi, "Log"))
        status, _, body = self.hit()  # nothing listens on the relay's port
        self.assertEqual(status, 200)
        self.assertEqual(body, read(os.path.join(DATA, "thankyou.html"), "rb"))
        self.assertEqual(len(self.log_lines()), 1)
        # The lost mail leaves one line with its reason in the error log.
        error_log = read(os.path.join(self.cgi, "Log", "pithorama.Log"))
        self.assertRegex(error_log, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,  \d{1,3} : Mail1 : "
                         r"connect to 127\.0\.0\.1:%d : Connection refused\r\n$" % SMTP_PORT)

    def test_page_missing(self):
        os.remove(os.path.join(self.cgi, "thankyou.html"))
        os.mkdir(os.path.join(self.cgi, "Log"))
        open_folder(os.path.join(self.cgi, "Log"))
        with SmtpSink(SMTP_PORT) as smtp:
            status, _, body = self.hit()
            messages = smtp.messages()
        # The program answered nothing at all, so the server reports a failure
        # (nginx as a bad gateway).
        self.assertIn(status, (500, 502))
        self.assertNotIn(b"Thank", body)
        self.assertEqual(len(messages), 1)  # the mail went out before the page
        self.assertEqual(self.log_lines(), [])
        error_log = read(os.path.join(self.cgi, "Log", "pithorama.Log"))
        self.assertRegex(error_log, r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,  \d{1,3} : Unhandled exception : "
                         r"HttpFileFilter1 : Can not find file named .*[/\\]thankyou\.html\r\n$")

    def test_burst_of_parallel_hits(self):
        hits = 24
        with SmtpSink(SMTP_PORT) as smtp:
            with concurrent.futures.ThreadPoolExecutor(8) as pool:
                results = list(pool.map(lambda i: self.hit("http://r/%d" % i),
                                        range(hits)))
            messages = smtp.messages()
        page = read(os.path.join(DATA, "thankyou.html"), "rb")
        for status, _, body in results:
            self.assertEqual(status, 200)
            self.assertEqual(body, page)
        self.assertEqual(len(messages), hits)
        lines = self.log_lines()
        self.assertEqual(len(lines), hits)
        referers = sorted(int(re.match(rb"127\.0\.0\.1 \| http://r/(\d+) \|  \| $", line).group(1))
                          for line in lines)
        self.assertEqual(referers, list(range(hits)))

    def test_isindex_query_is_an_ordinary_hit(self):
        # Apache hands "?START_SERVER" to the program as its first argument.
        with SmtpSink(SMTP_PORT) as smtp:
            status, headers, body = curl(self.url + "?START_SERVER")
            messages = smtp.messages()
        self.assertEqual(status, 200, headers + self.server.error_log())
        self.assertEqual(body, read(os.path.join(DATA, "thankyou.html"), "rb"))
        self.assertEqual(len(messages), 1)
        self.assertEqual(len(self.log_lines()), 1)


class PithoramaLighttpd(PithoramaSite, unittest.TestCase):
    server_name = "lighttpd"


class PithoramaApache(PithoramaSite, unittest.TestCase):
    server_name = "apache"


class PithoramaNginx(PithoramaSite, unittest.TestCase):
    server_name = "nginx"


class KilledHit(unittest.TestCase):
    """A hit ended by a signal while it builds the quote index, SIGKILL
    included, leaves no temporary index behind. QUOTES.DTA is a FIFO, so the build waits, with its
    temporary index created, until the test has sent the signal."""

    def setUp(self):
        if programs.WINDOWS:
            self.skipTest("POSIX signals and a FIFO for a file")
        self.folder = tempfile.mkdtemp(prefix="pithorama-killed-")
        self.program = os.path.join(self.folder, "pithorama")
        shutil.copy2(PROGRAM, self.program)
        shutil.copy2(os.path.join(DATA, "thankyou.html"), self.folder)
        self.fifo = os.path.join(self.folder, "QUOTES.DTA")
        os.mkfifo(self.fifo)

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def wait_for_reader(self, process):
        """Opens the FIFO for writing once the program has opened it for reading."""
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and process.poll() is None:
            try:
                return os.open(self.fifo, os.O_WRONLY | os.O_NONBLOCK)
            except OSError as error:
                if error.errno != errno.ENXIO:
                    raise
                time.sleep(0.02)
        self.fail("the program never opened QUOTES.DTA")

    def test_signal_during_index_build(self):
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGKILL):
            with self.subTest(signal=sig.name):
                env = {"SERVER_SOFTWARE": "lighttpd/1.4.69", "GATEWAY_INTERFACE": "CGI/1.1",
                       "REQUEST_METHOD": "GET", "REMOTE_ADDR": "127.0.0.1",
                       "CGI_LOG_DIR": self.folder}
                process = subprocess.Popen([self.program], env=env, cwd=self.folder,
                                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
                writer = self.wait_for_reader(process)
                try:
                    process.send_signal(sig)
                    self.assertEqual(process.wait(timeout=30), -sig)
                finally:
                    os.close(writer)
                left = [name for name in os.listdir(self.folder)
                        if name.startswith("QUOTENDX.DTA")]
                self.assertEqual(left, [])


class PithoramaWindowsCgi(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="pithorama-wincgi-")
        self.program = os.path.join(self.folder, programs.program_file("pithorama"))
        shutil.copy2(PROGRAM, self.program)
        for name in ("thankyou.html", "QUOTES.DTA"):
            shutil.copy2(os.path.join(DATA, name), self.folder)

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def test_hit_mails_a_quote_and_writes_the_page_into_the_output_file(self):
        request = (b"GET /cgi-win/pithorama HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                   b"Referer: http://127.0.0.1/form.html\r\n\r\n")
        with SmtpSink(SMTP_PORT) as smtp:
            output = wincgi_once(self.program, request, wincgi_environment(
                {"CGI_LOG_DIR": programs.host_path(self.folder)}))
            messages = smtp.messages()
        header, _, body = output.partition(b"\r\n\r\n")
        self.assertRegex(header.decode("latin-1"),
                         r"^content-type:text/html\r\nPragma:no-cache\r\n"
                         r"Cache-Control:no-cache\r\nExpires:[A-Z][a-z]{2},  \d\d .* GMT$")
        self.assertEqual(body, read(os.path.join(DATA, "thankyou.html"), "rb"))

        self.assertEqual(len(messages), 1)
        envelope, content = messages[0]
        self.assertEqual(envelope["rcpt_tos"], [MAIL_TO])
        quote = quote_lines_of(content)
        self.assertTrue(quote, content)
        known = read(os.path.join(DATA, "QUOTES.DTA"), "rb")
        for line in quote:
            self.assertIn(line, known)

        log = read(os.path.join(self.folder, "quote.log"), "rb")
        self.assertEqual(log, b"127.0.0.1 | http://127.0.0.1/form.html |  | 127.0.0.1\r\n")


if __name__ == "__main__":
    unittest.main()
