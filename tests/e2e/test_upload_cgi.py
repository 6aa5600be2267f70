"""The upload example behind real web servers: files posted with curl and
from headless Chromium arrive whole (size and SHA-256 match), fields keep
their values, and no temporary upload file outlives its request."""

import hashlib
import html
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

import programs
from servers import curl, web_server

UPLOAD = programs.program("upload")
BROWSER_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "browser")
CHROMIUM = "/usr/bin/chromium"

FIELD_ROW = re.compile(r'<tr class="field"><th>(.*?)</th><td>(.*?)</td></tr>', re.S)
FILE_ROW = re.compile(r'<tr class="file"><th>(.*?)</th><td class="name">(.*?)</td>'
                      r'<td class="size">(-?\d+)</td><td class="sha256">([0-9a-f]*)</td></tr>')


def parse_answer(page):
    """(fields as (name, value) pairs, files as (field, sent name, size, sha256))."""
    fields = [(html.unescape(n), html.unescape(v)) for n, v in FIELD_ROW.findall(page)]
    files = [(html.unescape(f), html.unescape(n), int(s), h) for f, n, s, h in FILE_ROW.findall(page)]
    return fields, files


def digest(path):
    sha = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            sha.update(block)
    return os.path.getsize(path), sha.hexdigest()


class UploadThroughServer:
    server_name = None

    @classmethod
    def setUpClass(cls):
        cls.files = tempfile.mkdtemp(prefix="pithorama-upload-files-")
        cls.server = web_server(cls.server_name)
        cls.server.install(UPLOAD)
        cls.server.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        shutil.rmtree(cls.files, ignore_errors=True)

    def make_file(self, name, data):
        path = os.path.join(self.files, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def post(self, *curl_args):
        # No "Expect: 100-continue": the answer's first status line is the real one.
        status, headers, body = curl(self.server.url("/cgi-bin/upload"), "--max-time", "300",
                                     "-H", "Expect:", *curl_args)
        self.assertEqual(status, 200, headers + self.server.error_log())
        self.assertNoTemporaryFiles()
        return parse_answer(body.decode("latin-1"))

    def assertNoTemporaryFiles(self):
        folder = os.path.join(self.server.cgi_bin, "tmp")
        left = os.listdir(folder) if os.path.isdir(folder) else []
        self.assertEqual(left, [], "upload files left behind")

    def assertFilesArrived(self, files, sent):
        """sent: (field, path, name as sent) in body order."""
        expected = [(field, name) + digest(path) for field, path, name in sent]
        self.assertEqual(sorted(files), sorted(expected))

    def test_get_shows_the_form(self):
        status, _, body = curl(self.server.url("/cgi-bin/upload"))
        self.assertEqual(status, 200)
        page = body.decode("latin-1")
        self.assertIn('enctype="multipart/form-data"', page)
        self.assertEqual(page.count('type="file"'), 2)

    def test_several_files_fields_and_repeats(self):
        # Data that holds line ends and boundary-like dashes, an empty file,
        # a file larger than the decoder's ring.
        tricky = self.make_file("tricky.bin", b"\r\n--\r\n--x\n" * 5000 + os.urandom(3000))
        empty = self.make_file("empty.txt", b"")
        medium = self.make_file("medium.dat", os.urandom(200_000))
        small = self.make_file("small.txt", b"hello\r\n")
        fields, files = self.post(
            "--form-string", "title=a&b=c", "--form-string", "title=x=y",
            "--form-string", "comment=line one\r\nline two",
            "-F", f"file1=@{tricky}", "-F", f"file2=@{empty}",
            "-F", f"more=@{medium}", "-F", f"more=@{small};type=text/plain")
        values = dict(fields)
        self.assertEqual(values["title"], "a&b=c\r\nx=y")
        self.assertEqual(values["comment"], "line one\r\nline two")
        self.assertEqual(values["file2"], "empty.txt")
        self.assertEqual(values["more"], "medium.dat\r\nsmall.txt")
        self.assertIn("text/plain", values["more_CONTENT_TYPE"])
        self.assertFilesArrived(files, [("file1", tricky, "tricky.bin"),
                                        ("file2", empty, "empty.txt"),
                                        ("more", medium, "medium.dat"),
                                        ("more", small, "small.txt")])

    def test_hundred_megabytes(self):
        big = os.path.join(self.files, "big.bin")
        with open(big, "wb") as f:
            for _ in range(100):
                f.write(os.urandom(1 << 20))
        try:
            fields, files = self.post("--form-string", "note=big one", "-F", f"file1=@{big}")
            self.assertIn(("note", "big one"), fields)
            self.assertFilesArrived(files, [("file1", big, "big.bin")])
        finally:
            os.remove(big)

    def post_body(self, body, content_type, *curl_args):
        """Posts the bytes of a body built by hand, as a client other than a browser may."""
        path = self.make_file("body.bin", body)
        return self.post("--data-binary", "@" + path, "-H", "Content-Type: " + content_type,
                         *curl_args)

    def test_multipart_bodies_of_other_clients(self):
        data = b"q qq\r\nq\r\n-q\nq--" + os.urandom(2000).replace(b"\n", b"")
        cases = [
            ("boundary text inside a line",
             "boundary", b"--boundary\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\n"
             b"Keep inside the boundary of the form.\r\n--boundary--\r\n",
             [("title", "Keep inside the boundary of the form.")], []),
            ("one-letter boundary",
             "q", b"--q\r\nContent-Disposition: form-data; name=\"file1\"; filename=\"q.bin\"\r\n"
             b"\r\n" + data + b"\r\n--q--\r\n",
             [("file1", "q.bin")], [("file1", "q.bin", data)]),
            ("epilogue that looks like a part",
             "XyZ", b"--XyZ\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nt\r\n--XyZ--\r\n"
             b"\r\n--XyZ\r\nContent-Disposition: form-data; name=\"evil\"; filename=\"e.txt\"\r\n\r\n"
             b"e\r\n--XyZ--\r\n",
             [("title", "t")], []),
            ("leading line end and a preamble",
             "XyZ", b"\r\nA preamble.\r\n--XyZ\r\nContent-Disposition: form-data; name=\"title\"\r\n"
             b"\r\nt\r\n--XyZ--\r\n",
             [("title", "t")], []),
            ("header lines in other orders and cases",
             "XyZ", b"--XyZ\r\ncontent-disposition: form-data; name=bit\r\n\r\n1\r\n"
             b"--XyZ\r\nCONTENT-TYPE: text/plain\r\nContent-Disposition: form-data; "
             b"filename=\"a.txt\"; name=\"file1\"\r\n\r\nabc\r\n--XyZ--\r\n",
             [("bit", "1"), ("file1_CONTENT_TYPE", "text/plain"), ("file1", "a.txt")],
             [("file1", "a.txt", b"abc")]),
        ]
        for title, boundary, body, fields, files in cases:
            with self.subTest(title):
                got_fields, got_files = self.post_body(
                    body, "multipart/form-data; boundary=" + boundary)
                self.assertEqual([(n, v) for n, v in got_fields if not n.endswith("_FILENAME")],
                                 fields)
                self.assertEqual(
                    sorted(got_files),
                    sorted((f, n, len(d), hashlib.sha256(d).hexdigest()) for f, n, d in files))

    def test_many_uploads_under_one_name(self):
        files = [self.make_file("part%d.txt" % i, b"x" * i) for i in range(300)]
        fields, got_files = self.post(*[a for path in files for a in ("-F", "more=@" + path)])
        self.assertEqual(sorted(n for n, _ in fields), ["more", "more_CONTENT_TYPE", "more_FILENAME"])
        self.assertFilesArrived(got_files, [("more", path, os.path.basename(path))
                                            for path in files])

    def test_hundred_thousand_url_encoded_fields(self):
        # Read within a bound that a look-up per field costing the whole
        # form (minutes for this many) would overrun.
        form = "&".join("f%d=v%d" % (i, i) for i in range(100_000)).encode()
        fields, _ = self.post_body(form, "application/x-www-form-urlencoded", "--max-time", "60")
        self.assertEqual(len(fields), 100_000)
        self.assertEqual(fields[99_999], ("f99999", "v99999"))

    def test_client_path_in_file_name(self):
        data = self.make_file("p.gif", b"GIF89a" + os.urandom(100))
        _, files = self.post("-F", f"file1=@{data};filename=C:\\Users\\me\\p.gif")
        self.assertFilesArrived(files, [("file1", data, "C:\\Users\\me\\p.gif")])


class UploadLighttpd(UploadThroughServer, unittest.TestCase):
    server_name = "lighttpd"

    def test_browser_posts_the_form(self):
        if not os.path.exists(CHROMIUM):
            self.skipTest("chromium is not installed (apt-get install chromium)")
        if not os.path.isdir(os.path.join(BROWSER_DIR, "node_modules", "playwright-core")):
            self.skipTest("playwright-core is not installed (npm install in tests/e2e/browser)")
        first = self.make_file("photo.jpg", os.urandom(300_000))
        second = self.make_file("notes & more.txt", b"a=1&b=2\r\n" * 100)
        result = subprocess.run(
            ["node", os.path.join(BROWSER_DIR, "upload_form.mjs"),
             self.server.url("/cgi-bin/upload"), "caf\u00e9 & co", "x=1&y=2", first, second],
            capture_output=True, timeout=180)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        self.assertNoTemporaryFiles()
        fields, files = parse_answer(result.stdout.decode("utf-8"))
        values = dict(fields)
        # The page declares no charset: the browser sends the title as UTF-8
        # or as a numeric character reference, and both come back as sent.
        self.assertIn(values["title"], ("caf\u00e9 & co", "caf&#233; & co"))
        self.assertEqual(values["comment"], "x=1&y=2")
        self.assertFilesArrived(files, [("file1", first, "photo.jpg"),
                                        ("file2", second, "notes & more.txt")])


class UploadNginx(UploadThroughServer, unittest.TestCase):
    server_name = "nginx"


class UploadApache(UploadThroughServer, unittest.TestCase):
    server_name = "apache"

    def wait_for_folder(self, condition, what):
        folder = os.path.join(self.server.cgi_bin, "tmp")
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if condition(os.listdir(folder) if os.path.isdir(folder) else []):
                return
            time.sleep(0.05)
        self.fail(what)

    def test_client_hanging_up_mid_upload(self):
        # Apache streams the body to the program and ends it with SIGTERM when
        # the client goes away; the half-written upload file goes with it.
        boundary = "hangup"
        part = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"file1\"; "
                f"filename=\"big.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n")
        head = (f"POST /cgi-bin/upload HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                f"Content-Type: multipart/form-data; boundary={boundary}\r\n"
                f"Content-Length: {6 << 20}\r\n\r\n{part}")
        with socket.create_connection(("127.0.0.1", self.server.port)) as client:
            client.sendall(head.encode() + os.urandom(1 << 20))
            self.wait_for_folder(lambda files: files, "no upload file was started")
        self.wait_for_folder(lambda files: not files, "upload files left behind")


if __name__ == "__main__":
    unittest.main()
