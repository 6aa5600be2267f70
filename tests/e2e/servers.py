"""Real servers for the end-to-end tests: lighttpd, Apache and nginx with
fcgiwrap serving a folder of CGI programs, and SMTP sinks. Each one listens on
a free loopback port in a temporary folder of its own and is stopped when its
`with` block ends."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process, seconds=15):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise RuntimeError("server ended at start with code %s" % process.returncode)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return
        except OSError:
            time.sleep(0.02)
    raise RuntimeError("server not ready on port %d" % port)


def stop_process_group(process, seconds=10):
    """SIGTERM to the process's group, SIGKILL when it has not ended in time."""
    os.killpg(process.pid, signal.SIGTERM)
    try:
        process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()


def open_folder(path):
    """Apache runs CGI programs as its own user: the folders must let it in."""
    os.chmod(path, 0o777)


class WebServer:
    """Base: a server in `root`, CGI programs in root/cgi-bin."""

    name = "server"

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="pithorama-%s-" % self.name)
        open_folder(self.root)
        self.cgi_bin = os.path.join(self.root, "cgi-bin")
        os.mkdir(self.cgi_bin)
        open_folder(self.cgi_bin)
        self.htdocs = os.path.join(self.root, "htdocs")
        os.mkdir(self.htdocs)
        self.port = free_port()
        self.processes = []

    def install(self, program, name=None, extra_files=()):
        """Copies a program (and files it reads beside it) into cgi-bin."""
        target = os.path.join(self.cgi_bin, name or os.path.basename(program))
        shutil.copy2(program, target)
        os.chmod(target, 0o755)
        for path in extra_files:
            shutil.copy2(path, self.cgi_bin)
            os.chmod(os.path.join(self.cgi_bin, os.path.basename(path)), 0o666)
        return target

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def write(self, name, text):
        path = os.path.join(self.root, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def spawn(self, args, wait_port=None):
        process = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                   start_new_session=True)
        self.processes.append(process)
        if wait_port:
            wait_for_port(wait_port, process)
        return process

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        for process in reversed(self.processes):
            try:
                os.killpg(process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
            if process.stderr:
                process.stderr.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def error_log(self):
        path = os.path.join(self.root, "error.log")
        if not os.path.exists(path):
            return ""
        with open(path, errors="replace") as f:
            return f.read()


class Lighttpd(WebServer):
    name = "lighttpd"

    def start(self):
        conf = self.write("lighttpd.conf", f"""
server.modules = ("mod_alias", "mod_cgi")
server.bind = "127.0.0.1"
server.port = {self.port}
server.document-root = "{self.htdocs}"
server.errorlog = "{self.root}/error.log"
server.max-request-size = 2097152
alias.url = ("/cgi-bin/" => "{self.cgi_bin}/")
$HTTP["url"] =~ "^/cgi-bin/" {{ cgi.assign = ("" => "") }}
""")
        self.spawn(["lighttpd", "-D", "-f", conf], self.port)


class Apache(WebServer):
    name = "apache"

    def start(self):
        modules = "/usr/lib/apache2/modules"
        conf = self.write("apache2.conf", f"""
ServerRoot "{self.root}"
ServerName localhost
Listen 127.0.0.1:{self.port}
PidFile "{self.root}/apache2.pid"
ErrorLog "{self.root}/error.log"
LoadModule mpm_prefork_module {modules}/mod_mpm_prefork.so
LoadModule authz_core_module {modules}/mod_authz_core.so
LoadModule alias_module {modules}/mod_alias.so
LoadModule cgi_module {modules}/mod_cgi.so
User www-data
Group www-data
StartServers 1
MinSpareServers 1
MaxSpareServers 4
DocumentRoot "{self.htdocs}"
ScriptAlias /cgi-bin/ "{self.cgi_bin}/"
<Directory "{self.cgi_bin}">
  Options +ExecCGI
  Require all granted
</Directory>
LimitRequestBody 0
""")
        self.spawn(["apache2", "-f", conf, "-DFOREGROUND"], self.port)


class Nginx(WebServer):
    name = "nginx"

    def start(self):
        sock = os.path.join(self.root, "fcgiwrap.sock")
        fcgi = self.spawn(["fcgiwrap", "-c", "4", "-s", "unix:" + sock])
        deadline = time.monotonic() + 10
        while not os.path.exists(sock):
            if time.monotonic() > deadline or fcgi.poll() is not None:
                raise RuntimeError("fcgiwrap did not start")
            time.sleep(0.02)
        conf = self.write("nginx.conf", f"""
daemon off;
user root;
worker_processes 1;
pid {self.root}/nginx.pid;
error_log {self.root}/error.log;
events {{ worker_connections 64; }}
http {{
  access_log off;
  client_body_temp_path {self.root}/body;
  fastcgi_temp_path {self.root}/fastcgi;
  proxy_temp_path {self.root}/proxy;
  uwsgi_temp_path {self.root}/uwsgi;
  scgi_temp_path {self.root}/scgi;
  client_max_body_size 0;
  server {{
    listen 127.0.0.1:{self.port};
    location /cgi-bin/ {{
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME {self.root}$fastcgi_script_name;
      fastcgi_pass unix:{sock};
    }}
  }}
}}
""")
        self.spawn(["nginx", "-c", conf, "-p", self.root], self.port)


WEB_SERVERS = {"lighttpd": Lighttpd, "apache": Apache, "nginx": Nginx}


def curl(url, *args):
    """Runs curl and answers (status, headers text, body bytes)."""
    with tempfile.NamedTemporaryFile() as headers:
        result = subprocess.run(["curl", "-sS", "--max-time", "60", "-D", headers.name, "-o", "-",
                                 *args, url], capture_output=True, check=True)
        with open(headers.name, encoding="latin-1") as f:
            text = f.read()
    status = int(text.split(" ", 2)[1]) if text else 0
    return status, text, result.stdout


class SmtpSink:
    """smtp_sink.py on a loopback port; messages() answers what it received."""

    def __init__(self, port=None):
        self.port = port or free_port()
        self.folder = tempfile.mkdtemp(prefix="pithorama-smtp-")

    def __enter__(self):
        here = os.path.dirname(os.path.abspath(__file__))
        self.process = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(here, "smtp_sink.py"), self.folder, str(self.port)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
        line = self.process.stdout.readline()
        if not line.startswith("READY"):
            raise RuntimeError("SMTP sink did not start: " + line + self.process.stderr.read())
        return self

    def __exit__(self, *exc):
        stop_process_group(self.process)
        self.process.stdout.close()
        self.process.stderr.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def messages(self):
        """[(envelope dict, content bytes)] in the order received."""
        import json
        found = []
        n = 1
        while os.path.exists(os.path.join(self.folder, "%d.eml" % n)):
            with open(os.path.join(self.folder, "%d.json" % n)) as f:
                envelope = json.load(f)
            with open(os.path.join(self.folder, "%d.eml" % n), "rb") as f:
                found.append((envelope, f.read()))
            n += 1
        return found


class IsapiHost:
    """isapi-host serving one ISAPI library on a free loopback port. The host
    program is copied into a folder of its own first, since a library such as
    pithorama keeps its data beside the server's program file; `extra_files`
    go there too. stop() ends it with SIGTERM (the library is unloaded) and
    answers its exit code and what it wrote to standard error."""

    def __init__(self, library, threads=8, extra_files=(), env=None):
        bin_dir = os.environ.get("PITHORAMA_BIN",
                                 os.path.join(os.path.dirname(__file__), "../../build/bin"))
        self.folder = tempfile.mkdtemp(prefix="pithorama-isapi-")
        self.program = os.path.join(self.folder, "isapi-host")
        shutil.copy2(os.path.join(bin_dir, "isapi-host"), self.program)
        for path in extra_files:
            shutil.copy2(path, self.folder)
        self.library = os.path.join(bin_dir, "..", "lib", library)
        self.script = "/" + library
        self.threads = threads
        self.env = dict(os.environ, CGI_LOG_DIR=self.folder, **(env or {}))
        self.process = None

    def __enter__(self):
        self.process = subprocess.Popen(
            [self.program, "--port", "0", "--threads", str(self.threads), self.library],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env, start_new_session=True)
        line = self.process.stdout.readline().decode().strip()
        if not line.isdigit():
            self.process.kill()
            self.process.wait()
            raise RuntimeError("isapi-host did not start: " + line +
                               self.process.stderr.read().decode(errors="replace"))
        self.port = int(line)
        return self

    def url(self, path=""):
        return "http://127.0.0.1:%d%s%s" % (self.port, self.script, path)

    def stop(self):
        if self.process is None:
            return None, ""
        os.killpg(self.process.pid, signal.SIGTERM)
        try:
            _, err = self.process.communicate(timeout=30)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            _, err = self.process.communicate()
        self.process.stdout.close()
        self.process.stderr.close()
        code, self.process = self.process.returncode, None
        return code, err.decode(errors="replace")

    def __exit__(self, *exc):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)
