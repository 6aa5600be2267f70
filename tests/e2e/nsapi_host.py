"""nsapi-host serving a gateway library from a folder of its own, the way an
NSAPI server is set up: the library with the stand-in server's function
library beside it, and the host program with the files that a library such as
pithorama reads beside the server's program file. Listens on a free
loopback port and is stopped when its `with` block ends."""

import os
import shutil
import subprocess
import tempfile

from servers import stop_group

BIN = os.environ.get("PITHORAMA_BIN", os.path.join(os.path.dirname(__file__), "../../build/bin"))
LIB = os.path.join(BIN, "..", "lib")
SERVER_LIBRARY = "libnsapi-server.so"


class NsapiHost:
    def __init__(self, library, extra_files=(), threads=8, environment=None):
        self.folder = tempfile.mkdtemp(prefix="pithorama-nsapi-")
        os.mkdir(os.path.join(self.folder, "Log"))
        self.library = os.path.join(self.folder, os.path.basename(library))
        self.program = os.path.join(self.folder, "nsapi-host")
        for path in (library, os.path.join(LIB, SERVER_LIBRARY), os.path.join(BIN, "nsapi-host"),
                     *extra_files):
            shutil.copy2(path, self.folder)
        self.threads = threads
        self.environment = dict(os.environ, **(environment or {}))

    def __enter__(self):
        self.process = subprocess.Popen(
            [self.program, "--port", "0", "--threads", str(self.threads),
             self.library],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
            env=self.environment)
        line = self.process.stdout.readline()
        if not line.strip().isdigit():
            self.__exit__(None, None, None)
            raise RuntimeError("nsapi-host did not start: " + line + self.stderr)
        self.port = int(line)
        return self

    def __exit__(self, *exc):
        stop_group(self.process)
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
