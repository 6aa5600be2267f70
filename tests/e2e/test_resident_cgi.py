"""The resident CGI server through lighttpd: the first hit of resident_echo
starts one copy that stays, and every later hit hands its request over through
the queue file and the request and answer files in cgi-bin/Temp."""

import concurrent.futures
import fcntl
import os
import shutil
import signal
import struct
import subprocess
import tempfile
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

    def run_client(self, program, query, body=None, folder=None):
        """A CGI start of `program` made by hand, the way a web server makes it:
        a GET, or a POST of `body` written to its standard input by the caller."""
        folder = folder or self.web.cgi_bin
        env = {"PATH": "/usr/bin:/bin", "SERVER_SOFTWARE": "lighttpd/test", "GATEWAY_INTERFACE":
               "CGI/1.1", "REQUEST_METHOD": "GET", "QUERY_STRING": query,
               "REMOTE_ADDR": "127.0.0.1", "SCRIPT_NAME": "/cgi-bin/" + program}
        if body is not None:
            env.update({"REQUEST_METHOD": "POST", "CONTENT_LENGTH": str(len(body)),
                        "CONTENT_TYPE": "application/x-www-form-urlencoded"})
        return subprocess.Popen([os.path.join(folder, program)], env=env,
                                stdin=subprocess.DEVNULL if body is None else subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, cwd=folder)

    def presence_file(self, program):
        return os.path.join(self.temp, programs.program_file(program) + "_P")

    def quiet_folder(self, program):
        """The work folder once every request is done: the queue and the
        server's presence, nothing of any client."""
        names = [os.path.basename(self.queue_file(program)),
                 os.path.basename(self.presence_file(program))]
        wait_until(lambda: self.work_files(program) == sorted(names),
                   what=lambda: "an empty work folder, not %s" % self.work_files(program))

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
                self.hit(program, "warm=1")
                [server] = self.servers(program)

                def one(n):
                    return n, self.hit(program, "n=%d" % n)[1]

                with concurrent.futures.ThreadPoolExecutor(8) as pool:
                    for n, page in pool.map(one, range(100)):
                        self.assertIn("<tr><th>n</th><td>%d</td></tr>" % n, page)
                        self.assertIn(DEBUG_ROW, page)
                self.assertEqual(self.servers(program), [server])
                self.quiet_folder(program)
                self.assertEqual(self.entries(program), [])

    def test_client_returns_while_the_server_stays(self):
        self.hit("resident_echo", "a=1")
        [server] = self.servers("resident_echo")
        client = self.run_client("resident_echo", "b=2")
        out, _ = client.communicate(timeout=20)
        self.assertEqual(client.returncode, 0)
        self.assertIn(b"<tr><th>b</th><td>2</td></tr>", out)
        self.assertTrue(process_alive(server))
        # Nothing of the client stays behind it, its lock file included: left
        # ones pile up by the hit until the server's sweep, which then holds
        # up every waiting client while it lists and deletes them.
        self.assertEqual([n for n in self.work_files("resident_echo") if "_C_" in n], [])

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
        self.assertIn("Told to end while waiting for the answer", self.program_log("resident_echo"))

    # ---- faults that lost answers --------------------------------------------

    def test_first_hit_with_a_late_body_is_answered(self):
        # The body arrives while the server the hit started is starting.
        for program in ("resident_echo", "resident_echo_threads"):
            for attempt in range(3):
                with self.subTest(program=program, attempt=attempt):
                    self.kill_servers()
                    client = self.run_client(program, "", body=b"a=hello")
                    time.sleep(0.3)  # the client waits for its body meanwhile
                    out, _ = client.communicate(b"a=hello", timeout=60)
                    self.assertIn(b"<tr><th>a</th><td>hello</td></tr>", out,
                                  self.program_log(program))

    def test_concurrent_first_hits_start_one_server(self):
        for program in ("resident_echo", "resident_echo_threads"):
            with self.subTest(program):
                self.kill_servers()

                def one(n):
                    return n, self.hit(program, "n=%d" % n)[1]

                with concurrent.futures.ThreadPoolExecutor(32) as pool:
                    for n, page in pool.map(one, range(32)):
                        self.assertIn("<tr><th>n</th><td>%d</td></tr>" % n, page)
                wait_until(lambda: len(self.servers(program)) == 1,
                           what=lambda: "one server, not %s" % self.servers(program))
                self.quiet_folder(program)

    @programs.posix_only("copies the program into a folder of its own")
    def test_copies_in_two_folders_have_servers_of_their_own(self):
        self.hit("resident_echo", "site=1")
        [first] = self.servers("resident_echo")
        other = tempfile.mkdtemp(prefix="pithorama-site-")
        self.addCleanup(shutil.rmtree, other, True)
        copy = os.path.join(other, "resident_echo")
        shutil.copy2(os.path.join(self.web.cgi_bin, "resident_echo"), copy)

        def other_servers():
            return [pid for pid, args in programs.copies_of(copy) if args[:1] == ["START_SERVER"]]

        def kill_other():
            for pid, _ in programs.copies_of(copy):
                os.kill(pid, signal.SIGKILL)
        self.addCleanup(kill_other)
        out, _ = self.run_client("resident_echo", "site=2", folder=other).communicate(timeout=60)
        self.assertIn(b"<tr><th>site</th><td>2</td></tr>", out)
        [second] = wait_until(other_servers, what="the second folder's server")
        os.kill(second, signal.SIGKILL)
        wait_until(lambda: not process_alive(second), what="the second server to die")
        queue = os.path.join(other, "Temp", "resident_echo_S")
        aged = time.time() - 31
        os.utime(queue, (aged, aged))
        out, _ = self.run_client("resident_echo", "site=3", folder=other).communicate(timeout=30)
        self.assertIn(b"<tr><th>site</th><td>3</td></tr>", out)
        self.assertEqual(self.servers("resident_echo"), [first])
        self.assertNotIn(second, other_servers())

    @programs.posix_only("POSIX signals")
    def test_clients_killed_while_waiting_leave_nothing(self):
        self.hit("resident_echo")
        [server] = self.servers("resident_echo")
        os.kill(server, signal.SIGSTOP)
        self.addCleanup(os.kill, server, signal.SIGCONT)
        killed = self.run_client("resident_echo", "killed=1")
        ended = self.run_client("resident_echo", "ended=1")
        wait_until(lambda: len(self.entries("resident_echo")) == 2, what="both entries")
        wait_until(lambda: catches(ended.pid, signal.SIGTERM), what="the client to wait")
        killed.kill()
        ended.send_signal(signal.SIGTERM)
        killed.communicate(timeout=20)
        ended.communicate(timeout=20)
        os.kill(server, signal.SIGCONT)
        _, page = self.hit("resident_echo", "after=1")
        self.assertIn("<tr><th>after</th><td>1</td></tr>", page)
        self.quiet_folder("resident_echo")
        self.assertEqual(self.servers("resident_echo"), [server])

    @programs.posix_only("writes into the queue under the POSIX file lock")
    def test_garbage_in_the_queue_is_dropped_and_serving_goes_on(self):
        self.hit("resident_echo")
        with open(self.queue_file("resident_echo"), "r+b") as queue:
            fcntl.flock(queue, fcntl.LOCK_EX)
            queue.truncate(0)
            queue.write(os.urandom(1000))
        # A waiting entry that names no request file stops nothing either.
        entry = struct.pack("<B3xd256s", 0, 0.0, b"")
        with open(self.queue_file("resident_echo"), "ab") as queue:
            fcntl.flock(queue, fcntl.LOCK_EX)
            queue.write(entry)
        for n in range(3):
            _, page = self.hit("resident_echo", "n=%d" % n)
            self.assertIn("<tr><th>n</th><td>%d</td></tr>" % n, page)

    @programs.posix_only("mounts a small file system on the work folder")
    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("mount"), "mounting needs root")
    def test_full_work_folder_still_answers_with_one_server(self):
        self.kill_servers()
        os.makedirs(self.temp, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8k,mode=0700", "tmpfs", self.temp],
                       check=True)

        def unmount():
            # A killed copy holds its files a moment after it leaves the
            # process list; a folder left mounted would fail every later case.
            self.kill_servers()
            deadline = time.monotonic() + 20
            while subprocess.run(["umount", self.temp], stderr=subprocess.DEVNULL).returncode:
                if time.monotonic() > deadline:
                    subprocess.run(["umount", "--lazy", self.temp], check=True)
                    break
                time.sleep(0.1)
        self.addCleanup(unmount)
        self.hit("resident_echo", "warm=1")
        # Each body is larger than what is left: the request file cannot be
        # written whole, and the client answers from the body it read.
        for n in range(4):
            body = ("a=%d" % n + "x" * 9000).encode()
            client = self.run_client("resident_echo", "", body=body)
            out, _ = client.communicate(body, timeout=60)
            self.assertIn(b"<tr><th>a</th><td>%d%s</td></tr>" % (n, b"x" * 9000), out,
                          self.program_log("resident_echo"))
        self.assertEqual(len(self.servers("resident_echo")), 1)
        self.quiet_folder("resident_echo")

    @programs.posix_only("POSIX file modes")
    def test_work_files_are_the_owners_alone(self):
        os.makedirs(self.temp, exist_ok=True)
        os.chmod(self.temp, 0o755)
        self.hit("resident_echo")
        self.assertEqual(os.stat(self.temp).st_mode & 0o777, 0o700)
        self.assertEqual(os.stat(self.queue_file("resident_echo")).st_mode & 0o777, 0o600)

    def test_server_started_by_hand_serves_later_hits(self):
        # echo keeps NormalMode: only a start by hand makes it a server.
        program = os.path.join(self.web.cgi_bin, "echo")
        by_hand = subprocess.Popen([program], env={"PATH": "/usr/bin:/bin"},
                                   cwd=self.web.cgi_bin, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   start_new_session=True)
        self.addCleanup(lambda: (by_hand.kill(), by_hand.wait(timeout=20)))
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
