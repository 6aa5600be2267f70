"""Latency of a hit of the echo example through lighttpd: the Linux program
against the Windows program run through Wine (the session up), one client at
a time, measured by wrk in the same run.
Usage: wine_hit_server.py <folder with echo and echo.exe> <prefix> [seconds]."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from resident_bench import latency  # noqa: E402
from servers import Lighttpd, curl  # noqa: E402

WINE_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../scripts/wine-run")


def main():
    folder, prefix = sys.argv[1], sys.argv[2]
    seconds = int(sys.argv[3]) if len(sys.argv) > 3 else 10
    with Lighttpd() as web:
        web.install(os.path.join(folder, "echo"))
        # The Windows program through the script a web server starts.
        launcher = os.path.join(web.cgi_bin, "echo_wine")
        with open(launcher, "w") as f:
            f.write('#!/bin/sh\nexec %s %s %s "$@"\n' % (WINE_RUN, prefix,
                                                          os.path.join(folder, "echo.exe")))
        os.chmod(launcher, 0o755)
        figures = {}
        for name in ("echo", "echo_wine"):
            url = web.url("/cgi-bin/%s?name=Ada" % name)
            status, _, _ = curl(url)
            if status != 200:
                raise RuntimeError("%s answered %d: %s" % (name, status, web.error_log()))
            figures[name] = latency(url, 1, seconds)
    native, wine = figures["echo"], figures["echo_wine"]
    for name, (median, p99, count) in figures.items():
        print("%-10s median %.2f ms, 99%% %.2f ms (%d hits)" % (name, median, p99, count))
    print("echo.exe through Wine / echo, median: %.1fx" % (wine[0] / native[0]))


if __name__ == "__main__":
    main()
