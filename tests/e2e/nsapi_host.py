"""nsapi-host serving a gateway library from a folder of its own, the way an
NSAPI server is set up: the library with the stand-in server's function
library beside it, and the host program with the files that a library such as
pithorama reads beside the server's program file. Listens on a free
loopback port and is stopped when its `with` block ends."""

import os
import shutil
import subprocess
import tempfile

import programs
from servers import stop_group

# The stand-in server's function library: found beside the gateway library
# on Linux; on Windows, where a real server's lies in the system folder, the
# gateway is told its place through NSAPI_SERVER_LIBRARY.
SERVER_LIBRARY = programs.library("ns-httpd20" if programs.WINDOWS else "libnsapi-server")


def missing_server_library():
    """A server library path where no file is, as the gateway spells it."""
    return programs.host_path("/nonexistent/" + os.path.basename(SERVER_LIBRARY))


class NsapiHost:
    def __init__(self, library, extra_files=(), threads=8, environment=None):
        self.folder = tempfile.mkdtemp(prefix="pithorama-nsapi-")
        os.mkdir(os.path.join(self.folder, "Log"))
        self.library = os.path.join(self.folder, os.path.basename(library))
        self.program = os.path.join(self.folder, programs.program_file("nsapi-host"))
        for path in (library, SERVER_LIBRARY, programs.program("nsapi-host"), *extra_files):
            shutil.copy2(path, self.folder)
        self.threads = threads
        self.environment = dict(os.environ)
        if programs.WINDOWS:
            self.environment["NSAPI_SERVER_LIBRARY"] = programs.host_path(
                os.path.join(self.folder, os.path.basename(SERVER_LIBRARY)))
        self.environment.update(environment or {})

    def __enter__(self):
        self.process = subprocess.Popen(
            programs.command(self.program, "--port", "0", "--threads", str(self.threads),
                             programs.host_path(self.library)),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
            env=self.environment)
        line = self.process.stdout.readline()
        if not line.strip().isdigit():
            self.__exit__(None, None, None)
            raise RuntimeError("nsapi-host did not start: " + line + self.stderr)
        self.port = int(line)
        return self

    def __exit__(self, *exc):
        stop_group(self.process, programs.STOP_SIGNAL)
        self.returncode = self.process.returncode
        self.stderr = self.process.stderr.read()
        self.process.stdout.close()
        self.process.stderr.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def file(self, name):
        return os.path.join(self.folder, name)

    def error_log(self):
        """The gateway's error log, in the folder Log beside the library."""
        text = ""
        for name in sorted(os.listdir(os.path.join(self.folder, "Log"))):
            with open(os.path.join(self.folder, "Log", name), newline="", errors="replace") as f:
                text += f.read()
        return text
