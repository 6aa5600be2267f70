"""Requests per second of the echo example as a FastCGI program behind nginx,
against, in the same run and behind the same nginx: the echo program as a
CGI (nginx with fcgiwrap), a minimal FastCGI program on libfcgi with the same
number of threads answering the same bytes (bench/min_fcgi.c), and nginx
serving a static file of the same size. wrk drives each with keep-alive
connections in rounds that alternate the order; the medians, p50 and p99
latencies and the ratios are printed, and the FastCGI program's resident
memory before and after the whole run (300,000 requests and more at the
default settings).

    python3 bench/fastcgi_bench.py BUILD_DIR [SECONDS] [ROUNDS] [THREADS]

Use a Release build for figures worth quoting."""

import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

from servers import free_port, wait_for_port  # noqa: E402

QUERY = "?name=Ada&topic=engines"

NGINX = """
daemon off;
user root;
worker_processes 2;
pid {root}/nginx.pid;
error_log {root}/error.log;
events {{ worker_connections 1024; }}
http {{
  access_log off;
  client_body_temp_path {root}/body;
  fastcgi_temp_path {root}/fastcgi;
  proxy_temp_path {root}/proxy;
  uwsgi_temp_path {root}/uwsgi;
  scgi_temp_path {root}/scgi;
  upstream echo {{ server 127.0.0.1:{echo_port}; keepalive 32; }}
  upstream floor {{ server 127.0.0.1:{floor_port}; keepalive 32; }}
  server {{
    listen 127.0.0.1:{port};
    root {root}/htdocs;
    location /fastcgi {{
      include /etc/nginx/fastcgi_params;
      fastcgi_keep_conn on;
      fastcgi_pass echo;
    }}
    location /libfcgi {{
      include /etc/nginx/fastcgi_params;
      fastcgi_keep_conn on;
      fastcgi_pass floor;
    }}
    location /cgi-bin/ {{
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME {root}$fastcgi_script_name;
      fastcgi_pass unix:{root}/fcgiwrap.sock;
    }}
  }}
}}
"""


def wrk(url, seconds, connections=32):
    out = subprocess.run(["wrk", "-t2", "-c%d" % connections, "-d%ds" % seconds, "--latency",
                          url], capture_output=True, text=True, check=True).stdout
    if "Non-2xx" in out or "Socket errors" in out:
        raise RuntimeError("errors from " + url + "\n" + out)

    def ms(label):
        value, unit = re.search(r"\s%s\s+([\d.]+)(us|ms|s)\b" % label, out).groups()
        return float(value) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[unit]

    requests = int(re.search(r"(\d+) requests in", out).group(1))
    return float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)), ms("50%"), ms("99%"), \
        requests


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


def start(args, **kwargs):
    return subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True, **kwargs)


def main():
    build = os.path.abspath(sys.argv[1])
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    threads = int(sys.argv[4]) if len(sys.argv) > 4 else 8
    root = tempfile.mkdtemp(prefix="pithorama-fcgi-bench-")
    processes = []
    try:
        os.makedirs(os.path.join(root, "cgi-bin"))
        os.makedirs(os.path.join(root, "htdocs"))
        echo = os.path.join(root, "cgi-bin", "echo")
        shutil.copy2(os.path.join(build, "bin", "echo"), echo)
        floor = os.path.join(root, "min_fcgi")
        subprocess.run(["cc", "-O2", "-o", floor, os.path.join(HERE, "min_fcgi.c"), "-lfcgi",
                        "-lpthread"], check=True)
        echo_port, floor_port, port = free_port(), free_port(), free_port()
        env = dict(os.environ, PITHORAMA_FASTCGI="127.0.0.1:%d" % echo_port,
                   PITHORAMA_FASTCGI_THREADS=str(threads), CGI_LOG_DIR=root)
        fastcgi = start([echo], env=env, cwd=root)
        processes.append(fastcgi)
        wait_for_port(echo_port, fastcgi)
        processes.append(start(["fcgiwrap", "-c", "4", "-s", "unix:%s/fcgiwrap.sock" % root]))
        conf = os.path.join(root, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX.format(root=root, port=port, echo_port=echo_port,
                                 floor_port=floor_port))
        nginx = start(["nginx", "-c", conf, "-p", root])
        processes.append(nginx)
        wait_for_port(port, nginx)
        while not os.path.exists(os.path.join(root, "fcgiwrap.sock")):
            time.sleep(0.05)

        # The answer of the FastCGI program, as its bytes on the wire to nginx
        # (header and body) for the floor program, and its body as the static file.
        base = "http://127.0.0.1:%d" % port
        with urllib.request.urlopen(base + "/fastcgi" + QUERY) as answer:
            body = answer.read()
            head = "".join("%s: %s\r\n" % (k, v) for k, v in answer.getheaders()
                           if k.lower() == "content-type")
        with open(os.path.join(root, "answer"), "wb") as f:
            f.write(head.encode() + b"\r\n" + body)
        with open(os.path.join(root, "htdocs", "static.html"), "wb") as f:
            f.write(body)
        processes.append(start([floor, "127.0.0.1:%d" % floor_port, str(threads),
                                os.path.join(root, "answer")]))
        wait_for_port(floor_port, processes[-1])

        contenders = {"fastcgi": base + "/fastcgi" + QUERY, "libfcgi": base + "/libfcgi" + QUERY,
                      "static": base + "/static.html", "cgi": base + "/cgi-bin/echo" + QUERY}
        wrk(contenders["fastcgi"], 2)  # warm-up
        rss_before = rss_kib(fastcgi.pid)
        figures = {name: [] for name in contenders}
        served = 0
        names = list(contenders)
        for r in range(rounds):
            for name in names[r % len(names):] + names[:r % len(names)]:
                # CGI starts a process per hit: fewer connections keep fcgiwrap from refusing.
                result = wrk(contenders[name], seconds, 8 if name == "cgi" else 32)
                figures[name].append(result)
                if name == "fastcgi":
                    served += result[3]
        rss_after = rss_kib(fastcgi.pid)
        med = {n: statistics.median(f[0] for f in figures[n]) for n in figures}
        print("%d threads, %d rounds of %d s, answer %d bytes" % (threads, rounds, seconds,
                                                                  len(body)))
        for name in names:
            p50 = statistics.median(f[1] for f in figures[name])
            p99 = statistics.median(f[2] for f in figures[name])
            print("%-8s %10.0f req/s  p50 %7.2f ms  p99 %7.2f ms" % (name, med[name], p50, p99))
        print("fastcgi / cgi     %6.1fx" % (med["fastcgi"] / med["cgi"]))
        print("fastcgi / libfcgi %6.2f" % (med["fastcgi"] / med["libfcgi"]))
        print("static / fastcgi  %6.2f" % (med["static"] / med["fastcgi"]))
        print("fastcgi RSS %d KiB before, %d KiB after %d requests" % (rss_before, rss_after,
                                                                     served))
    finally:
        for process in reversed(processes):
            try:
                os.killpg(process.pid, signal.SIGTERM)
                process.wait(timeout=10)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
