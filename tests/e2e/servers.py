"""Real servers for the end-to-end tests: lighttpd, Apache and nginx with
fcgiwrap serving a folder of CGI programs, the stand-in Windows CGI server,
and SMTP sinks. Each one listens on a free loopback port in a temporary folder
of its own and is stopped when its `with` block ends."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

import programs


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


def read_log(path):
    """A server's log as text; empty when the server wrote none."""
    if not os.path.exists(path):
        return ""
    with open(path, errors="replace") as f:
        return f.read()


def stop_group(process, sig=signal.SIGTERM):
    """Ends a process started in a session of its own, with all it started."""
    os.killpg(process.pid, sig)
    try:
        process.wait(timeout=10)
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
        """Copies a program (and files it reads beside it) into cgi-bin, and
        answers the file the server starts for /cgi-bin/<name>. A Windows
        program gets its .exe name and a script of that name that runs it
        through Wine."""
        name = name or os.path.basename(program)
        target = os.path.join(self.cgi_bin, name)
        if programs.WINDOWS:
            name = name[:-4] if name.endswith(".exe") else name
            target = os.path.join(self.cgi_bin, name)
            shutil.copy2(program, target + ".exe")
            with open(target, "w") as f:
                f.write(programs.launcher(target + ".exe"))
        else:
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
        return read_log(os.path.join(self.root, "error.log"))


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
{self.location(sock)}
  }}
}}
""")
        self.spawn(["nginx", "-c", conf, "-p", self.root], self.port)

    def location(self, sock):
        """The server block's location of the CGI programs, run by fcgiwrap on `sock`."""
        return f"""    location /cgi-bin/ {{
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME {self.root}$fastcgi_script_name;
      fastcgi_pass unix:{sock};
    }}"""


WEB_SERVERS = {"lighttpd": Lighttpd, "apache": Apache, "nginx": Nginx}
if programs.WINDOWS:
    # Apache runs CGI programs as its own user (www-data), and Wine refuses a
    # prefix that another user owns: the Windows programs are served by
    # lighttpd and by nginx with fcgiwrap, which run them as the test's user.
    del WEB_SERVERS["apache"]


def web_server(name):
    """A new server of the kind `name`; skips the test where that server
    cannot run the programs under test."""
    if name not in WEB_SERVERS:
        raise unittest.SkipTest("%s cannot run the Windows programs through Wine" % name)
    return WEB_SERVERS[name]()


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
        stop_group(self.process)
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


WINCGI_SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                             "../../tools/wincgi_server.py")
# A Windows program runs through Wine and reads Windows paths in its profile.
WINCGI_OPTIONS = ["--wine", programs.WINE_PREFIX] if programs.WINDOWS else []


def wincgi_environment(extra=None):
    """The environment of a Windows CGI start: no standard CGI variables."""
    env = {k: v for k, v in os.environ.items() if k not in ("SERVER_SOFTWARE", "CGI_VERSION")}
    env.update(extra or {})
    return env


def wincgi_once(program, request, env=None):
    """Serves one raw HTTP request through the stand-in Windows CGI server and
    answers the program's output file as it was written."""
    result = subprocess.run(["/usr/bin/python3", WINCGI_SERVER, *WINCGI_OPTIONS, "--once", program],
                            input=request, capture_output=True, timeout=120,
                            env=env or wincgi_environment())
    return result.stdout


class WinCgiStandIn:
    """The stand-in Windows CGI server serving one program on a free loopback
    port; url() names the program's address."""

    def __init__(self, program, env=None):
        self.program = program
        self.env = env or wincgi_environment()

    def __enter__(self):
        self.log = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            ["/usr/bin/python3", WINCGI_SERVER, *WINCGI_OPTIONS, self.program],
            stdout=subprocess.PIPE,
            stderr=self.log, env=self.env, text=True, start_new_session=True)
        line = self.process.stdout.readline()
        if not line.startswith("READY"):
            raise RuntimeError("stand-in Windows CGI server did not start: " + self.error_log())
        self.port = int(line.split()[1])
        return self

    def __exit__(self, *exc):
        stop_group(self.process)
        self.process.stdout.close()
        self.final_log = self.error_log()
        self.log.close()

    def url(self, query=""):
        return "http://127.0.0.1:%d/cgi-win/%s%s" % (self.port, os.path.basename(self.program),
                                                     query)

    def error_log(self):
        """What the server and its program wrote on standard error."""
        if self.log.closed:
            return self.final_log
        self.log.seek(0)
        return self.log.read().decode("latin-1")


class IsapiHost:
    """isapi-host serving one ISAPI library on a free loopback port. The host
    program is copied into a folder of its own first, since a library such as
    pithorama keeps its data beside the server's program file; `extra_files`
    go there too. stop() asks it to end (SIGTERM, Ctrl+C on Windows; the
    library is unloaded) and answers its exit code and what it wrote to
    standard error."""

    def __init__(self, library, threads=8, extra_files=(), env=None):
        self.folder = tempfile.mkdtemp(prefix="pithorama-isapi-")
        self.program = os.path.join(self.folder, programs.program_file("isapi-host"))
        shutil.copy2(programs.program("isapi-host"), self.program)
        for path in extra_files:
            shutil.copy2(path, self.folder)
        self.library = programs.library(library)
        self.script = "/" + programs.library_file(library)
        self.threads = threads
        self.env = dict(os.environ, CGI_LOG_DIR=programs.host_path(self.folder), **(env or {}))
        self.process = None

    def __enter__(self):
        self.process = subprocess.Popen(
            programs.command(self.program, "--port", "0", "--threads", str(self.threads),
                             programs.host_path(self.library)),
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
        os.killpg(self.process.pid, programs.STOP_SIGNAL)
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


class Postfix:
    """A private Postfix instance with strict settings on a loopback port:
    its own configuration, queue and data folders in a temporary folder, no
    relaying anywhere, and every message for example.org delivered into the
    Maildir `inbox` of that folder. Nothing of a system mail set-up is used or
    changed; the instance is stopped when its `with` block ends."""

    MAIL_USER = "nobody"

    def __init__(self, port=None):
        self.port = port or free_port()
        self.root = tempfile.mkdtemp(prefix="pithorama-postfix-")
        os.chmod(self.root, 0o755)  # the delivery agent runs as MAIL_USER
        self.config = os.path.join(self.root, "etc")
        self.inbox = os.path.join(self.root, "mail", "inbox")
        self.process = None

    def _write_config(self):
        import pwd
        user = pwd.getpwnam(self.MAIL_USER)
        os.makedirs(self.config)
        os.makedirs(os.path.join(self.root, "spool"))
        os.makedirs(os.path.dirname(self.inbox))
        os.chown(os.path.dirname(self.inbox), user.pw_uid, user.pw_gid)
        with open(os.path.join(self.config, "main.cf"), "w") as f:
            f.write(f"""compatibility_level = 3.6
queue_directory = {self.root}/spool
data_directory = {self.root}/data
maillog_file = /dev/stdout
syslog_name = postfix-pithorama-test
myhostname = mx.pithorama.test
mydestination =
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
alias_maps =
alias_database =
biff = no
smtpd_peername_lookup = no
default_transport = error:no mail leaves this test
relay_transport = error:no mail leaves this test
# What a strict public server demands.
smtpd_helo_required = yes
smtpd_helo_restrictions = reject_invalid_helo_hostname, reject_non_fqdn_helo_hostname
strict_rfc821_envelopes = yes
smtpd_sender_restrictions = reject_non_fqdn_sender
smtpd_recipient_restrictions = reject_non_fqdn_recipient, permit_mynetworks, reject
smtpd_forbid_bare_newline = yes
smtpd_forbid_bare_newline_exclusions =
strict_8bitmime = yes
# No Date or Message-ID added for this client: the mail must bring its own.
local_header_rewrite_clients =
# Local delivery into one Maildir.
virtual_mailbox_domains = example.org
virtual_mailbox_base = {os.path.dirname(self.inbox)}
virtual_mailbox_maps = static:inbox/
virtual_minimum_uid = 1
virtual_uid_maps = static:{user.pw_uid}
virtual_gid_maps = static:{user.pw_gid}
""")
        services = [
            (f"127.0.0.1:{self.port}", "inet", "-", "smtpd"),
            ("cleanup", "unix", "0", "cleanup"),
            ("qmgr", "unix", "1", "qmgr"),
            ("rewrite", "unix", "-", "trivial-rewrite"),
            ("bounce", "unix", "0", "bounce"),
            ("defer", "unix", "0", "bounce"),
            ("trace", "unix", "0", "bounce"),
            ("verify", "unix", "1", "verify"),
            ("proxymap", "unix", "-", "proxymap"),
            ("error", "unix", "-", "error"),
            ("retry", "unix", "-", "error"),
            ("discard", "unix", "-", "discard"),
            ("virtual", "unix", "-", "virtual"),
            ("anvil", "unix", "1", "anvil"),
            ("scache", "unix", "1", "scache"),
            ("postlog", "unix-dgram", "1", "postlogd"),
        ]
        with open(os.path.join(self.config, "master.cf"), "w") as f:
            for name, kind, limit, command in services:
                private = "n" if kind == "inet" or name in ("qmgr", "cleanup", "postlog") else "-"
                unprivileged = "n" if name == "virtual" else "-"  # it changes to the mailbox owner
                wakeup = "300" if name == "qmgr" else "-"
                f.write(f"{name} {kind} {private} {unprivileged} n {wakeup} {limit} {command}\n")

    def __enter__(self):
        self._write_config()
        # In the foreground Postfix logs to its standard output: the file maillog.
        with open(os.path.join(self.root, "maillog"), "wb") as log:
            self.process = subprocess.Popen(["/usr/sbin/postfix", "-c", self.config, "start-fg"],
                                            stdout=log, stderr=subprocess.STDOUT,
                                            start_new_session=True)
        try:
            wait_for_port(self.port, self.process, seconds=60)
        except RuntimeError as error:
            log = self.log()
            self.__exit__()
            raise RuntimeError("Postfix did not start (%s): %s" % (error, log))
        return self

    def __exit__(self, *exc):
        if self.process is not None:
            subprocess.run(["/usr/sbin/postfix", "-c", self.config, "stop"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
            self.process = None
        shutil.rmtree(self.root, ignore_errors=True)

    def log(self):
        return read_log(os.path.join(self.root, "maillog"))

    def messages(self, count=1, seconds=30):
        """The delivered messages (bytes), once `count` have arrived or the
        time is up."""
        new = os.path.join(self.inbox, "new")
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            names = sorted(os.listdir(new)) if os.path.isdir(new) else []
            if len(names) >= count:
                break
            time.sleep(0.1)
        found = []
        for name in sorted(os.listdir(new)) if os.path.isdir(new) else []:
            with open(os.path.join(new, name), "rb") as f:
                found.append(f.read())
        return found
