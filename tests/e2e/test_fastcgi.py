"""The FastCGI gateway behind real web servers, one table of deployments
(fastcgi_servers.py): fields of GET and POST, an upload checked by SHA-256
with no temporary file left, a redirect, cookies, 64 concurrent hits each
with its own answer, connections kept, a web server restart while the
program runs on, the program killed and started again, and pithorama
mailing and logging every hit under 32 concurrent clients."""

import concurrent.futures
import hashlib
import html
import os
import re
import tempfile
import time
import unittest
import urllib.request

import programs
from fastcgi_servers import DEPLOYMENTS, NginxUpstream
from servers import SmtpSink, curl

DATA = os.path.join(os.path.dirname(__file__), "../../app/data")
SMTP_PORT = int(os.environ.get("PITHORAMA_E2E_SMTP_PORT", "0"))
FILE_ROW = re.compile(r'<tr class="file"><th>(.*?)</th><td class="name">(.*?)</td>'
                      r'<td class="size">(-?\d+)</td><td class="sha256">([0-9a-f]*)</td></tr>')


def field_row(name, value):
    return "<tr><th>%s</th><td>%s</td></tr>" % (html.escape(name), html.escape(value))


def fetch(url):
    """(status, body text) of a GET through a connection of its own."""
    with urllib.request.urlopen(url, timeout=60) as answer:
        return answer.status, answer.read().decode("latin-1")


def wait_until_served(url, seconds=30):
    """The first 200 answer of `url` once the program answers again."""
    deadline = time.monotonic() + seconds
    while True:
        status, headers, body = curl(url)
        if status == 200 or time.monotonic() > deadline:
            return status, headers, body
        time.sleep(0.2)


def tcp_connections(port, state):
    """How many TCP sockets with local `port` are in `state` ("01"
    established, "06" time-wait), from /proc/net/tcp."""
    count = 0
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if int(fields[1].split(":")[1], 16) == port and fields[3] == state:
                    count += 1
    return count


def deployment_for(name, *args, **kwargs):
    """A new deployment `name`; skips the test where it cannot serve the
    Windows programs."""
    kind = DEPLOYMENTS[name]
    if programs.WINDOWS and not kind.windows:
        raise unittest.SkipTest("%s serves no Windows program" % name)
    return kind(*args, **kwargs)


class EchoThroughFastCgi:
    deployment = None

    @classmethod
    def setUpClass(cls):
        cls.site = deployment_for(cls.deployment, "echo").__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.site.__exit__(None, None, None)

    def get(self, query="", *args):
        status, headers, body = curl(self.site.url("/app" + query), *args)
        self.assertEqual(status, 200, headers + self.site.error_log())
        return headers, body.decode("latin-1")

    def test_get_and_post_fields(self):
        _, page = self.get("?a=1&b=x%26y&a=2")
        self.assertIn(field_row("REQUEST METHOD", "GET"), page)
        self.assertIn(field_row("a", "1\r\n2"), page)
        self.assertIn(field_row("b", "x&y"), page)
        _, page = self.get("", "--data", "name=Fenwick&note=two+words")
        self.assertIn(field_row("REQUEST METHOD", "POST"), page)
        self.assertIn(field_row("name", "Fenwick"), page)
        self.assertIn(field_row("note", "two words"), page)

    def test_redirect(self):
        target = "http://example.org/next/" + "p" * 300
        status, headers, _ = curl(self.site.url("/app?redirect=" + target))
        self.assertEqual(status, 302, headers)
        self.assertIn("location: " + target + "\n", headers.lower())

    def test_cookies(self):
        headers, _ = self.get("?setcookie=flavour%3Dlemon")
        self.assertIn("set-cookie: flavour=lemon; path=/", headers.lower())
        _, page = self.get("", "-H", "Cookie: flavour=lemon; size=2")
        self.assertIn(field_row("HTTP COOKIE", "flavour=lemon; size=2"), page)

    def test_64_concurrent_hits_each_get_their_own_answer(self):
        with concurrent.futures.ThreadPoolExecutor(64) as pool:
            answers = list(pool.map(lambda i: fetch(self.site.url("/app?hit=%d" % i)), range(64)))
        for i, (status, page) in enumerate(answers):
            self.assertEqual(status, 200)
            self.assertIn(field_row("hit", str(i)), page)
            self.assertEqual(page.count("<tr><th>hit</th>"), 1)

    def test_keep_alive_connections_are_reused(self):
        # The client's connection: one curl, many requests.
        urls = [self.site.url("/app?n=%d" % i) for i in range(5)]
        result = curl(urls[0], *urls[1:], "-v")
        self.assertEqual(result[0], 200)
        for i in range(5):
            self.assertIn(field_row("n", str(i)), result[2].decode("latin-1"))
        if not self.site.keeps_connections:
            return
        # The web server's connections to the program: a program that closed
        # them after each request would leave one time-wait socket per hit.
        before = tcp_connections(self.site.app_port, "06")
        for i in range(30):
            self.get("?seq=%d" % i)
        self.assertLess(tcp_connections(self.site.app_port, "06") - before, 10)

    def test_web_server_restart_while_the_program_runs(self):
        pids = self.site.program_pids()
        self.site.restart_server()
        _, page = self.get("?after=restart")
        self.assertIn(field_row("after", "restart"), page)
        if not self.site.server_owns_program:
            self.assertEqual(self.site.program_pids(), pids)

    def test_program_killed_and_started_again(self):
        self.get()
        self.site.kill_program()
        if not self.site.server_owns_program:
            self.site.start_program()
        status, headers, body = wait_until_served(self.site.url("/app?back=1"))
        self.assertEqual(status, 200, headers + self.site.error_log())
        self.assertIn(field_row("back", "1"), body.decode("latin-1"))


class UploadThroughFastCgi:
    deployment = None

    def test_upload_arrives_whole_and_leaves_no_file(self):
        data = os.urandom(3 * 1024 * 1024 + 17)
        with deployment_for(self.deployment, "upload") as site, \
                tempfile.NamedTemporaryFile(suffix=".bin") as f:
            f.write(data)
            f.flush()
            status, headers, body = curl(site.url("/app"), "-H", "Expect:", "--form-string",
                                         "note=hello", "-F", "file1=@" + f.name)
            self.assertEqual(status, 200, headers + site.error_log())
            files = FILE_ROW.findall(body.decode("latin-1"))
            self.assertEqual([(n, int(s), h) for _, n, s, h in files],
                             [(os.path.basename(f.name), len(data),
                               hashlib.sha256(data).hexdigest())])
            tmp = os.path.join(site.app, "tmp")
            self.assertEqual(os.listdir(tmp) if os.path.isdir(tmp) else [], [])


def deployment_cases(base, prefix):
    for name in DEPLOYMENTS:
        title = prefix + "".join(part.capitalize() for part in name.split("-"))
        globals()[title] = type(title, (base, unittest.TestCase), {"deployment": name})


deployment_cases(EchoThroughFastCgi, "Echo")
deployment_cases(UploadThroughFastCgi, "Upload")


class PithoramaThroughNginx(unittest.TestCase):
    def test_32_concurrent_clients_each_hit_mailed_and_logged(self):
        hits = 96
        files = [os.path.join(DATA, "thankyou.html"), os.path.join(DATA, "QUOTES.DTA")]
        with SmtpSink(SMTP_PORT) as smtp, \
                deployment_for("nginx-tcp", "pithorama_e2e", extra_files=files) as site:
            with concurrent.futures.ThreadPoolExecutor(32) as pool:
                results = list(pool.map(
                    lambda i: curl(site.url(), "-H", "Referer: http://r/%d" % i), range(hits)))
            self.assertEqual(site.stop_program(), 0, site.error_log())
            messages = smtp.messages()
            with open(os.path.join(site.app, "quote.log"), "rb") as f:
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
        referers = sorted(int(re.match(rb"127\.0\.0\.1 \| http://r/(\d+) \| ", line).group(1))
                          for line in lines)
        self.assertEqual(referers, list(range(hits)))


class TwoInstancesBehindOneUpstream(unittest.TestCase):
    """Two copies of pithorama behind one nginx upstream: the hits are spread
    over both; when one is killed in the middle of the load, nginx passes its
    failed hits to the other, so every hit is answered, and the quote log
    lines of both copies are whole."""

    def test_one_killed_mid_load(self):
        hits = 160
        files = [os.path.join(DATA, "thankyou.html"), os.path.join(DATA, "QUOTES.DTA")]
        line = re.compile(rb"127\.0\.0\.1 \| http://r/(\d+) \|  \| $")
        with SmtpSink(SMTP_PORT), NginxUpstream("pithorama_e2e", extra_files=files) as site:
            with concurrent.futures.ThreadPoolExecutor(16) as pool:
                futures = [pool.submit(curl, site.url(), "-H", "Referer: http://r/%d" % i)
                           for i in range(hits)]
                concurrent.futures.wait(futures[:hits // 3])
                site.kill_instance(0)
                results = [f.result() for f in futures]
            self.assertEqual(site.stop_instances(), [0])
            logs = []
            for instance in site.instances:
                with open(os.path.join(instance["folder"], "quote.log"), "rb") as f:
                    logs.append(f.read().split(b"\r\n")[:-1])
        for status, headers, _ in results:
            self.assertEqual(status, 200, headers)
        self.assertTrue(all(logs), "each copy served hits")
        served = set()
        for lines in logs:
            for text in lines:
                match = line.match(text)
                self.assertIsNotNone(match, text)
                served.add(int(match.group(1)))
        # A hit of the killed copy may be logged there and again by the other.
        self.assertEqual(served, set(range(hits)))


if __name__ == "__main__":
    unittest.main()
