"""ISAPI libraries served by isapi-host, driven by curl: the echo example, a
probe library, and pithorama mailing through a real SMTP server."""

import concurrent.futures
import os
import re
import tempfile
import unittest

import programs
from servers import IsapiHost, SmtpSink, curl

DATA = os.path.join(os.path.dirname(__file__), "../../app/data")
SMTP_PORT = int(os.environ.get("PITHORAMA_E2E_SMTP_PORT", "0"))


def text(body):
    return body.decode("latin-1")


class EchoLibrary(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host = IsapiHost("echo").__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.host.__exit__(None, None, None)

    def test_get_fields_and_variables(self):
        status, headers, body = curl(self.host.url("/more/path?a=1&b=x%26y&a=2"))
        self.assertEqual(status, 200, headers)
        self.assertIn("content-type: text/html", headers.lower())
        page = text(body)
        self.assertIn("<tr><th>REQUEST METHOD</th><td>GET</td></tr>", page)
        self.assertIn("<tr><th>SCRIPT NAME</th><td>%s</td></tr>" % self.host.script, page)
        self.assertIn("<tr><th>PATH INFO</th><td>/more/path</td></tr>", page)
        self.assertIn("<tr><th>REMOTE ADDR</th><td>127.0.0.1</td></tr>", page)
        self.assertIn("<tr><th>a</th><td>1\r\n2</td></tr>", page)
        self.assertIn("<tr><th>b</th><td>x&amp;y</td></tr>", page)

    def test_post_fields_with_query_string(self):
        status, _, body = curl(self.host.url("?q=from+query"), "--data",
                               "name=Ada+%3CLovelace%3E&long=" + "z" * 6000)
        self.assertEqual(status, 200)
        page = text(body)
        self.assertIn("<tr><th>name</th><td>Ada &lt;Lovelace&gt;</td></tr>", page)
        self.assertIn("<tr><th>long</th><td>" + "z" * 6000 + "</td></tr>", page)
        self.assertIn("<tr><th>q</th><td>from query</td></tr>", page)

    def test_upload(self):
        with tempfile.NamedTemporaryFile(suffix=".txt") as f:
            f.write(b"uploaded bytes\n" * 100)
            f.flush()
            status, _, body = curl(self.host.url("?q=1"), "-F", "note=hello",
                                   "-F", "doc=@%s;filename=notes.txt;type=text/plain" % f.name)
        self.assertEqual(status, 200)
        page = text(body)
        self.assertIn("<tr><th>note</th><td>hello</td></tr>", page)
        self.assertIn("<tr><th>doc</th><td>notes.txt</td></tr>", page)
        self.assertIn("<tr><th>doc_CONTENT_TYPE</th><td>text/plain</td></tr>", page)
        self.assertIn("<tr><th>q</th><td>1</td></tr>", page)
        temp_file = re.search(r"<tr><th>doc_FILENAME</th><td>([^<]+)</td>", page).group(1)
        self.assertFalse(os.path.exists(programs.unix_path(temp_file)),
                         "the upload outlived its request")

    def test_outside_the_script_path(self):
        status, _, _ = curl("http://127.0.0.1:%d/other" % self.host.port)
        self.assertEqual(status, 404)


class ProbeLibrary(unittest.TestCase):
    def setUp(self):
        self.events = tempfile.NamedTemporaryFile(delete=False)
        self.events.close()
        events = programs.host_path(self.events.name)
        self.host = IsapiHost("isapi_probe", threads=8,
                              env={"ISAPI_PROBE_EVENTS": events}).__enter__()

    def tearDown(self):
        self.host.__exit__(None, None, None)
        os.unlink(self.events.name)

    def read_events(self):
        with open(self.events.name) as f:
            return f.read().split()

    def test_concurrent_requests_each_get_their_own_answer_and_unload(self):
        def hit(i):
            return curl(self.host.url("?do=slow&id=%d" % i))

        with concurrent.futures.ThreadPoolExecutor(32) as pool:
            results = list(pool.map(hit, range(32)))
        for i, (status, _, body) in enumerate(results):
            self.assertEqual(status, 200)
            self.assertEqual(text(body), "<p>id=%d was %d</p>" % (i, i))
        self.assertEqual(self.read_events(), ["first"])
        code, err = self.host.stop()
        self.assertEqual(code, 0, err)
        self.assertEqual(self.read_events(), ["first", "last"])

    def test_redirect(self):
        target = "http://example.org/" + "p" * 700
        status, headers, _ = curl(self.host.url("?do=redirect&to=" + target))
        self.assertEqual(status, 302)
        self.assertIn("Location: " + target + "\n", headers)

    def test_failure_is_an_error_status(self):
        status, _, _ = curl(self.host.url("?do=fail"))
        self.assertEqual(status, 500)
        _, err = self.host.stop()
        self.assertIn("Unknown exception", err)

    def test_error_is_logged_and_the_answer_stands(self):
        status, _, body = curl(self.host.url("?do=error"))
        self.assertEqual(status, 200)
        self.assertEqual(body, b"")
        with open(os.path.join(self.host.folder, "isapi_probe.Log")) as f:
            self.assertIn(" : Unhandled exception : probe error", f.read())


class PithoramaLibrary(unittest.TestCase):
    def test_concurrent_hits_each_mail_a_quote(self):
        hits = 20
        files = [os.path.join(DATA, "thankyou.html"), os.path.join(DATA, "QUOTES.DTA")]
        with SmtpSink(SMTP_PORT) as smtp, \
                IsapiHost("pithorama_e2e", threads=8, extra_files=files) as host:
            with concurrent.futures.ThreadPoolExecutor(hits) as pool:
                results = list(pool.map(
                    lambda i: curl(host.url(), "-H", "Referer: http://r/%d" % i), range(hits)))
            messages = smtp.messages()
            log_path = os.path.join(host.folder, "quote.log")
            with open(log_path, "rb") as f:
                lines = f.read().split(b"\r\n")[:-1]
        with open(files[0], "rb") as f:
            page = f.read()
        for status, headers, body in results:
            self.assertEqual(status, 200, headers)
            self.assertIn("pragma: no-cache", headers.lower())
            self.assertEqual(body, page)
        self.assertEqual(len(messages), hits)
        for envelope, content in messages:
            self.assertIn(b"And the Sagetron Spake:", content)
            self.assertIn(b"               Love --Fenwick", content)
        referers = sorted(int(re.match(rb"127\.0\.0\.1 \| http://r/(\d+) \| ", line).group(1))
                          for line in lines)
        self.assertEqual(referers, list(range(hits)))


if __name__ == "__main__":
    unittest.main()
