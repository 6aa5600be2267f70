"""The library as other projects use it: the installed package and the Debian
package, each building examples/hello out of the tree (through the CMake
package and through pkg-config) and serving it as a CGI behind lighttpd.

PITHORAMA_PACKAGE_BUILD names a configured and built release tree that holds
the Debian package (scripts/package makes one)."""

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
from servers import Lighttpd, curl  # noqa: E402

BUILD = os.path.abspath(os.environ.get("PITHORAMA_PACKAGE_BUILD", os.path.join(SOURCE, "build-package")))
HELLO = os.path.join(SOURCE, "examples/hello")


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kwargs)


def build_with_cmake(prefix, folder):
    """Builds hello with find_package(pithorama) against `prefix` only."""
    run("cmake", "-S", HELLO, "-B", folder, "-DCMAKE_PREFIX_PATH=" + prefix,
        "-DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF", "-DCMAKE_BUILD_TYPE=Release")
    run("cmake", "--build", folder)
    return os.path.join(folder, "hello")


def build_with_pkg_config(libdir, folder):
    """Builds hello with the compiler alone, flags from pithorama.pc in `libdir`."""
    env = dict(os.environ, PKG_CONFIG_LIBDIR=os.path.join(libdir, "pkgconfig"))
    flags = run("pkg-config", "--cflags", "--libs", "pithorama", env=env).stdout.split()
    program = os.path.join(folder, "hello")
    os.makedirs(folder)
    run("g++", "-std=c++20", "-o", program, os.path.join(HELLO, "main.cpp"), *flags)
    return program


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

    def test_hello_through_find_package(self):
        self.assertServesHello(build_with_cmake(self.path("prefix"), self.path("hello-cmake")))
        with open(self.path("hello-cmake", "CMakeCache.txt")) as cache:
            self.assertIn("pithorama_DIR:PATH=" + self.path("prefix", "lib/cmake/pithorama"), cache.read())

    def test_hello_through_pkg_config(self):
        self.assertServesHello(build_with_pkg_config(self.path("prefix", "lib"), self.path("hello-pc")))


class DebianPackage(PackageTest):
    def setUp(self):
        super().setUp()
        found = glob.glob(os.path.join(BUILD, "pithorama_*.deb"))
        self.assertEqual(len(found), 1, "one package in " + BUILD)
        self.deb = found[0]
        self.root = self.path("root")
        run("dpkg-deb", "-x", self.deb, self.root)

    def field(self, name):
        return run("dpkg-deb", "-f", self.deb, name).stdout.strip()

    def test_metadata(self):
        self.assertEqual(self.field("Package"), "pithorama")
        self.assertRegex(self.field("Version"), r"^\d+\.\d+")
        self.assertEqual(self.field("Architecture"), run("dpkg", "--print-architecture").stdout.strip())
        self.assertIn("<", self.field("Maintainer"))
        self.assertIn("libc6", self.field("Depends"))
        self.assertNotIn("libstdc++", self.field("Depends"))
        self.assertTrue(self.field("Description"))
        control = run("dpkg-deb", "-I", self.deb).stdout
        self.assertIn("postinst", control)

    def test_files(self):
        usr = os.path.join(self.root, "usr")
        for name in ("include/pithorama/engine/GenEng.h", "include/pithorama/gateways/cgi/CgiSEng.h",
                     "include/pithorama/platform/Module.h", "include/pithorama/mail/HSmtp.h",
                     "include/pithorama/store/QuoteDb.h",
                     "lib/libpithorama-platform.a", "lib/libpithorama-engine.a",
                     "lib/libpithorama-gateways.a", "lib/libpithorama-mail.a", "lib/libpithorama-store.a",
                     "lib/cmake/pithorama/pithoramaConfig.cmake",
                     "lib/cmake/pithorama/pithoramaConfigVersion.cmake",
                     "lib/cmake/pithorama/pithoramaTargets.cmake", "lib/pkgconfig/pithorama.pc",
                     "lib/cgi-bin/pithorama/thankyou.html", "lib/cgi-bin/pithorama/QUOTES.DTA"):
            self.assertTrue(os.path.isfile(os.path.join(usr, name)), name)
        for name in ("bin/mkquotes", "bin/quote", "lib/cgi-bin/pithorama/pithorama"):
            self.assertTrue(os.access(os.path.join(usr, name), os.X_OK), name)
        self.assertFalse(os.path.exists(os.path.join(usr, "include/pithorama/platform/posix")))

    def test_quote_tool_reads_the_shipped_quotes(self):
        folder = self.path("quotes")
        shutil.copytree(os.path.join(self.root, "usr/lib/cgi-bin/pithorama"), folder)
        saying = run(os.path.join(self.root, "usr/bin/quote"), folder).stdout
        self.assertTrue(saying.strip())

    @unittest.skipUnless(os.environ.get("PITHORAMA_TEST_APT_INSTALL") == "1" and os.geteuid() == 0,
                         "installs into this machine: set PITHORAMA_TEST_APT_INSTALL=1 and run as root")
    def test_apt_get_install_and_purge(self):
        installed = subprocess.run(["dpkg-query", "-W", "-f=${Status}", "pithorama"], capture_output=True, text=True)
        if "installed" in installed.stdout:
            self.skipTest("a pithorama package is installed already")
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        self.addCleanup(subprocess.run, ["apt-get", "purge", "-y", "-q", "pithorama"], env=env, capture_output=True)
        run("apt-get", "install", "-y", "-q", "--no-install-recommends", self.deb, env=env)
        cgi = "/usr/lib/cgi-bin/pithorama"
        self.assertTrue(os.path.isdir(os.path.join(cgi, "Log")))
        self.assertEqual(run("stat", "-c", "%U", cgi, os.path.join(cgi, "Log")).stdout.split(), ["www-data"] * 2)
        self.assertTrue(run("/usr/bin/quote", cgi).stdout.strip())
        run("apt-get", "purge", "-y", "-q", "pithorama", env=env)
        self.assertFalse(os.path.exists(cgi))

    def test_hello_against_the_unpacked_package(self):
        usr = os.path.join(self.root, "usr")
        self.assertServesHello(build_with_cmake(usr, self.path("hello-cmake")))
        self.assertServesHello(build_with_pkg_config(os.path.join(usr, "lib"), self.path("hello-pc")))


if __name__ == "__main__":
    unittest.main()
