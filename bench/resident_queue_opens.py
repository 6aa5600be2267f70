#!/usr/bin/env python3
"""How often the resident server's work files are opened per hit: the queue
file (every open takes its lock), the server's presence lock and the client
lock files, counted by inotify on the work folder while `clients` copies of
the program hit it at once, each `hits` times, started as a web server would
start them (CGI variables, no web server in between). Also prints the hits'
median and 99th percentile. Usage:

    resident_queue_opens.py <resident program> [clients [hits]]

The program is copied to a temporary folder of its own; its resident server
is ended at the end (its queue file deleted)."""

import concurrent.futures
import ctypes
import os
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

IN_OPEN = 0x20
ENV = {"PATH": "/usr/bin:/bin", "SERVER_SOFTWARE": "lighttpd", "GATEWAY_INTERFACE": "CGI/1.1",
       "REQUEST_METHOD": "GET", "QUERY_STRING": "a=1&b=2", "SCRIPT_NAME": "/cgi-bin/echo",
       "SERVER_NAME": "localhost", "SERVER_PORT": "80", "SERVER_PROTOCOL": "HTTP/1.1",
       "REMOTE_ADDR": "127.0.0.1"}


def hit(program):
    start = time.monotonic()
    answer = subprocess.run([program], env=ENV, stdout=subprocess.PIPE, check=True).stdout
    if b" 200 OK" not in answer[:40]:
        raise RuntimeError("unanswered hit: %r" % answer[:80])
    return time.monotonic() - start


def count_opens(folder, stop, counts):
    libc = ctypes.CDLL("libc.so.6", use_errno=True)
    fd = libc.inotify_init1(os.O_NONBLOCK)
    libc.inotify_add_watch(fd, folder.encode(), IN_OPEN)
    while True:
        select.select([fd], [], [], 0.05)
        try:
            data = os.read(fd, 65536)
        except BlockingIOError:
            if stop.is_set():
                break
            continue
        at = 0
        while at < len(data):
            _, _, _, length = struct.unpack_from("iIII", data, at)
            name = data[at + 16:at + 16 + length].rstrip(b"\0").decode()
            kind = name.rsplit("_", 1)[-1]  # S queue, P presence, LCK, REQ, OUT
            counts[kind] = counts.get(kind, 0) + 1
            at += 16 + length
    os.close(fd)


def main():
    built = os.path.abspath(sys.argv[1])
    clients = int(sys.argv[2]) if len(sys.argv) > 2 else 16
    hits = int(sys.argv[3]) if len(sys.argv) > 3 else 30
    folder = tempfile.mkdtemp(prefix="resident-opens-")
    program = os.path.join(folder, os.path.basename(built))
    shutil.copy2(built, program)
    work = os.path.join(folder, "Temp")
    try:
        hit(program)  # starts the server and makes the work folder
        counts, stop = {}, threading.Event()
        counter = threading.Thread(target=count_opens, args=(work, stop, counts))
        counter.start()
        time.sleep(0.1)
        with concurrent.futures.ThreadPoolExecutor(clients) as pool:
            times = sorted(pool.map(lambda _: hit(program), range(clients * hits)))
        stop.set()
        counter.join()
        total = clients * hits
        print("%d clients, %d hits: p50 %.1f ms, p99 %.1f ms" % (
            clients, total, 1000 * times[total // 2], 1000 * times[int(total * 0.99)]))
        for kind, label in (("S", "queue file"), ("P", "presence lock"), ("LCK", "client locks")):
            print("  opens of the %s per hit: %.1f" % (label, counts.get(kind, 0) / total))
    finally:
        queue = os.path.join(work, os.path.basename(program) + "_S")
        if os.path.exists(queue):
            os.unlink(queue)  # ends the resident server
        time.sleep(0.5)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
