"""Latency of a hit of the resident echo server against the same hit of the
plain echo program (NormalMode), both through lighttpd on a loopback port:
median and 99th percentile, one client at a time and 8 at once, measured by
wrk in the same run. Usage: resident_bench.py <folder of the built programs>
[seconds per measurement]."""

import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../tests/e2e"))
from servers import Lighttpd, curl  # noqa: E402

UNITS = {"us": 1e-3, "ms": 1.0, "s": 1000.0}


def latency(url, connections, seconds):
    """Median and 99th percentile in milliseconds, and the request count."""
    threads = min(connections, 2)
    out = subprocess.run(["wrk", "-t%d" % threads, "-c%d" % connections, "-d%ds" % seconds,
                          "--latency", url], capture_output=True, text=True, check=True).stdout
    found = dict(re.findall(r"^\s+(50|99)%\s+([\d.]+\w+)", out, re.M))
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if errors:
        raise RuntimeError("failed hits: " + errors.group(1))

    def ms(text):
        number, unit = re.match(r"([\d.]+)(\w+)", text).groups()
        return float(number) * UNITS[unit]

    return ms(found["50"]), ms(found["99"]), requests


def main():
    binaries = sys.argv[1]
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    with Lighttpd() as web:
        for program in ("echo", "resident_echo"):
            web.install(os.path.join(binaries, program))
        query = "name=Ada&topic=engines"
        plain = web.url("/cgi-bin/echo?" + query)
        resident = web.url("/cgi-bin/resident_echo?" + query)
        curl(resident)  # the first hit starts the server
        try:
            print("%-26s %10s %10s %9s" % ("", "median ms", "p99 ms", "hits"))
            for connections in (1, 8):
                rows = {}
                for name, url in (("echo (NormalMode)", plain), ("resident_echo", resident)):
                    rows[name] = latency(url, connections, seconds)
                    median, p99, hits = rows[name]
                    print("%-26s %10.2f %10.2f %9d" % ("%s, %d client%s" % (
                        name, connections, "s" if connections > 1 else ""), median, p99, hits))
                base, res = rows["echo (NormalMode)"], rows["resident_echo"]
                print("%-26s %10.2fx %9.2fx" % ("resident / plain", res[0] / base[0],
                                                res[1] / base[1]))
        finally:
            queue = os.path.join(web.cgi_bin, "Temp", "resident_echo_S")
            if os.path.exists(queue):
                os.unlink(queue)  # ends the resident copy
            time.sleep(0.5)


if __name__ == "__main__":
    main()
