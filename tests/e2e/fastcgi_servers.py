"""FastCGI deployments for the end-to-end tests: the program served
persistently by nginx (over TCP and over a Unix socket), by lighttpd (which
starts the program itself and hands it its listening socket as standard
input), by Apache's mod_proxy_fcgi and by spawn-fcgi behind nginx. Each one
runs in a temporary folder of its own on free loopback ports; the program and
its data files sit in <root>/app, its working folder. One table,
DEPLOYMENTS, names them all."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import programs
from servers import free_port, read_log, stop_group, wait_for_port


def wait_for_socket(path, process, seconds=15):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            raise RuntimeError("program ended at start with code %s" % process.returncode)
        if os.path.exists(path):
            try:
                with socket.socket(socket.AF_UNIX) as s:
                    s.connect(path)
                    return
            except OSError:
                pass
        time.sleep(0.02)
    raise RuntimeError("nothing listens on " + path)


class Deployment:
    """Base: `program` (a built program's name) with `extra_files` in
    root/app, served at url("/app")."""

    name = "deployment"
    # The web server keeps its FastCGI connections open between requests.
    keeps_connections = False
    # The web server starts (and restarts) the program itself.
    server_owns_program = False
    # The set-up serves the Windows programs too (TCP only, started through Wine).
    windows = False

    def __init__(self, program, extra_files=(), env=None):
        self.root = tempfile.mkdtemp(prefix="pithorama-fcgi-%s-" % self.name)
        os.chmod(self.root, 0o755)
        self.app = os.path.join(self.root, "app")
        os.mkdir(self.app)
        os.chmod(self.app, 0o777)
        self.program = os.path.join(self.app, os.path.basename(programs.program(program)))
        shutil.copy2(programs.program(program), self.program)
        for path in extra_files:
            shutil.copy2(path, self.app)
        self.env = dict(os.environ, CGI_LOG_DIR=self.app, **(env or {}))
        self.port = free_port()
        self.app_process = None
        self.server_process = None

    # ---- the program -----------------------------------------------------------

    def program_env(self):
        return self.env

    def start_program(self):
        """Starts the program where the web server expects it (not for a
        deployment whose server starts it)."""
        command = self.program_command()
        if programs.WINDOWS:
            command = programs.command(*command)
        self.app_process = subprocess.Popen(
            command, cwd=self.app, env=self.program_env(),
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
        self.wait_for_program()

    def program_pids(self):
        return [pid for pid, _ in programs.copies_of(self.program)]

    def kill_program(self):
        for pid in self.program_pids():
            os.kill(pid, signal.SIGKILL)
        if self.app_process is not None:
            try:
                os.killpg(self.app_process.pid, signal.SIGKILL)  # and what started it
            except ProcessLookupError:
                pass
            self.app_process.wait()
            self.app_process.stderr.close()
            self.app_process = None

    def stop_program(self):
        """Asks the program to end (SIGTERM, Ctrl+C on Windows); answers its
        exit code."""
        if self.app_process is None:
            return None
        os.killpg(self.app_process.pid, programs.STOP_SIGNAL)
        try:
            code = self.app_process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.app_process.kill()
            code = self.app_process.wait()
        self.app_process.stderr.close()
        self.app_process = None
        return code

    # ---- the web server ------------------------------------------------------------

    def write(self, name, text):
        path = os.path.join(self.root, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def start_server(self):
        self.server_process = subprocess.Popen(
            self.server_command(), cwd=self.app, env=self.env, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE, start_new_session=True)
        wait_for_port(self.port, self.server_process)

    def stop_server(self):
        if self.server_process is not None:
            stop_group(self.server_process)
            self.server_process.stderr.close()
            self.server_process = None

    def restart_server(self):
        self.stop_server()
        self.start_server()

    def url(self, path="/app"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def error_log(self):
        return read_log(os.path.join(self.root, "error.log")) + read_log(
            os.path.join(self.app, os.path.basename(self.program) + ".Log"))

    def __enter__(self):
        try:
            if not self.server_owns_program:
                self.start_program()
            self.start_server()
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        self.stop_server()
        if self.app_process is not None:
            self.stop_program()
        self.kill_program()
        shutil.rmtree(self.root, ignore_errors=True)


# The workers run as the test's user, who owns the program's socket file.
NGINX_HTTP = """
daemon off;
user root;
worker_processes 2;
pid {root}/nginx.pid;
error_log {root}/error.log;
events {{ worker_connections 512; }}
http {{
  access_log off;
  client_body_temp_path {root}/body;
  fastcgi_temp_path {root}/fastcgi;
  proxy_temp_path {root}/proxy;
  uwsgi_temp_path {root}/uwsgi;
  scgi_temp_path {root}/scgi;
  client_max_body_size 0;
  upstream app {{
    {servers}
    keepalive 16;
  }}
  server {{
    listen 127.0.0.1:{port};
    location /app {{
      include /etc/nginx/fastcgi_params;
      fastcgi_keep_conn on;
      fastcgi_pass app;
    }}
  }}
}}
"""


class NginxTcp(Deployment):
    """nginx fastcgi_pass to a TCP port; the program named by PITHORAMA_FASTCGI."""

    name = "nginx-tcp"
    keeps_connections = True
    windows = True

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.app_port = free_port()

    def address(self):
        return "127.0.0.1:%d" % self.app_port

    def program_command(self):
        return [self.program]

    def program_env(self):
        return dict(self.env, PITHORAMA_FASTCGI=self.address())

    def wait_for_program(self):
        wait_for_port(self.app_port, self.app_process)

    def server_command(self):
        conf = self.write("nginx.conf", NGINX_HTTP.format(
            root=self.root, port=self.port, servers="server %s;" % self.address()))
        return ["nginx", "-c", conf, "-p", self.root]


class NginxUnix(NginxTcp):
    """nginx fastcgi_pass to a Unix socket; the program named by --fastcgi."""

    name = "nginx-unix"
    windows = False

    def address(self):
        return "unix:" + os.path.join(self.root, "app.sock")

    def program_command(self):
        return [self.program, "--fastcgi", self.address()]

    def program_env(self):
        return self.env

    def wait_for_program(self):
        wait_for_socket(self.address()[5:], self.app_process)


class SpawnFcgi(NginxTcp):
    """spawn-fcgi binds the port and starts the program with it as standard
    input; nginx in front."""

    name = "spawn-fcgi"
    windows = False

    def program_command(self):
        return ["spawn-fcgi", "-n", "-a", "127.0.0.1", "-p", str(self.app_port), "--",
                self.program]

    def program_env(self):
        return self.env


class Lighttpd(Deployment):
    """lighttpd's mod_fastcgi starts the program itself (bin-path) with its
    listening socket as standard input, and starts it again when it dies."""

    name = "lighttpd"
    server_owns_program = True

    def server_command(self):
        conf = self.write("lighttpd.conf", f"""
server.modules = ("mod_fastcgi")
server.bind = "127.0.0.1"
server.port = {self.port}
server.document-root = "{self.app}"
server.errorlog = "{self.root}/error.log"
server.max-request-size = 2097152
server.max-connections = 512
fastcgi.server = ("/app" => ((
  "socket" => "{self.root}/lighttpd-app.sock",
  "bin-path" => "{self.program}",
  "bin-environment" => ("CGI_LOG_DIR" => "{self.app}"),
  "max-procs" => 1,
  "check-local" => "disable"
)))
""")
        return ["lighttpd", "-D", "-f", conf]


class Apache(Deployment):
    """Apache's mod_proxy_fcgi to a TCP port, connections reused."""

    name = "apache"
    keeps_connections = True

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.app_port = free_port()

    def program_command(self):
        return [self.program]

    def program_env(self):
        return dict(self.env, PITHORAMA_FASTCGI="127.0.0.1:%d" % self.app_port)

    def wait_for_program(self):
        wait_for_port(self.app_port, self.app_process)

    def server_command(self):
        modules = "/usr/lib/apache2/modules"
        conf = self.write("apache2.conf", f"""
ServerRoot "{self.root}"
ServerName localhost
Listen 127.0.0.1:{self.port}
PidFile "{self.root}/apache2.pid"
ErrorLog "{self.root}/error.log"
LoadModule mpm_event_module {modules}/mod_mpm_event.so
LoadModule authz_core_module {modules}/mod_authz_core.so
LoadModule proxy_module {modules}/mod_proxy.so
LoadModule proxy_fcgi_module {modules}/mod_proxy_fcgi.so
User www-data
Group www-data
StartServers 1
ServerLimit 2
ThreadsPerChild 64
MaxRequestWorkers 128
DocumentRoot "{self.app}"
ProxyPass "/app" "fcgi://127.0.0.1:{self.app_port}/app" enablereuse=on
LimitRequestBody 0
""")
        return ["apache2", "-f", conf, "-DFOREGROUND"]


class NginxUpstream(Deployment):
    """Several copies of the program, each in a folder of its own (app0,
    app1, ...) on a TCP port of its own, behind one nginx upstream that
    spreads the hits and passes a failed one to the next copy."""

    name = "nginx-upstream"
    windows = True

    def __init__(self, program, extra_files=(), env=None, count=2):
        super().__init__(program, extra_files, env)
        self.instances = []
        for n in range(count):
            folder = os.path.join(self.root, "app%d" % n)
            os.mkdir(folder)
            shutil.copy2(self.program, folder)
            for path in extra_files:
                shutil.copy2(path, folder)
            self.instances.append({"folder": folder, "port": free_port(), "process": None})

    def start_program(self):
        for instance in self.instances:
            program = os.path.join(instance["folder"], os.path.basename(self.program))
            env = dict(self.env, CGI_LOG_DIR=instance["folder"],
                       PITHORAMA_FASTCGI="127.0.0.1:%d" % instance["port"])
            instance["process"] = subprocess.Popen(
                programs.command(program), cwd=instance["folder"], env=env, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, start_new_session=True)
        for instance in self.instances:
            wait_for_port(instance["port"], instance["process"])

    def kill_instance(self, n):
        process = self.instances[n]["process"]
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()

    def stop_instances(self):
        """Asks every running copy to end; answers their exit codes."""
        codes = []
        for instance in self.instances:
            process = instance["process"]
            if process is None or process.poll() is not None:
                continue
            os.killpg(process.pid, programs.STOP_SIGNAL)
            try:
                codes.append(process.wait(timeout=30))
            except subprocess.TimeoutExpired:
                process.kill()
                codes.append(process.wait())
        return codes

    def server_command(self):
        servers = " ".join("server 127.0.0.1:%d max_fails=1 fail_timeout=60s;" % i["port"]
                           for i in self.instances)
        conf = self.write("nginx.conf", NGINX_HTTP.format(root=self.root, port=self.port,
                                                          servers=servers))
        return ["nginx", "-c", conf, "-p", self.root]

    def __exit__(self, *exc):
        self.stop_server()
        self.stop_instances()
        shutil.rmtree(self.root, ignore_errors=True)


DEPLOYMENTS = {"nginx-tcp": NginxTcp, "nginx-unix": NginxUnix, "lighttpd": Lighttpd,
               "apache": Apache, "spawn-fcgi": SpawnFcgi}
