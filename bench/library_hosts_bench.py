"""Requests per second of the echo example served three ways in the same run:
the echo library through nsapi-host, the same library through isapi-host, and
the echo program as a CGI through lighttpd (the baseline). wrk drives each in
turn with keep-alive connections; the rounds alternate, each starting with
another contender, so that a slow moment of the machine falls on all three. Prints the median of each and the ratios
to the CGI figure.

    python3 bench/library_hosts_bench.py BUILD_DIR [SECONDS] [ROUNDS]"""

import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

from servers import Lighttpd  # noqa: E402

QUERY = "?name=Ada&topic=engines"


def wrk(url, seconds):
    out = subprocess.run(["wrk", "-t2", "-c8", "-d%ds" % seconds, url],
                         capture_output=True, text=True, check=True).stdout
    # An answer other than 2xx would measure an error page.
    if "Non-2xx" in out:
        raise RuntimeError("error answers from " + url + "\n" + out)
    return float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))


class LibraryHost:
    """A stand-in host serving build/lib/echo.so from a folder of its own."""

    def __init__(self, build, program):
        self.folder = tempfile.mkdtemp(prefix="pithorama-bench-")
        os.mkdir(os.path.join(self.folder, "Log"))
        for name in ("echo.so", "libnsapi-server.so"):
            shutil.copy2(os.path.join(build, "lib", name), self.folder)
        self.process = subprocess.Popen(
            [os.path.join(build, "bin", program), "--port", "0", "--threads", "8",
             os.path.join(self.folder, "echo.so")],
            stdout=subprocess.PIPE, text=True, start_new_session=True)
        self.port = int(self.process.stdout.readline())

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def close(self):
        os.killpg(self.process.pid, signal.SIGTERM)
        self.process.wait(timeout=10)
        self.process.stdout.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def main():
    build = os.path.abspath(sys.argv[1])
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    cgi = Lighttpd()
    cgi.install(os.path.join(build, "bin", "echo"))
    os.mkdir(os.path.join(cgi.cgi_bin, "Log"))
    with cgi:
        hosts = {"nsapi-host": LibraryHost(build, "nsapi-host"),
                 "isapi-host": LibraryHost(build, "isapi-host")}
        # isapi-host serves the library under its file name.
        urls = {"CGI through lighttpd": cgi.url("/cgi-bin/echo" + QUERY),
                "nsapi-host": hosts["nsapi-host"].url("/echo" + QUERY),
                "isapi-host": hosts["isapi-host"].url("/echo.so" + QUERY)}
        try:
            figures = {name: [] for name in urls}
            names = list(urls)
            for round_number in range(rounds):
                # Each round starts with another contender, so that none always
                # follows the process starts of the CGI run.
                shift = round_number % len(names)
                for name in names[shift:] + names[:shift]:
                    figures[name].append(wrk(urls[name], seconds))
        finally:
            for host in hosts.values():
                host.close()
    baseline = statistics.median(figures["CGI through lighttpd"])
    for name, values in figures.items():
        median = statistics.median(values)
        print("%-22s %10.0f requests/s  %6.1fx CGI   (rounds: %s)" % (
            name, median, median / baseline, ", ".join("%.0f" % v for v in values)))


if __name__ == "__main__":
    main()
