"""The programs the end-to-end tests drive: the native build's, or the Windows
build's (.exe programs and DLLs) when PITHORAMA_WINE_PREFIX names a Wine
prefix, run headless through scripts/wine-run in that prefix. The same tests
run either way; the few things that differ between the two live here.

    PITHORAMA_BIN           the build's program folder (build/bin)
    PITHORAMA_WINE_PREFIX   the Wine prefix of a Windows build (build-windows/wine)
"""

import atexit
import os
import re
import signal
import subprocess
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPTS = os.path.normpath(os.path.join(HERE, "../../scripts"))
BIN = os.path.abspath(os.environ.get("PITHORAMA_BIN", os.path.join(HERE, "../../build/bin")))
WINE_PREFIX = os.environ.get("PITHORAMA_WINE_PREFIX", "")
WINDOWS = bool(WINE_PREFIX)
WINE_RUN = os.path.join(SCRIPTS, "wine-run")

# A console program on Windows is asked to end with Ctrl+C (Wine turns SIGINT
# into that event); SIGTERM would end it at once, without its clean-up.
STOP_SIGNAL = signal.SIGINT if WINDOWS else signal.SIGTERM


def posix_only(reason):
    """Marks a test of a POSIX facility that the Windows programs do not have."""
    return unittest.skipIf(WINDOWS, reason)


def program_file(name):
    """The file name of program `name`: echo, or echo.exe on Windows."""
    return name + ".exe" if WINDOWS else name


def program(name):
    """The built program `name`."""
    return os.path.join(BIN, program_file(name))


def library(name):
    """The built shared library `name`: lib/echo.so, or bin/echo.dll on Windows."""
    if WINDOWS:
        return os.path.join(BIN, name + ".dll")
    return os.path.normpath(os.path.join(BIN, "..", "lib", name + ".so"))


def library_file(name):
    return os.path.basename(library(name))


def command(path, *args):
    """The command line that runs the program file `path` with `args`."""
    if WINDOWS:
        return [WINE_RUN, WINE_PREFIX, path, *args]
    return [path, *args]


def host_path(path):
    """An absolute path as the program spells it: unchanged on Linux, on the
    drive Z: (Wine's view of the root folder) with backslashes on Windows."""
    path = os.path.abspath(path)
    return "Z:" + path.replace("/", "\\") if WINDOWS else path


def unix_path(path):
    """The file a path the program wrote names, on Linux: a Windows path is
    found through the prefix's drive links (dosdevices/z: is the root)."""
    match = re.match(r"([A-Za-z]):\\(.*)", path) if WINDOWS else None
    if not match:
        return path
    return os.path.join(WINE_PREFIX, "dosdevices", match.group(1).lower() + ":",
                        match.group(2).replace("\\", "/"))


def is_absolute(path):
    """True for an absolute path as the program spells it."""
    return bool(re.match(r"[A-Za-z]:\\", path)) if WINDOWS else path.startswith("/")


def launcher(program_path):
    """The text of a script that runs the program through Wine, for a web
    server that starts CGI programs as files of its own."""
    return "#!/bin/sh\nexec %s %s %s \"$@\"\n" % (WINE_RUN, WINE_PREFIX, program_path)


def process_args(pid):
    """The arguments of a live process (its command line as Wine rewrote it
    for a Windows program), or None once it has ended."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            args = f.read().decode("latin-1").split("\0")
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(") ", 1)[1][0]
    except (OSError, IndexError):
        return None
    while args and args[-1] == "":
        args.pop()
    return None if state == "Z" else args


def is_program(arg, path):
    """True when `arg` (a process's first argument) names the program file `path`."""
    if not WINDOWS:
        return arg == path
    return arg.lower() in (path.lower(), host_path(path).lower())


def copies_of(path):
    """(pid, arguments) of each live process of the program file `path`."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        args = process_args(int(entry))
        if args and is_program(args[0], path):
            found.append((int(entry), args[1:]))
    return found


def _start_wine_session():
    """A Windows run needs its Wine session (a persistent wineserver and the
    desktop): the test run normally holds one; a test file run on its own
    starts one and stops it when it ends."""
    session = os.path.join(SCRIPTS, "wine-session")
    if subprocess.run([session, "status", WINE_PREFIX]).returncode == 0:
        return
    subprocess.run([session, "start", WINE_PREFIX], check=True)
    atexit.register(subprocess.run, [session, "stop", WINE_PREFIX])


if WINDOWS:
    _start_wine_session()
