#!/usr/bin/env python3
"""A stand-in Windows CGI server, for trying a program's Windows CGI gateway
on a machine where no web server offers that interface.

    tools/wincgi_server.py [--port N] [--keep] PROGRAM
        serves HTTP on 127.0.0.1 (a free port unless --port), prints
        "READY <port>" and answers every request through PROGRAM:
        curl 'http://127.0.0.1:<port>/cgi-win/echo?a=1'

    tools/wincgi_server.py --once [--keep] PROGRAM < request
        reads one HTTP request as a client sends it (request line, header
        lines, blank line, body) and prints the output file of PROGRAM.

    --wine PREFIX runs a Windows PROGRAM (an .exe) through Wine in that
    prefix (scripts/wine-run), with the paths in its profile spelled the
    Windows way (Z:\tmp\...).

For each request the server does what the Windows CGI 1.3a interface asks of
one: it writes the raw body into a content file and decodes a posted form
into the profile's form sections (short values in [Form Literal], long ones
or ones with control characters or double quotes in files named by
[Form External], values above 64 KiB by offset and length into the content
file in [Form Huge], uploaded files in [Form File]; repeated names become
name, name_1, name_2, ...). It writes the profile (sections [CGI], [Accept],
[System], [Extra Headers] and the form sections, lines ending in CR LF),
creates the output file empty, runs PROGRAM with the profile's full name as
its one argument and waits for it to end. The output file holds the answer:
header lines (or a whole answer starting with a status line), a blank line,
the body. In serving mode the server makes the status line (302 for a
Location, else 200, or the one a Status line names) and sends the output
file after it.

The request's files live in a fresh folder under the system's temporary
folder and are removed afterwards; --keep leaves them and names the folder
on standard error."""

import argparse
import base64
import os
import re
import shutil
import socketserver
import subprocess
import sys
import tempfile
import time
import urllib.parse

WINE_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../scripts/wine-run")

SERVER_SOFTWARE = "WinCGI-Stand-in/1.0"
LITERAL_LIMIT = 254      # longer values go to [Form External]
HUGE_LIMIT = 65535       # longer values go to [Form Huge]
PROGRAM_SECONDS = 120    # a program that runs longer is stopped

# Request headers that have a key of their own in [CGI] (or [Accept]); every
# other header goes to [Extra Headers] under its own name.
CGI_HEADERS = {"user-agent": "User Agent", "referer": "Referer", "from": "From",
               "content-type": "Content Type", "content-length": "Content Length"}
NOT_EXTRA = set(CGI_HEADERS) | {"accept", "authorization"}


class Runner:
    """How the program is started and how it spells the request's paths."""

    def __init__(self, wine_prefix=None):
        self.wine_prefix = wine_prefix

    def command(self, program, profile):
        program = os.path.abspath(program)
        if self.wine_prefix:
            return [WINE_RUN, self.wine_prefix, program, self.path(profile)]
        return [program, profile]

    def path(self, path):
        """A path as the program reads it: Wine shows the root folder as Z:."""
        if self.wine_prefix and path:
            return "Z:" + path.replace("/", "\\")
        return path


NATIVE = Runner()


class Request:
    def __init__(self, method, target, version, headers, body, client="127.0.0.1", port=80):
        self.method, self.target, self.version = method, target, version
        self.headers, self.body = headers, body   # headers: [(name, value)] as sent
        self.client, self.port = client, port

    def header(self, name):
        for key, value in self.headers:
            if key.lower() == name:
                return value
        return ""


def parse_head(head):
    """The request line and header lines of a request (bytes before the blank line)."""
    lines = head.decode("latin-1").split("\r\n")
    method, target, version = (lines[0].split(" ", 2) + ["", ""])[:3]
    headers = [tuple(part.strip() for part in line.split(":", 1))
               for line in lines[1:] if ":" in line]
    return method, target, version or "HTTP/1.0", headers


def parse_request(data):
    head, _, body = data.partition(b"\r\n\r\n")
    method, target, version, headers = parse_head(head)
    request = Request(method, target, version, headers, body)
    if request.header("content-length").isdigit():
        request.body = body[:int(request.header("content-length"))]
    return request


# ---- the form sections --------------------------------------------------------

def urlencoded_fields(body):
    """(name, value, offset of the raw value, raw length) of each pair."""
    fields, offset = [], 0
    for piece in body.split(b"&"):
        name, equals, value = piece.partition(b"=")
        if equals:
            decoded = urllib.parse.unquote_to_bytes(value.replace(b"+", b" "))
            fields.append((urllib.parse.unquote_plus(name.decode("latin-1"), "latin-1"),
                           decoded, offset + len(name) + 1, len(value)))
        offset += len(piece) + 1
    return fields


def multipart_parts(body, boundary):
    """(part headers text, data start, data end) of each part of the body."""
    delimiter = b"--" + boundary
    parts, pos = [], body.find(delimiter)
    while pos >= 0 and body[pos + len(delimiter):pos + len(delimiter) + 2] != b"--":
        start = body.find(b"\r\n", pos) + 2
        head_end = body.find(b"\r\n\r\n", start)
        end = body.find(b"\r\n" + delimiter, head_end)
        if start < 2 or head_end < 0 or end < 0:
            break
        parts.append((body[start:head_end].decode("latin-1"), head_end + 4, end))
        pos = end + 2
    return parts


def parameter(text, name):
    match = re.search(r'(?:^|[;\s])%s="([^"]*)"' % name, text, re.IGNORECASE)
    return match.group(1) if match else None


def form_sections(request, folder, runner=NATIVE):
    """The form sections: {section: [(key, value text)]}, writing the files they name."""
    content_type = request.header("content-type").lower()
    literal, external, huge, files = [], [], [], []
    uploads, values = [], []
    if content_type.startswith("application/x-www-form-urlencoded"):
        values = urlencoded_fields(request.body)
    elif content_type.startswith("multipart/form-data"):
        boundary = re.search(r"boundary=\"?([^\";]+)", request.header("content-type"))
        for head, start, end in multipart_parts(request.body, boundary.group(1).encode()
                                                if boundary else b"\0"):
            name, filename = parameter(head, "name"), parameter(head, "filename")
            if name is None:
                continue
            if filename is None:
                values.append((name, request.body[start:end], start, end - start))
            else:
                part_type = re.search(r"content-type:\s*([^\r\n;]+)", head, re.IGNORECASE)
                uploads.append((name, filename, part_type.group(1) if part_type else
                                "application/octet-stream", request.body[start:end]))
    seen = {}

    def key(name):   # repeated names: name, name_1, name_2, ...
        count = seen.get(name, 0)
        seen[name] = count + 1
        return name if count == 0 else "%s_%d" % (name, count)

    def external_file(data):
        path = os.path.join(folder, "req.%03d" % (len(external) + len(files) + 1))
        with open(path, "wb") as f:
            f.write(data)
        return runner.path(path)

    for name, value, offset, length in values:
        if len(value) > HUGE_LIMIT:
            huge.append((key(name), "%d %d" % (offset, length)))
        elif len(value) > LITERAL_LIMIT or re.search(rb'[\x00-\x1f\x7f"]', value):
            external.append((key(name), "%s %d" % (external_file(value), len(value))))
        else:
            literal.append((key(name), value.decode("latin-1")))
    for name, filename, part_type, data in uploads:
        files.append((key(name), "[%s] %d %s binary [%s]" % (external_file(data), len(data),
                                                              part_type, filename)))
    return {"Form Literal": literal, "Form External": external, "Form Huge": huge,
            "Form File": files}


# ---- the profile --------------------------------------------------------------

def cgi_section(request, program, content_file):
    path, _, query = request.target.partition("?")
    script = "/cgi-win/" + os.path.basename(program)
    path_info = path[len(script):] if path.startswith(script) else ""
    host, _, port = (request.header("host") or "127.0.0.1").partition(":")
    entries = [("Request Protocol", request.version), ("Request Method", request.method),
               ("Executable Path", script if path.startswith(script) else path),
               ("Logical Path", path_info), ("Query String", query)]
    entries += [(key, request.header(name)) for name, key in CGI_HEADERS.items()]
    entries += [("Content File", content_file), ("Server Software", SERVER_SOFTWARE),
                ("Server Name", host), ("Server Port", port or str(request.port)),
                ("CGI Version", "CGI/1.3a (Win)"),
                ("Remote Host", request.client), ("Remote Address", request.client)]
    scheme, _, credentials = request.header("authorization").partition(" ")
    if scheme:
        entries.append(("Authentication Method", scheme))
    if scheme.lower() == "basic":
        user, _, password = base64.b64decode(credentials).decode("latin-1").partition(":")
        entries += [("Authenticated Username", user), ("Authenticated Password", password)]
    return entries


def accept_section(request):
    """One key per accepted type; its parameters (q=0.5) or Yes as the value."""
    entries = []
    for item in request.header("accept").split(","):
        media, _, params = item.strip().partition(";")
        if media:
            entries.append((media.strip(), params.strip() or "Yes"))
    return entries


def profile_text(sections):
    """Sections as the ini text of a profile. Variables with an empty value
    are left out, and so are form sections without fields; an empty form
    field stays."""
    text = ""
    for name, entries in sections.items():
        form = name.startswith("Form")
        if form and not entries:
            continue
        text += "[%s]\r\n" % name
        text += "".join("%s=%s\r\n" % (key, value) for key, value in entries
                        if form or value != "")
    return text.encode("latin-1")


def run(program, request, keep=False, runner=NATIVE):
    """Serves one request through the program; answers (output file bytes, exit code)."""
    folder = tempfile.mkdtemp(prefix="wincgi-")
    files = {ext: os.path.join(folder, "req." + ext) for ext in ("ini", "inp", "out")}
    content_file = ""
    if request.body:
        content_file = files["inp"]
        with open(content_file, "wb") as f:
            f.write(request.body)
    gmt_offset = time.localtime().tm_gmtoff
    content_file = runner.path(content_file)
    sections = {"CGI": cgi_section(request, program, content_file),
                "Accept": accept_section(request),
                "System": [("GMT Offset", str(gmt_offset)), ("Debug Mode", "No"),
                           ("Output File", runner.path(files["out"])),
                           ("Content File", content_file)],
                "Extra Headers": [(name, value) for name, value in request.headers
                                  if name.lower() not in NOT_EXTRA]}
    sections.update(form_sections(request, folder, runner))
    with open(files["ini"], "wb") as f:
        f.write(profile_text(sections))
    open(files["out"], "wb").close()
    try:
        code = subprocess.run(runner.command(program, files["ini"]), stdin=subprocess.DEVNULL,
                              stdout=sys.stderr, timeout=PROGRAM_SECONDS).returncode
    except subprocess.TimeoutExpired:
        code = -1
    with open(files["out"], "rb") as f:
        output = f.read()
    if keep:
        print("request files kept in " + folder, file=sys.stderr, flush=True)
    else:
        shutil.rmtree(folder, ignore_errors=True)
    return output, code


def http_answer(output):
    """The output file as an HTTP answer: the server makes the status line."""
    if output.startswith(b"HTTP/"):
        return output
    if not output:
        return b"HTTP/1.0 500 Internal Server Error\r\n\r\nThe program wrote no answer.\r\n"
    head = output.split(b"\r\n\r\n", 1)[0].decode("latin-1").lower()
    status = re.search(r"^status:\s*(.+)$", head, re.MULTILINE)
    line = (status.group(1).strip() if status else
            "302 Found" if re.search(r"^location:", head, re.MULTILINE) else "200 OK")
    return b"HTTP/1.0 " + line.encode("latin-1") + b"\r\n" + output


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        head = b""
        while not head.endswith(b"\r\n\r\n"):
            line = self.rfile.readline(65537)
            if not line:
                return
            head += line
        method, target, version, headers = parse_head(head[:-4])
        request = Request(method, target, version, headers, b"",
                          self.client_address[0], self.server.server_address[1])
        if request.header("transfer-encoding"):
            self.wfile.write(b"HTTP/1.0 411 Length Required\r\n\r\n")
            return
        if request.header("expect").lower() == "100-continue":
            self.wfile.write(b"HTTP/1.1 100 Continue\r\n\r\n")
        request.body = self.rfile.read(int(request.header("content-length") or 0))
        output, _ = run(self.server.program, request, self.server.keep, self.server.runner)
        self.wfile.write(http_answer(output))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("program")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--once", action="store_true", help="one request from standard input")
    parser.add_argument("--keep", action="store_true", help="keep the request's files")
    parser.add_argument("--wine", metavar="PREFIX", help="run a Windows program through Wine")
    args = parser.parse_args()
    runner = Runner(args.wine)
    if args.once:
        output, code = run(args.program, parse_request(sys.stdin.buffer.read()), args.keep, runner)
        sys.stdout.buffer.write(output)
        return code
    socketserver.ThreadingTCPServer.allow_reuse_address = True
    socketserver.ThreadingTCPServer.daemon_threads = True
    with socketserver.ThreadingTCPServer(("127.0.0.1", args.port), Handler) as server:
        server.program, server.keep, server.runner = args.program, args.keep, runner
        print("READY %d" % server.server_address[1], flush=True)
        try:
            server.serve_forever()
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
