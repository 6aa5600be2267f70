"""Gateway libraries served through nsapi-host, driven by curl: the records
the host fills reach the engine's getters, fields and uploads are decoded,
headers go out through the response header block, requests run on several
threads at once, pithorama answers and mails, and a missing server library
is reported cleanly."""

import concurrent.futures
import os
import unittest
import urllib.parse

import programs
from nsapi_host import NsapiHost, missing_server_library
from servers import SmtpSink, curl

DATA = os.path.join(os.path.dirname(__file__), "../../app/data")
SMTP_PORT = int(os.environ.get("PITHORAMA_E2E_SMTP_PORT", "0"))


def lines_of(body):
    """The probe's answer lines; a field of several values keeps its CR LF."""
    return body.decode("latin-1").split("\n")


class ProbeThroughNsapiHost(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host = NsapiHost(programs.library("nsapi_probe")).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.host.__exit__(None, None, None)

    def hit(self, target, *curl_args):
        return curl(self.host.url(target), *curl_args)

    def test_get_reads_the_records(self):
        status, headers, body = self.hit("/app/probe?a=1&b=x%26y&a=2", "-A", "probe-agent",
                                         "-b", "k=v")
        self.assertEqual(status, 200, headers + self.host.error_log())
        lines = lines_of(body)
        for expected in ["method=GET", "protocol=HTTP/1.1", "script=/app/probe",
                         "query=a=1&b=x%26y&a=2", "addr=127.0.0.1", "agent=probe-agent",
                         "cookie=k=v", "field b=x&y"]:
            self.assertIn(expected, lines)
        self.assertIn("\nfield a=1\r\n2\n", body.decode("latin-1"))

    def test_header_added_twice_keeps_the_second_value(self):
        status, headers, _ = self.hit("/probe")
        self.assertEqual(status, 200)
        probe = [line for line in headers.lower().splitlines() if line.startswith("x-probe:")]
        self.assertEqual(probe, ["x-probe: second"])
        self.assertIn("content-type: text/html", headers.lower())

    def test_post_reads_the_body_without_the_query(self):
        form = urllib.parse.urlencode({"name": "Ada <Lovelace>", "eq": "a=b&c"})
        status, _, body = self.hit("/probe?q=left", "--data", form)
        self.assertEqual(status, 200)
        lines = lines_of(body)
        self.assertIn("field name=Ada <Lovelace>", lines)
        self.assertIn("field eq=a=b&c", lines)
        self.assertIn("length=%d" % len(form), lines)
        self.assertFalse([line for line in lines if line.startswith("field q=")])

    def test_upload(self):
        data = bytes(range(256)) * 20  # zero bytes included, within AutoReadLimit
        path = self.host.file("upload.bin")
        with open(path, "wb") as f:
            f.write(data)
        status, _, body = self.hit("/probe", "-F", "note=hello", "-F",
                                   "f=@%s;filename=one.bin;type=application/x-test" % path)
        self.assertEqual(status, 200)
        lines = lines_of(body)
        self.assertIn("field note=hello", lines)
        self.assertIn("field f=one.bin", lines)
        self.assertIn("field f_CONTENT_TYPE=application/x-test", lines)
        self.assertTrue([line for line in lines if line.startswith("field f_FILENAME=") and
                         programs.is_absolute(line.split("=", 1)[1])], lines)

    def test_body_over_read_limit(self):
        status, _, body = self.hit("/probe", "--data", "big=" + "x" * 10000)
        self.assertEqual(status, 200)
        self.assertFalse([line for line in lines_of(body) if line.startswith("field big=")])
        self.assertIn(" : Content length exceeds AutoReadLimit\r\n", self.host.error_log())

    def test_concurrent_requests_each_get_their_own_answer(self):
        def one(i):
            return i, self.hit("/probe?id=%d" % i)

        with concurrent.futures.ThreadPoolExecutor(32) as pool:
            results = list(pool.map(one, range(32)))
        for i, (status, _, body) in results:
            self.assertEqual(status, 200)
            fields = [line for line in lines_of(body) if line.startswith("field ")]
            self.assertEqual(fields, ["field id=%d" % i])


class PithoramaThroughNsapiHost(unittest.TestCase):
    def test_hits_answer_the_page_and_mail_the_quote(self):
        library = programs.library("pithorama_e2e")
        files = [os.path.join(DATA, "thankyou.html"), os.path.join(DATA, "QUOTES.DTA")]
        hits = 8
        with SmtpSink(SMTP_PORT) as smtp, NsapiHost(library, files) as host:
            with concurrent.futures.ThreadPoolExecutor(hits) as pool:
                results = list(pool.map(
                    lambda i: curl(host.url("/quote"), "-H", "Referer: http://r/%d" % i),
                    range(hits)))
            messages = smtp.messages()
            with open(host.file("quote.log"), "rb") as f:
                log = f.read()
            error_log = host.error_log()
        self.assertEqual(host.returncode, 0, host.stderr)  # ended cleanly when asked
        with open(os.path.join(DATA, "thankyou.html"), "rb") as f:
            page = f.read()
        for status, headers, body in results:
            self.assertEqual(status, 200, headers + error_log)
            self.assertEqual(body, page)
            self.assertIn("pragma: no-cache", headers.lower())
        self.assertEqual(len(messages), hits, error_log)
        for _, content in messages:
            self.assertIn(b"And the Sagetron Spake:", content)
        # The referer is read from the server's request headers, as every
        # gateway logs it.
        self.assertEqual(sorted(log.split(b"\r\n")[:-1]),
                         sorted(b"127.0.0.1 | http://r/%d |  | " % i for i in range(hits)))


class MissingServerLibrary(unittest.TestCase):
    def test_every_request_fails_and_the_log_says_why_once(self):
        missing = missing_server_library()
        with NsapiHost(programs.library("nsapi_probe"),
                       environment={"NSAPI_SERVER_LIBRARY": missing}) as host:
            answers = [curl(host.url("/probe?a=%d" % i)) for i in range(3)]
            error_log = host.error_log()
        for status, _, body in answers:
            self.assertEqual(status, 500)
            self.assertNotIn(b"<probe>", body)
        entries = error_log.split("\r\n")[:-1]
        self.assertEqual(len(entries), 1, error_log)
        self.assertIn(" : NSAPI server library cannot be loaded : " + missing, entries[0])


if __name__ == "__main__":
    unittest.main()
