"""The library as other projects use it: the installed package and the Debian
packages, each building examples/hello out of the tree (through the CMake
package and through pkg-config) and serving it as a CGI behind lighttpd; and
the Debian packages as an administrator gets them: lintian, hardening, and
(as root) apt-get install, pithorama served by lighttpd as www-data, purge.

PITHORAMA_PACKAGE_BUILD names a configured and built release tree that holds
the Debian packages (scripts/package makes one)."""

import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "../.."))
sys.path.insert(0, os.path.join(SOURCE, "tests/e2e"))
from servers import Lighttpd, SmtpSink, curl  # noqa: E402

BUILD = os.path.abspath(os.environ.get("PITHORAMA_PACKAGE_BUILD", os.path.join(SOURCE, "build-package")))
HELLO = os.path.join(SOURCE, "examples/hello")
LIBRARIES = ("platform", "engine", "gateways", "mail", "store")
PACKAGES = tuple("libpithorama-%s0" % lib for lib in LIBRARIES) + ("libpithorama-dev", "pithorama",
                                                                    "pithorama-doc")
MULTIARCH = subprocess.run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], capture_output=True,
                           text=True).stdout.strip()


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kwargs)


def build_with_cmake(prefix, folder):
    """Builds hello with find_package(pithorama) against `prefix` only."""
    run("cmake", "-S", HELLO, "-B", folder, "-DCMAKE_PREFIX_PATH=" + prefix,
        "-DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF", "-DCMAKE_BUILD_TYPE=Release")
    run("cmake", "--build", folder)
    return os.path.join(folder, "hello")


def build_with_pkg_config(libdir, folder):
    """Builds hello with the compiler alone, flags from pithorama.pc in `libdir`;
    a library folder outside the loader's path goes into the run path."""
    env = dict(os.environ, PKG_CONFIG_LIBDIR=os.path.join(libdir, "pkgconfig"))
    flags = run("pkg-config", "--cflags", "--libs", "pithorama", env=env).stdout.split()
    program = os.path.join(folder, "hello")
    os.makedirs(folder)
    run("g++", "-std=c++20", "-o", program, os.path.join(HELLO, "main.cpp"), *flags, "-Wl,-rpath," + libdir)
    return program


def cache_value(name):
    with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    return None


def debs():
    """{package name: .deb path} of the packages in BUILD."""
    found = {}
    for deb in glob.glob(os.path.join(BUILD, "*.deb")):
        found[run("dpkg-deb", "-f", deb, "Package").stdout.strip()] = deb
    return found


class PackageTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="pithorama-package-")
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)

    def path(self, *parts):
        return os.path.join(self.scratch, *parts)

    def assertServesHello(self, program):
        with Lighttpd() as server:
            server.install(program)
            for query, answer in (("?name=Ada", b"<p>Hello, Ada</p>"), ("", b"<p>Hello, stranger</p>")):
                status, headers, body = curl(server.url("/cgi-bin/hello" + query))
                self.assertEqual(status, 200, headers + server.error_log())
                self.assertIn("content-type: text/html", headers.lower())
                self.assertEqual(body, answer)


class ReadmeTest(unittest.TestCase):
    def test_readme_shows_hello_as_it_is(self):
        with open(os.path.join(SOURCE, "README.md")) as f:
            readme = f.read()
        for name, language in (("main.cpp", "cpp"), ("CMakeLists.txt", "cmake")):
            with open(os.path.join(HELLO, name)) as f:
                self.assertIn("```%s\n%s```" % (language, f.read()), readme, name)


class InstalledPackage(PackageTest):
    def setUp(self):
        super().setUp()
        run("cmake", "--install", BUILD, "--prefix", self.path("prefix"))
        self.libdir = self.path("prefix", cache_value("CMAKE_INSTALL_LIBDIR"))

    def test_hello_through_find_package(self):
        self.assertServesHello(build_with_cmake(self.path("prefix"), self.path("hello-cmake")))
        with open(self.path("hello-cmake", "CMakeCache.txt")) as cache:
            self.assertIn("pithorama_DIR:PATH=" + os.path.join(self.libdir, "cmake/pithorama"), cache.read())

    def test_hello_through_pkg_config(self):
        self.assertServesHello(build_with_pkg_config(self.libdir, self.path("hello-pc")))


class DebianPackage(PackageTest):
    """The packages unpacked into one folder, as they would lie on a system."""

    def setUp(self):
        super().setUp()
        self.debs = debs()
        self.assertEqual(sorted(self.debs), sorted(PACKAGES), "the packages in " + BUILD)
        self.root = self.path("root")
        for deb in self.debs.values():
            run("dpkg-deb", "-x", deb, self.root)
        self.usr = os.path.join(self.root, "usr")
        self.libdir = os.path.join(self.usr, "lib", MULTIARCH)

    def field(self, package, name):
        return run("dpkg-deb", "-f", self.debs[package], name).stdout.strip()

    def contents(self, package):
        listing = run("dpkg-deb", "-c", self.debs[package]).stdout.splitlines()
        return [line.split()[5].lstrip(".") for line in listing]

    def test_metadata(self):
        architecture = run("dpkg", "--print-architecture").stdout.strip()
        for package in PACKAGES:
            with self.subTest(package):
                self.assertRegex(self.field(package, "Version"), r"^\d+\.\d+")
                expected = "all" if package.endswith("-doc") else architecture
                self.assertEqual(self.field(package, "Architecture"), expected)
                self.assertIn("<", self.field(package, "Maintainer"))
                self.assertTrue(self.field(package, "Description"))
        for lib in LIBRARIES:
            package = "libpithorama-%s0" % lib
            self.assertEqual(self.field(package, "Section"), "libs")
            self.assertEqual(self.field(package, "Multi-Arch"), "same")
            self.assertIn("libc6", self.field(package, "Depends"))
            self.assertIn(package + " (= ", self.field("libpithorama-dev", "Depends"))
        # The program uses the shared libraries of the library packages.
        self.assertIn("libpithorama-gateways0", self.field("pithorama", "Depends"))
        control = run("dpkg-deb", "-I", self.debs["pithorama"]).stdout
        self.assertIn("postinst", control)
        self.assertIn("postrm", control)
        run("dpkg-deb", "-e", self.debs["pithorama"], self.path("control"))
        with open(self.path("control", "conffiles")) as conffiles:
            self.assertIn("/etc/pithorama/pithorama.conf", conffiles.read().split())

    def test_one_soname_per_library(self):
        for lib in LIBRARIES:
            with self.subTest(lib):
                files = self.contents("libpithorama-%s0" % lib)
                real = [f for f in files if f.endswith(".so.%s" % cache_value("CMAKE_PROJECT_VERSION"))]
                self.assertEqual(real, ["/usr/lib/%s/libpithorama-%s.so.0.1" % (MULTIARCH, lib)])
                dynamic = run("readelf", "-d", self.root + real[0]).stdout
                self.assertIn("Library soname: [libpithorama-%s.so.0]" % lib, dynamic)

    def test_files(self):
        lib = "lib/" + MULTIARCH
        for name in ("include/pithorama/engine/GenEng.h", "include/pithorama/gateways/cgi/CgiSEng.h",
                     "include/pithorama/platform/Module.h", "include/pithorama/mail/HSmtp.h",
                     "include/pithorama/store/QuoteDb.h",
                     lib + "/cmake/pithorama/pithoramaConfig.cmake",
                     lib + "/cmake/pithorama/pithoramaConfigVersion.cmake",
                     lib + "/cmake/pithorama/pithoramaTargets.cmake", lib + "/pkgconfig/pithorama.pc",
                     "lib/cgi-bin/pithorama/thankyou.html", "share/pithorama/QUOTES.DTA",
                     "share/doc/pithorama/examples/hello/main.cpp"):
            self.assertTrue(os.path.isfile(os.path.join(self.usr, name)), name)
        # The -doc package fills the program's documentation folder; longer
        # documents are compressed.
        for name in ("README.md", "PACKAGING.md", "ARCHITECTURE.md"):
            doc = os.path.join(self.usr, "share/doc/pithorama", name)
            self.assertTrue(os.path.isfile(doc) or os.path.isfile(doc + ".gz"), name)
        for layer in LIBRARIES:
            for name in ("libpithorama-%s.a" % layer, "libpithorama-%s.so" % layer):
                self.assertTrue(os.path.exists(os.path.join(self.usr, lib, name)), name)
        for name in ("bin/mkquotes", "bin/quote", "bin/isapi-host", "bin/nsapi-host",
                     "lib/cgi-bin/pithorama/pithorama"):
            self.assertTrue(os.access(os.path.join(self.usr, name), os.X_OK), name)
        for page in ("man1/mkquotes.1.gz", "man1/quote.1.gz", "man1/isapi-host.1.gz", "man1/nsapi-host.1.gz",
                     "man8/pithorama.8.gz"):
            self.assertTrue(os.path.isfile(os.path.join(self.usr, "share/man", page)), page)
        for package in PACKAGES:
            doc = os.path.join(self.usr, "share/doc", package)
            self.assertTrue(os.path.isfile(os.path.join(doc, "copyright")), package)
            self.assertTrue(os.path.isfile(os.path.join(doc, "changelog.gz")), package)
        with open(os.path.join(self.usr, "share/doc/pithorama/copyright")) as f:
            self.assertTrue(f.readline().startswith("Format: https://www.debian.org/doc/packaging-manuals/"))
        self.assertFalse(os.path.exists(os.path.join(self.usr, "include/pithorama/platform/posix")))
        cgi = os.path.join(self.usr, "lib/cgi-bin/pithorama")
        self.assertEqual(os.readlink(os.path.join(cgi, "Log")), "/var/log/pithorama")
        self.assertEqual(os.readlink(os.path.join(cgi, "Temp")), "/var/lib/pithorama/Temp")

    def test_lintian_finds_no_error_and_no_warning(self):
        result = subprocess.run(["lintian", "--tag-display-limit", "0", *self.debs.values()],
                                capture_output=True, text=True)
        tags = [line for line in result.stdout.splitlines() if line[:2] in ("E:", "W:")]
        self.assertEqual(tags, [], result.stdout + result.stderr)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_hardening(self):
        """Every program and library: full RELRO with BIND_NOW; stack protector
        and fortified functions as dpkg-buildflags asked for."""
        elves = [os.path.join(self.usr, name) for name in
                 ("bin/mkquotes", "bin/quote", "bin/isapi-host", "bin/nsapi-host",
                  "lib/cgi-bin/pithorama/pithorama")]
        elves += glob.glob(os.path.join(self.libdir, "libpithorama-*.so.0.*"))
        symbols = ""
        for elf in elves:
            with self.subTest(os.path.basename(elf)):
                headers = run("readelf", "-lW", elf).stdout
                dynamic = run("readelf", "-dW", elf).stdout
                self.assertIn("GNU_RELRO", headers)
                self.assertRegex(dynamic, r"\(FLAGS\)\s+.*BIND_NOW|\(FLAGS_1\)\s+.*NOW")
                symbols += run("readelf", "--dyn-syms", "-W", elf).stdout
        self.assertIn("__stack_chk_fail", symbols)
        self.assertRegex(symbols, r"__\w+_chk@")

    def test_quote_tool_reads_the_shipped_quotes(self):
        folder = self.path("quotes")
        shutil.copytree(os.path.join(self.usr, "share/pithorama"), folder)
        env = dict(os.environ, LD_LIBRARY_PATH=self.libdir)
        saying = run(os.path.join(self.usr, "bin/quote"), folder, env=env).stdout
        self.assertTrue(saying.strip())

    def test_hello_against_the_unpacked_package(self):
        self.assertServesHello(build_with_cmake(self.usr, self.path("hello-cmake")))
        self.assertServesHello(build_with_pkg_config(self.libdir, self.path("hello-pc")))

    def test_find_package_components(self):
        """A component the package has is found; one it lacks is named."""
        cases = (("gateways mail", None), ("gateways nosuch mail", 'no component "nosuch";'),
                 ("nosuch other", 'no components "nosuch", "other";'))
        for components, missing in cases:
            with self.subTest(components):
                folder = self.path("components-" + components.replace(" ", "-"))
                os.makedirs(folder)
                with open(os.path.join(folder, "CMakeLists.txt"), "w") as f:
                    f.write("cmake_minimum_required(VERSION 3.25)\nproject(user LANGUAGES CXX)\n"
                            "find_package(pithorama CONFIG REQUIRED COMPONENTS %s)\n" % components)
                result = subprocess.run(["cmake", "-S", folder, "-B", os.path.join(folder, "build"),
                                         "-DCMAKE_PREFIX_PATH=" + self.usr, "-DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF"],
                                        capture_output=True, text=True)
                output = result.stdout + result.stderr
                if missing is None:
                    self.assertEqual(result.returncode, 0, output)
                else:
                    self.assertNotEqual(result.returncode, 0, output)
                    self.assertIn(missing, " ".join(output.split()))


class LighttpdAsWwwData(Lighttpd):
    """lighttpd started as root, serving /usr/lib/cgi-bin/ as www-data."""

    def start(self):
        conf = self.write("lighttpd.conf", f"""
server.modules = ("mod_alias", "mod_cgi")
server.bind = "127.0.0.1"
server.port = {self.port}
server.username = "www-data"
server.groupname = "www-data"
server.document-root = "{self.htdocs}"
server.errorlog = "{self.root}/error.log"
alias.url = ("/cgi-bin/" => "/usr/lib/cgi-bin/")
$HTTP["url"] =~ "^/cgi-bin/" {{ cgi.assign = ("" => "") }}
""")
        self.spawn(["lighttpd", "-D", "-f", conf], self.port)


def as_www_data(*args):
    return subprocess.run(["setpriv", "--reuid=www-data", "--regid=www-data", "--clear-groups", *args],
                          capture_output=True, text=True)


def tree(folder):
    """{path: (owner, mode, mtime)} of everything under `folder`, links not followed."""
    found = {}
    for base, dirs, files in os.walk(folder):
        for name in [""] + dirs + files:
            path = os.path.join(base, name)
            st = os.lstat(path)
            found[path] = (st.st_uid, oct(st.st_mode), st.st_mtime_ns)
    return found


CGI = "/usr/lib/cgi-bin/pithorama"
SETTINGS = "/etc/pithorama/pithorama.conf"
LEFT_BEHIND = (CGI, "/var/lib/pithorama", "/var/log/pithorama", "/etc/pithorama", "/usr/share/pithorama",
               "/usr/share/doc/pithorama", "/usr/bin/quote")


@unittest.skipUnless(os.geteuid() == 0 and os.environ.get("PITHORAMA_TEST_APT_INSTALL", "1") == "1",
                     "installs into this machine: run as root (PITHORAMA_TEST_APT_INSTALL=0 leaves it out)")
class AptInstall(unittest.TestCase):
    """apt-get install of every package, pithorama served by lighttpd as
    www-data, and purge."""

    def setUp(self):
        installed = subprocess.run(["dpkg-query", "-W", "-f=${Status}\n", *PACKAGES], capture_output=True,
                                   text=True)
        if "installed" in installed.stdout:
            self.skipTest("a pithorama package is installed already")
        self.env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        self.addCleanup(subprocess.run, ["apt-get", "purge", "-y", "-q", *PACKAGES], env=self.env,
                        capture_output=True)
        run("apt-get", "install", "-y", "-q", "--no-install-recommends", *debs().values(), env=self.env)

    def assertOwned(self, path, user, group, mode):
        st = os.lstat(path)
        import grp
        import pwd
        self.assertEqual((pwd.getpwuid(st.st_uid).pw_name, grp.getgrgid(st.st_gid).gr_name, oct(st.st_mode & 0o7777)),
                         (user, group, oct(mode)), path)

    def hit(self, server):
        status, headers, body = curl(server.url("/cgi-bin/pithorama/pithorama"))
        self.assertEqual(status, 200, headers + server.error_log())
        self.assertIn(b"<", body)
        return body

    def write_settings(self, text):
        with open(SETTINGS, "w") as f:
            f.write(text)

    def error_log(self):
        path = "/var/log/pithorama/pithorama.Log"
        if not os.path.exists(path):
            return ""
        with open(path, encoding="latin-1") as log:
            return log.read()

    def test_install_serve_purge(self):
        self.assertOwned(CGI, "root", "root", 0o755)
        self.assertOwned(os.path.join(CGI, "pithorama"), "root", "root", 0o755)
        self.assertOwned(os.path.join(CGI, "thankyou.html"), "root", "root", 0o644)
        self.assertOwned("/var/lib/pithorama", "www-data", "www-data", 0o755)
        self.assertOwned("/var/lib/pithorama/Temp", "www-data", "www-data", 0o700)
        self.assertOwned("/var/log/pithorama", "www-data", "adm", 0o2750)
        self.assertOwned(SETTINGS, "root", "root", 0o644)
        self.assertIn(SETTINGS, run("dpkg-query", "-W", "-f=${Conffiles}", "pithorama").stdout)
        # The web server's user cannot replace what it runs.
        for args in (("mv", os.path.join(CGI, "pithorama"), os.path.join(CGI, "moved")),
                     ("touch", os.path.join(CGI, "thankyou.html")), ("touch", os.path.join(CGI, "new"))):
            self.assertNotEqual(as_www_data(*args).returncode, 0, args)
        self.assertTrue(as_www_data("/usr/bin/quote", "/var/lib/pithorama").stdout.strip())
        before = tree(CGI)

        with SmtpSink() as sink, LighttpdAsWwwData() as server:
            self.write_settings("# the test's relay\nrelay = 127.0.0.1\nport = %d\n"
                                "sender = Package Test <test@example.org>\nrecipient = admin@example.org\n"
                                "subject = From the settings file\n" % sink.port)
            self.hit(server)
            self.assertEqual(len(sink.messages()), 1, self.error_log())
            envelope, content = sink.messages()[0]
            self.assertEqual(envelope["rcpt_tos"], ["admin@example.org"])
            self.assertIn(b"Subject: From the settings file", content)
            self.assertIn(b"From: Package Test <test@example.org>", content)
            self.assertOwned("/var/lib/pithorama/QUOTENDX.DTA", "www-data", "www-data", 0o644)
            with open("/var/log/pithorama/quote.log") as log:
                self.assertIn("127.0.0.1 | ", log.read())
            self.assertNotIn("Settings", self.error_log())

            # A bad file and a missing file: built-in settings, one line each.
            self.write_settings("relay = 127.0.0.1\nrelai = mail.example.org\n")
            self.hit(server)
            self.assertIn('Settings : %s line 2: unknown setting "relai"; the built-in mail settings are used'
                          % SETTINGS, self.error_log())
            os.remove(SETTINGS)
            self.hit(server)
            self.assertIn("Settings : cannot read %s: " % SETTINGS, self.error_log())
            self.assertEqual(len(sink.messages()), 1)
        # Nothing was written under /usr.
        self.assertEqual(tree(CGI), before)

        purge = run("apt-get", "purge", "-y", "-q", *PACKAGES, env=self.env)
        self.assertNotIn("not empty", purge.stdout + purge.stderr)
        for path in LEFT_BEHIND:
            self.assertFalse(os.path.lexists(path), path)


if __name__ == "__main__":
    unittest.main()
