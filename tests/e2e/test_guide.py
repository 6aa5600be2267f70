"""The programs of docs/GUIDE.md answer real hits: as CGI programs through
lighttpd, Apache and nginx with fcgiwrap, and through nginx with the guide's
own FastCGI set-up."""

import os
import unittest

import programs
from fastcgi_servers import NGINX_HTTP, NginxTcp
from servers import Nginx, curl, web_server

SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../.."))

GUIDE_PROGRAMS = ("greet", "fields", "visits", "errors", "session")


class GuideThroughLighttpd(unittest.TestCase):
    SERVER = "lighttpd"

    @classmethod
    def make_server(cls):
        return web_server(cls.SERVER)

    @classmethod
    def setUpClass(cls):
        cls.server = cls.make_server()
        for name in GUIDE_PROGRAMS:
            cls.server.install(programs.program(name))
        for folder in ("Log", "uploads", "sessions"):
            path = os.path.join(cls.server.cgi_bin, folder)
            os.mkdir(path)
            os.chmod(path, 0o777)
        cls.server.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)

    def hit(self, path, *curl_args):
        return curl(self.server.url("/cgi-bin/" + path), *curl_args)

    def page(self, path, *curl_args):
        status, headers, body = self.hit(path, *curl_args)
        self.assertEqual(status, 200, headers + self.server.error_log())
        return body.decode("utf-8")

    def test_greet(self):
        cases = [("greet", "<p>Hello, stranger!</p>"),
                 ("greet?name=Ada", "<p>Hello, Ada!</p>"),
                 ("greet?name=%3Cb%3E%26", "<p>Hello, &lt;b&gt;&amp;!</p>")]
        for path, page in cases:
            with self.subTest(path=path):
                self.assertEqual(self.page(path), page)

    def test_fields_and_upload(self):
        page = self.page("fields", "--form-string", "topping=ham", "--form-string", "topping=<egg>",
                         "-F", "file=@%s;filename=notes.txt;type=text/plain" % __file__)
        self.assertEqual(page, "<ul><li>ham</li><li>&lt;egg&gt;</li></ul>"
                               "<p>notes.txt (text/plain) arrived.</p>")
        self.assertEqual(os.listdir(os.path.join(self.server.cgi_bin, "uploads")), [])

    def test_visits_cookie_and_redirect(self):
        jar = os.path.join(self.server.root, "visits.jar")
        for visit in (1, 2, 3):
            page = self.page("visits", "-b", jar, "-c", jar)
            self.assertIn("<p>Visit %d. " % visit, page)
        status, headers, _ = self.hit("visits/reset", "-b", jar, "-c", jar)
        self.assertEqual(status, 303, headers + self.server.error_log())
        self.assertRegex(headers, r"(?im)^Location: /cgi-bin/visits$")
        self.assertRegex(headers, r"(?im)^Set-Cookie: visits=; .*Max-Age=0")
        # Following the redirect: the count starts again.
        _, headers, body = self.hit("visits/reset", "-L", "-b", jar, "-c", jar)
        self.assertIn("HTTP/1.1 200 OK", headers)
        self.assertIn(b"<p>Visit 1. ", body)
        status, headers, body = self.hit("visits/elsewhere")
        self.assertEqual(status, 404, headers)
        self.assertEqual(body, b"<p>No page /elsewhere here.</p>")

    def test_errors_go_to_the_log(self):
        self.assertEqual(self.page("errors?fail=no"), "<p>All well.</p>")
        status, headers, body = self.hit("errors?fail=yes")
        self.assertEqual(status, 500, headers)
        self.assertEqual(body, b"<p>Sorry, that went wrong.</p>")
        with open(os.path.join(self.server.cgi_bin, "Log", "errors.Log"), encoding="latin-1", newline="") as f:
            log = f.read()
        self.assertRegex(log, r" : Asked for fail=no\r\n")
        self.assertRegex(log, r" : Failed: asked to fail\r\n")

    def test_session_keeps_a_note(self):
        jar = os.path.join(self.server.root, "session.jar")
        self.assertEqual(self.page("session?note=first", "-b", jar, "-c", jar),
                         "<p>Your note was: </p>")
        self.assertEqual(self.page("session?note=%3Csecond%3E", "-b", jar, "-c", jar),
                         "<p>Your note was: first</p>")
        self.assertEqual(self.page("session", "-b", jar, "-c", jar),
                         "<p>Your note was: &lt;second&gt;</p>")
        # Another visitor has a session of its own.
        self.assertEqual(self.page("session"), "<p>Your note was: </p>")
        with open(jar) as f:
            self.assertRegex(f.read(), r"#HttpOnly_127\.0\.0\.1\t.*\tsid\t[0-9a-f]{32}")


class GuideThroughApache(GuideThroughLighttpd):
    SERVER = "apache"


class GuideNginx(Nginx):
    """nginx with the location block of examples/guide/deploy/nginx.conf: fcgiwrap
    runs the programs of this server's cgi-bin."""

    def location(self, sock):
        with open(os.path.join(SOURCE, "examples/guide/deploy/nginx.conf")) as f:
            block = f.read()
        return block.replace("/usr/lib", self.root).replace("unix:/run/fcgiwrap.socket",
                                                             "unix:" + sock)


class GuideThroughNginx(GuideThroughLighttpd):
    """nginx with fcgiwrap starting each program as a CGI program."""
    SERVER = "nginx"

    @classmethod
    def make_server(cls):
        web_server(cls.SERVER)  # skips where nginx cannot run the programs
        return GuideNginx()


class GuideNginxFastCgi(NginxTcp):
    """nginx with the location block of examples/guide/deploy/nginx-fastcgi.conf,
    pointed at the program's free loopback port."""

    name = "guide-nginx"

    def server_command(self):
        with open(os.path.join(SOURCE, "examples/guide/deploy/nginx-fastcgi.conf")) as f:
            block = f.read().replace("127.0.0.1:9000", self.address())
        conf = NGINX_HTTP.format(root=self.root, port=self.port, servers="server %s;" % self.address())
        conf = conf.replace("    location /app {", block + "    location /app {", 1)
        return ["nginx", "-c", self.write("nginx.conf", conf), "-p", self.root]


@programs.posix_only("the guide's nginx set-up serves the Linux program")
class GuideThroughNginxFastCgi(unittest.TestCase):
    def test_visits_cookie_status_and_redirect(self):
        with GuideNginxFastCgi("visits") as site:
            jar = os.path.join(site.root, "visits.jar")
            for visit in (1, 2):
                status, headers, body = curl(site.url("/visits"), "-b", jar, "-c", jar)
                self.assertEqual(status, 200, headers + site.error_log())
                self.assertIn(b"<p>Visit %d. " % visit, body)
            status, headers, _ = curl(site.url("/visits/reset"), "-b", jar, "-c", jar)
            self.assertEqual(status, 303, headers + site.error_log())
            self.assertRegex(headers, r"(?im)^Location: /visits$")
            self.assertRegex(headers, r"(?im)^Set-Cookie: visits=; .*Max-Age=0")
            status, _, body = curl(site.url("/visits"), "-b", jar, "-c", jar)
            self.assertIn(b"<p>Visit 1. ", body)
            status, headers, body = curl(site.url("/visits/elsewhere"))
            self.assertEqual(status, 404, headers)
            self.assertEqual(body, b"<p>No page /elsewhere here.</p>")


if __name__ == "__main__":
    unittest.main()
