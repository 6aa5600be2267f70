"""The echo example answers real hits through real web servers."""

import os
import unittest
import urllib.parse

import programs
from servers import curl, web_server

ECHO = programs.program("echo")


class EchoThroughServer:
    server_name = None

    @classmethod
    def setUpClass(cls):
        cls.server = web_server(cls.server_name)
        cls.server.install(ECHO)
        log = os.path.join(cls.server.cgi_bin, "Log")
        os.mkdir(log)
        os.chmod(log, 0o777)
        cls.server.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)

    def hit(self, query="", *curl_args):
        url = self.server.url("/cgi-bin/echo" + ("?" + query if query else ""))
        return curl(url, *curl_args)

    def test_get_with_query_string(self):
        status, headers, body = self.hit("a=1&b=x%26y&a=2")
        self.assertEqual(status, 200, headers + self.server.error_log())
        self.assertIn("content-type: text/html", headers.lower())
        page = body.decode("latin-1")
        self.assertIn("<tr><th>REQUEST METHOD</th><td>GET</td></tr>", page)
        self.assertIn("<tr><th>a</th><td>1\r\n2</td></tr>", page)
        self.assertIn("<tr><th>b</th><td>x&amp;y</td></tr>", page)
        self.assertIn("<tr><th>REMOTE ADDR</th><td>127.0.0.1</td></tr>", page)

    def test_query_piece_without_value(self):
        status, headers, body = self.hit("flag&page=2")
        self.assertEqual(status, 200, headers + self.server.error_log())
        page = body.decode("latin-1")
        self.assertIn("<tr><th>flag</th><td></td></tr>", page)
        self.assertIn("<tr><th>page</th><td>2</td></tr>", page)

    def test_post_url_encoded(self):
        form = urllib.parse.urlencode({"name": "Ada <Lovelace>", "eq": "a=b&c"})
        status, _, body = self.hit("q=ignored", "--data", form)
        self.assertEqual(status, 200)
        page = body.decode("latin-1")
        self.assertIn("<tr><th>name</th><td>Ada &lt;Lovelace&gt;</td></tr>", page)
        self.assertIn("<tr><th>eq</th><td>a=b&amp;c</td></tr>", page)
        self.assertNotIn("<th>q</th>", page)

    def test_body_over_read_limit(self):
        status, _, body = self.hit("", "--data", "big=" + "x" * 10000)
        self.assertEqual(status, 200)
        page = body.decode("latin-1")
        self.assertIn("<tr><th>CONTENT LENGTH</th><td>10004</td></tr>", page)
        self.assertNotIn("<th>big</th>", page)
        with open(os.path.join(self.server.cgi_bin, "Log", "echo.Log")) as log:
            self.assertIn(" : Content length exceeds AutoReadLimit", log.read())


class EchoLighttpd(EchoThroughServer, unittest.TestCase):
    server_name = "lighttpd"


class EchoApache(EchoThroughServer, unittest.TestCase):
    server_name = "apache"

    def test_server_software_has_no_status_line_rule(self):
        _, _, body = self.hit()
        self.assertIn("Apache/", body.decode())


class EchoNginx(EchoThroughServer, unittest.TestCase):
    server_name = "nginx"


if __name__ == "__main__":
    unittest.main()
