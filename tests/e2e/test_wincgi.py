"""Programs of the library answer Windows CGI requests through the stand-in
Windows CGI server (tools/wincgi_server.py): real curl requests become the
profile, content file and form sections of the Windows CGI interface, and the
answer is the output file the program wrote; programs in a server mode hand
their requests to a resident copy through the queue file."""

import concurrent.futures
import html
import os
import re
import shutil
import subprocess
import signal
import tempfile
import time
import unittest

import programs
from servers import WinCgiStandIn, curl, wincgi_environment, wincgi_once
from test_upload_cgi import digest, parse_answer


def echo_rows(page):
    """The echo page's request variables as a dict."""
    return {name: html.unescape(value) for name, value in
            re.findall(r"<tr><th>([A-Z ]+)</th><td>(.*?)</td></tr>", page.decode("latin-1"))}


class WindowsCgiRequests(unittest.TestCase):
    """Each test installs its program in a fresh folder, as a server's
    cgi-win folder, with the error log beside it."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="pithorama-wincgi-")

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def install(self, name):
        target = os.path.join(self.folder, programs.program_file(name))
        shutil.copy2(programs.program(name), target)
        return target

    def env(self, **extra):
        return wincgi_environment({"CGI_LOG_DIR": programs.host_path(self.folder), **extra})

    def serve(self, program, **extra):
        return WinCgiStandIn(self.install(program), self.env(**extra))

    def error_log(self, program):
        path = os.path.join(self.folder, program + ".Log")
        if not os.path.exists(path):
            return ""
        with open(path, encoding="latin-1", newline="") as f:
            return f.read()

    def test_get_with_a_query_string(self):
        with self.serve("wincgi_probe", PROBE="fields") as server:
            status, headers, body = curl(server.url("?a=1&b=x%26y&a=2"))
        self.assertEqual(status, 200, headers + server.error_log())
        self.assertIn("\nX-First:1\ncontent-type:text/html\n", headers)
        self.assertEqual(body, b"<pre>[a=1\r\n2][b=x&y][a=1\r\n2][last]")

    def test_output_file_starts_with_the_header_lines(self):
        program = self.install("wincgi_probe")
        output = wincgi_once(program, b"GET /cgi-win/wincgi_probe?x=1 HTTP/1.1\r\n"
                             b"Host: 127.0.0.1\r\n\r\n", self.env(PROBE="fields"))
        self.assertEqual(output, b"X-First:1\r\ncontent-type:text/html\r\n\r\n<pre>[x=1][last]")

    def test_echo_sees_the_request_variables(self):
        with self.serve("echo") as server:
            status, _, body = curl(server.url("/more/path?q=1"), "-A", "curl-test/1",
                                   "-e", "http://127.0.0.1/form", "-b", "k=v")
        self.assertEqual(status, 200, server.error_log())
        rows = echo_rows(body)
        self.assertEqual(rows["SERVER SOFTWARE"], "WinCGI-Stand-in/1.0")
        self.assertEqual(rows["SERVER PORT"], str(server.port))
        self.assertEqual(rows["GATEWAY INTERFACE"], "CGI/1.3a (Win)")
        self.assertEqual(rows["REQUEST METHOD"], "GET")
        self.assertEqual(rows["SCRIPT NAME"], "/cgi-win/" + programs.program_file("echo"))
        self.assertEqual(rows["PATH INFO"], "/more/path")
        self.assertEqual(rows["QUERY STRING"], "q=1")
        self.assertEqual(rows["REMOTE ADDR"], "127.0.0.1")
        self.assertEqual(rows["HTTP USER AGENT"], "curl-test/1")
        self.assertEqual(rows["HTTP REFERER"], "http://127.0.0.1/form")
        self.assertEqual(rows["HTTP COOKIE"], "k=v")

    def test_post_with_literal_and_external_fields(self):
        long_value = "x" * 300
        with self.serve("wincgi_probe", PROBE="fields") as server:
            status, headers, body = curl(
                server.url(), "--data", "colour=red&colour=green&long=" + long_value +
                "&lines=a%0D%0Ab&quote=say+%22hi%22&empty=")
        self.assertEqual(status, 200, headers + server.error_log())
        # Short values come from [Form Literal]; long ones, and ones with
        # control characters or double quotes, from the files of [Form External].
        self.assertEqual(body, b"<pre>[COLOUR=red\r\ngreen][EMPTY=][LINES=a\r\nb][LONG=" +
                         long_value.encode() + b'][QUOTE=say "hi"][last]')

    def test_multipart_content_file_with_uploads(self):
        program = self.install("upload")
        os.mkdir(os.path.join(self.folder, "tmp"))
        data = os.path.join(self.folder, "data.bin")
        with open(data, "wb") as f:
            f.write(b"\r\n--\r\n--x\n" * 5000 + os.urandom(70_000))
        with WinCgiStandIn(program, self.env()) as server:
            status, headers, body = curl(server.url(), "-H", "Expect:",
                                         "--form-string", "note=hi & bye",
                                         "-F", "file1=@%s;filename=p.bin" % data,
                                         "-F", "file2=@%s;type=text/plain" % data)
        self.assertEqual(status, 200, headers + server.error_log())
        fields, files = parse_answer(body.decode("latin-1"))
        self.assertIn(("note", "hi & bye"), fields)
        self.assertEqual(sorted(files), [("file1", "p.bin") + digest(data),
                                         ("file2", "data.bin") + digest(data)])
        self.assertEqual(os.listdir(os.path.join(self.folder, "tmp")), [],
                         "upload files left behind")

    def test_answer_with_a_location(self):
        with self.serve("wincgi_probe", PROBE="location") as server:
            status, headers, _ = curl(server.url())
        self.assertEqual(status, 302, headers)
        self.assertIn("\nLocation:http://127.0.0.1/moved\n", headers)
        output = wincgi_once(server.program, b"GET /cgi-win/wincgi_probe HTTP/1.0\r\n\r\n",
                             self.env(PROBE="location"))
        self.assertTrue(output.startswith(b"X-First:1\r\nLocation:http://127.0.0.1/moved\r\n\r\n"),
                        output)

    def test_answer_with_a_cookie(self):
        with self.serve("wincgi_probe", PROBE="cookie") as server:
            _, with_cookie, body = curl(server.url(), "-b", "k=v; n=2")
            _, _, without = curl(server.url())
        self.assertIn("\nSet-Cookie:probe=1; Path=/\n", with_cookie)
        self.assertEqual(body, b"<cookie>k=v; n=2[last]")
        self.assertEqual(without, b"<cookie>#1NOT_AVAILABLE#1[last]")

    def test_gateway_chosen_by_the_start(self):
        program = self.install("wincgi_probe")
        request = b"GET /cgi-win/wincgi_probe?x=1 HTTP/1.0\r\n\r\n"
        # Server software named, but a Windows CGI version: Windows CGI serves.
        output = wincgi_once(program, request, self.env(
            PROBE="fields", SERVER_SOFTWARE="Stand-in", CGI_VERSION="cgi/1.3a (win)"))
        self.assertEqual(output, b"X-First:1\r\ncontent-type:text/html\r\n\r\n<pre>[x=1][last]")
        # Server software named and no Windows CGI version: a standard CGI
        # start, which answers on standard output and leaves the output file.
        output = wincgi_once(program, request, self.env(PROBE="fields", SERVER_SOFTWARE="x"))
        self.assertEqual(output, b"")

    def test_missing_profile_is_logged(self):
        program = self.install("wincgi_probe")
        missing = programs.host_path(os.path.join(self.folder, "missing.ini"))
        result = subprocess.run(programs.command(program, missing), env=self.env(PROBE="fields"),
                                timeout=60)
        self.assertEqual(result.returncode, 0)
        self.assertRegex(self.error_log("wincgi_probe"),
                         r" : Unhandled exception : Cannot open file %s\r\n$" % re.escape(missing))


def wait_until(condition, seconds=20, what="condition"):
    """Polls `condition` until it holds; a hang fails instead of blocking."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def resident_copies(program):
    """Pids of the live copies of `program` started without arguments: its
    resident servers."""
    return [pid for pid, args in programs.copies_of(program) if not args]


class ResidentWindowsCgi(unittest.TestCase):
    """The Windows CGI flavour of the resident server: a client queues the
    name of its profile, the server serves it and writes the output file."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="pithorama-wincgi-resident-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        self.addCleanup(self.stop_servers)
        self.started = []

    def install(self, name):
        self.program = os.path.join(self.folder, programs.program_file(name))
        shutil.copy2(programs.program(name), self.program)
        self.queue = os.path.join(self.folder, "Temp", programs.program_file(name) + "_S")
        return self.program

    def env(self, **extra):
        return wincgi_environment({"CGI_LOG_DIR": programs.host_path(self.folder), **extra})

    def start_by_hand(self, **extra):
        """The program started without arguments: the resident server."""
        process = subprocess.Popen(programs.command(self.program), env=self.env(**extra),
                                   start_new_session=True,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        self.started.append(process)
        wait_until(lambda: os.path.exists(self.queue), what="the queue file")
        return process

    def stop_servers(self):
        """Deleting the queue file ends the servers; a copy that stays is killed."""
        if os.path.exists(self.queue):
            os.remove(self.queue)
        try:
            wait_until(lambda: not resident_copies(self.program), what="the servers to end")
        finally:
            for pid in resident_copies(self.program):
                os.kill(pid, signal.SIGKILL)
            for process in self.started:
                process.wait(timeout=10)

    def hit_twice(self, server, query=lambda n: "?n=%d" % n):
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            return list(pool.map(lambda n: curl(server.url(query(n)), "--max-time", "120"), (1, 2)))

    def test_first_requests_start_the_server(self):
        self.first_requests_start_the_server(self.env())

    def test_first_requests_start_the_server_when_the_software_is_named(self):
        # The copy started as the server must again choose Windows CGI.
        self.first_requests_start_the_server(
            self.env(SERVER_SOFTWARE="Stand-in/1.0", CGI_VERSION="CGI/1.3a (Win)"))

    def first_requests_start_the_server(self, env):
        program = self.install("resident_echo")
        with WinCgiStandIn(program, env) as server:
            for n, (status, headers, body) in enumerate(self.hit_twice(server), 1):
                self.assertEqual(status, 200, headers + server.error_log())
                self.assertIn(b"<tr><th>n</th><td>%d</td></tr>" % n, body)
            # Both first requests may start a copy; one wins, the other ends.
            wait_until(lambda: len(resident_copies(program)) == 1, what="one resident server")
            servers = resident_copies(program)
            self.assertTrue(os.path.exists(self.queue))
            # A later request goes to the server that runs: no new copy starts.
            status, _, body = curl(server.url("?n=3"))
            self.assertIn(b"<tr><th>n</th><td>3</td></tr>", body)
            self.assertEqual(sorted(resident_copies(program)), sorted(servers))

    def test_server_started_by_hand_serves_two_concurrent_requests(self):
        program = self.install("wincgi_probe")
        self.start_by_hand(PROBE="fields")
        with WinCgiStandIn(program, self.env(PROBE="none")) as server:
            results = self.hit_twice(server)
        # Served by the server: its handler shows the fields, the event of the
        # program's last request never fires there, and its first request
        # alone carries the header of the engine's first request.
        for n, (status, headers, body) in enumerate(results, 1):
            self.assertEqual(status, 200, headers + server.error_log())
            self.assertEqual(body, b"<pre>[n=%d]" % n)
        self.assertEqual(sum("\nX-First:1\n" in headers for _, headers, _ in results), 1)
        self.assertEqual(len(resident_copies(program)), 1)

    def test_queue_served_longer_than_thirty_seconds_is_waited_for(self):
        # Each request takes 17 s and the server serves them one after the
        # other, so the second client waits about 34 s. The queue file keeps
        # showing a live server (the first request's end rewrites it), so the
        # second client must not give its request up after 30 s.
        program = self.install("wincgi_probe")
        self.start_by_hand(PROBE="sleep", PROBE_SLEEP_MS="17000")
        with WinCgiStandIn(program, self.env()) as server:
            results = self.hit_twice(server)
        for n, (status, headers, body) in enumerate(results, 1):
            self.assertEqual(status, 200, headers + server.error_log())
            self.assertEqual(body, b"<slept %d>" % n)
        self.assertTrue(os.path.exists(self.queue), "a client gave up and deleted the queue")


if __name__ == "__main__":
    unittest.main()
