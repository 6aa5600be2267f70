"""The resident CGI server through lighttpd: the first hit of resident_echo
starts one copy that stays, and every later hit hands its request over through
the queue file and the request and answer files in cgi-bin/Temp."""

import concurrent.futures
import fcntl
import os
import signal
import struct
import subprocess
import time
import unittest

import programs
from servers import Lighttpd, curl

PROGRAMS = ("resident_echo", "resident_echo_threads", "echo")
DEBUG_ROW = "<tr><th>KESTREL CGI DEBUG</th><td>true</td></tr>"
ENTRY_SIZE = 268


def wait_until(condition, seconds=20, what="condition"):
    """Polls `condition` until it holds; a hang fails instead of blocking."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + (what() if callable(what) else what))


def process_alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(") ")[1][0] != "Z"
    except FileNotFoundError:
        return False


def catches(pid, number):
    """True when the process has a handler for the signal."""
    with open("/proc/%d/status" % pid) as f:
        caught = next(line for line in f if line.startswith("SigCgt:")).split()[1]
    return int(caught, 16) & (1 << (number - 1)) != 0


class ResidentServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.web = Lighttpd()
        for program in PROGRAMS:
            cls.web.install(programs.program(program), program)
        cls.web.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.web.__exit__(None, None, None)

    def setUp(self):
        self.temp = os.path.join(self.web.cgi_bin, "Temp")
        self.addCleanup(self.kill_servers)

    # ---- helpers -------------------------------------------------------------

    def servers(self, program):
        """Pids of the copies of `program` that clients started as the server."""
        return [pid for pid, args in self.processes(program) if args[:1] == ["START_SERVER"]]

    def processes(self, program):
        """Pids and arguments of the live processes of `program` from this cgi-bin."""
        return programs.copies_of(os.path.join(self.web.cgi_bin, programs.program_file(program)))

    def kill_servers(self):
        for program in PROGRAMS:
            for pid, _ in self.processes(program):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            wait_until(lambda: not self.processes(program), what="servers to go")
        for name in os.listdir(self.temp) if os.path.isdir(self.temp) else []:
            os.unlink(os.path.join(self.temp, name))

    def queue_file(self, program):
        return os.path.join(self.temp, programs.program_file(program) + "_S")

    def hit(self, program, query=""):
        status, headers, body = curl(self.web.url("/cgi-bin/%s?%s" % (program, query)))
        self.assertEqual(status, 200, headers + self.web.error_log() + self.program_log(program))
        return headers, body.decode("latin-1")

    def program_log(self, program):
        """The program's own error log, where it says why an answer failed."""
        folder = os.path.join(self.web.cgi_bin, "Log")
        texts = []
        for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
            if name.startswith(program):
                with open(os.path.join(folder, name), encoding="latin-1") as log:
                    texts.append(log.read())
        return "".join(texts)

    def entries(self, program):
        with open(self.queue_file(program), "rb") as f:
            data = f.read()
        return [data[i:i + ENTRY_SIZE] for i in range(0, len(data) - ENTRY_SIZE + 1, ENTRY_SIZE)]

    def work_files(self, program):
        prefix = programs.program_file(program) + "_"
        return sorted(n for n in os.listdir(self.temp) if n.startswith(prefix))

    def run_client(self, program, query):
        """A CGI start of `program` made by hand, the way a web server makes it."""
        env = {"PATH": "/usr/bin:/bin", "SERVER_SOFTWARE": "lighttpd/test", "GATEWAY_INTERFACE":
               "CGI/1.1", "REQUEST_METHOD": "GET", "QUERY_STRING": query,
               "REMOTE_ADDR": "127.0.0.1", "SCRIPT_NAME": "/cgi-bin/" + program}
        return subprocess.Popen([os.path.join(self.web.cgi_bin, program)], env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, cwd=self.web.cgi_bin)

    # ---- cases ---------------------------------------------------------------

    def test_first_hit_starts_the_server_and_is_answered(self):
        for program in ("resident_echo", "resident_echo_threads"):
            with self.subTest(program):
                headers, page = self.hit(program, "first=1")
                self.assertIn(DEBUG_ROW, page)
                self.assertIn("<tr><th>first</th><td>1</td></tr>", page)
                self.assertIn("content-length: %d" % len(page.encode("latin-1")),
                              headers.lower())
                [server] = self.servers(program)
                if programs.WINDOWS:
                    continue  # sessions, descriptors and modes are the POSIX back end's
                # Detached: out of the web server's session, so it never waits for it.
                self.assertNotEqual(os.getsid(server), os.getsid(self.web.processes[0].pid))
                self.assertEqual(os.readlink("/proc/%d/fd/1" % server), "/dev/null")
                # The work folder holds whole requests: the owner's alone.
                self.assertEqual(os.stat(self.temp).st_mode & 0o777, 0o700)

    def test_concurrent_hits_each_get_their_own_answer(self):
        for program in ("resident_echo", "resident_echo_threads"):
            with self.subTest(program):
                if programs.WINDOWS and program == "resident_echo_threads":
                    # An open fault: under Wine the thread-mode server now and
                    # then takes no entry for 30 s while 8 clients poll, and
                    # its clients give the queue up as stale.
                    self.skipTest("thread mode under 8 concurrent clients stalls under Wine")
                self.hit(program, "warm=1")
                [server] = self.servers(program)

                def one(n):
                    return n, self.hit(program, "n=%d" % n)[1]

                with concurrent.futures.ThreadPoolExecutor(8) as pool:
                    for n, page in pool.map(one, range(100)):
                        self.assertIn("<tr><th>n</th><td>%d</td></tr>" % n, page)
                        self.assertIn(DEBUG_ROW, page)
                self.assertEqual(self.servers(program), [server])
                wait_until(lambda: self.work_files(program) == [
                               os.path.basename(self.queue_file(program))],
                           what=lambda: "an empty work folder, not %s" % self.work_files(program))
                self.assertEqual(self.entries(program), [])

    def test_client_returns_while_the_server_stays(self):
        self.hit("resident_echo", "a=1")
        [server] = self.servers("resident_echo")
        client = self.run_client("resident_echo", "b=2")
        out, _ = client.communicate(timeout=20)
        self.assertEqual(client.returncode, 0)
        self.assertIn(b"<tr><th>b</th><td>2</td></tr>", out)
        self.assertTrue(process_alive(server))

    def test_killed_server_with_aged_queue_is_replaced(self):
        self.hit("resident_echo")
        [old] = self.servers("resident_echo")
        os.kill(old, signal.SIGKILL)
        wait_until(lambda: not process_alive(old), what="the server to die")
        aged = time.time() - 31
        os.utime(self.queue_file("resident_echo"), (aged, aged))
        _, page = self.hit("resident_echo", "after=1")
        self.assertIn("<tr><th>after</th><td>1</td></tr>", page)
        [new] = self.servers("resident_echo")
        self.assertNotEqual(new, old)

    def test_deleting_the_queue_file_ends_the_server(self):
        self.hit("resident_echo")
        [server] = self.servers("resident_echo")
        os.unlink(self.queue_file("resident_echo"))
        wait_until(lambda: not process_alive(server), what="the server to end")

    @programs.posix_only("writes a queue entry under the POSIX file lock")
    def test_entry_without_request_file_is_dropped(self):
        self.hit("resident_echo")
        missing = os.path.join(self.temp, "resident_echo_C_DEAD_REQ").encode()
        entry = struct.pack("<B3xd256s", 0, 0.0, missing)
        with open(self.queue_file("resident_echo"), "r+b") as queue:
            fcntl.flock(queue, fcntl.LOCK_EX)
            queue.seek(0, os.SEEK_END)
            queue.write(entry)
        _, page = self.hit("resident_echo", "next=1")
        self.assertIn("<tr><th>next</th><td>1</td></tr>", page)
        wait_until(lambda: self.entries("resident_echo") == [], what="the entry to go")

    @programs.posix_only("POSIX signals and the POSIX file lock")
    def test_client_waits_out_a_queue_locked_past_its_retries(self):
        self.hit("resident_echo")
        [server] = self.servers("resident_echo")
        os.kill(server, signal.SIGSTOP)
        self.addCleanup(os.kill, server, signal.SIGCONT)
        client = self.run_client("resident_echo", "busy=1")
        wait_until(lambda: self.entries("resident_echo"), what="the client's entry")
        with open(self.queue_file("resident_echo"), "rb") as queue:
            fcntl.flock(queue, fcntl.LOCK_EX)
            time.sleep(3)  # longer than all of the client's tries to open it
        os.kill(server, signal.SIGCONT)
        out, _ = client.communicate(timeout=30)
        self.assertIn(b"<tr><th>busy</th><td>1</td></tr>", out)

    @programs.posix_only("POSIX signals")
    def test_sigterm_ends_a_waiting_client(self):
        self.hit("resident_echo")
        [server] = self.servers("resident_echo")
        os.kill(server, signal.SIGSTOP)
        self.addCleanup(os.kill, server, signal.SIGCONT)
        client = self.run_client("resident_echo", "wait=1")
        wait_until(lambda: self.entries("resident_echo"), what="the client's entry")
        wait_until(lambda: catches(client.pid, signal.SIGTERM), what="the client to wait")
        client.send_signal(signal.SIGTERM)
        client.communicate(timeout=20)
        self.assertEqual(client.returncode, 0)

    def test_server_started_by_hand_serves_later_hits(self):
        # echo keeps NormalMode: only a start by hand makes it a server.
        program = os.path.join(self.web.cgi_bin, "echo")
        by_hand = subprocess.Popen([program], env={"PATH": "/usr/bin:/bin"},
                                   cwd=self.web.cgi_bin, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   start_new_session=True)
        self.addCleanup(by_hand.wait)
        wait_until(lambda: os.path.exists(self.queue_file("echo")), what="the queue file")
        for n in range(3):
            _, page = self.hit("echo", "hand=%d" % n)
            self.assertIn(DEBUG_ROW, page)
            self.assertIn("<tr><th>hand</th><td>%d</td></tr>" % n, page)
        self.assertEqual(self.servers("echo"), [])
        self.assertIsNone(by_hand.poll())
        by_hand.send_signal(programs.STOP_SIGNAL)
        by_hand.wait(timeout=20)
        self.assertFalse(os.path.exists(self.queue_file("echo")))


if __name__ == "__main__":
    unittest.main()
