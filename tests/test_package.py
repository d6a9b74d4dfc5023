"""The Debian package and the installation built from the build tree of the binary under test:
what they hold, what the package depends on, and that the packaged program runs."""

import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import harness

ROOT = os.path.dirname(harness.HERE)
BUILD = os.path.dirname(os.path.abspath(harness.CORVANE))
CPACKCONFIG = os.path.join(BUILD, "CPackConfig.cmake")

# Every file an installation holds, under the prefix, with its mode.
INSTALLED = {
    "bin/corvane": 0o755,
    "share/man/man1/corvane.1.gz": 0o644,
    "share/bash-completion/completions/corvane": 0o644,
}


def run(*command, **kw):
    p = subprocess.run(command, capture_output=True, text=True, timeout=300, **kw)
    if p.returncode != 0:
        raise AssertionError(f"{command} failed ({p.returncode}):\n{p.stdout}\n{p.stderr}")
    return p.stdout


def readtext(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def regularfiles(top):
    found = {}
    for dirpath, _, names in os.walk(top):
        for name in names:
            path = os.path.join(dirpath, name)
            found[os.path.relpath(path, top)] = os.lstat(path).st_mode & 0o7777
    return found


def neededlibraries(binary):
    """The shared libraries the binary names (DT_NEEDED)."""
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", run("readelf", "-d", binary))


def owningpackage(soname):
    """The installed package that ships a library of that name, as dpkg knows it."""
    for line in run("dpkg", "-S", soname).splitlines():
        package, path = line.split(": ", 1)
        if os.path.basename(path) == soname:
            return package.split(":")[0]
    raise AssertionError(f"no package ships {soname}")


def checkinstalled(test, top):
    test.assertEqual(regularfiles(top), INSTALLED)
    with gzip.open(os.path.join(top, "share/man/man1/corvane.1.gz"), "rt", encoding="utf-8") as f:
        test.assertEqual(f.read(), readtext(os.path.join(ROOT, "packaging", "corvane.1")))
    test.assertEqual(readtext(os.path.join(top, "share/bash-completion/completions/corvane")),
                     readtext(os.path.join(ROOT, "packaging", "corvane.bash-completion")))
    # The installed program is the one that was built: it runs and keeps its exit statuses.
    binary = os.path.join(top, "bin", "corvane")
    helped = subprocess.run([binary, "--help"], capture_output=True, text=True)
    test.assertEqual((helped.returncode, helped.stderr), (0, ""))
    test.assertTrue(helped.stdout.startswith("usage: corvane "), helped.stdout)
    bare = subprocess.run([binary], capture_output=True, text=True)
    test.assertEqual((bare.returncode, bare.stdout), (2, ""))


@unittest.skipUnless(os.path.exists(os.path.join(BUILD, "CMakeCache.txt")),
                     f"{harness.CORVANE} does not stand in a CMake build tree")
class Install(unittest.TestCase):
    def test_install_puts_every_file_under_the_prefix(self):
        with tempfile.TemporaryDirectory() as prefix:
            run("cmake", "--install", BUILD, "--prefix", prefix)
            checkinstalled(self, prefix)


@unittest.skipUnless(os.path.exists(os.path.join(BUILD, "CMakeCache.txt")),
                     f"{harness.CORVANE} does not stand in a CMake build tree")
@unittest.skipUnless(shutil.which("cpack") and shutil.which("dpkg-deb"),
                     "cpack or dpkg-deb is missing: no Debian package to check")
class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp()
        # A package directory of its own, so that the build tree is left as it was.
        run("cpack", "-G", "DEB", "--config", CPACKCONFIG, "-B", cls.work)
        debs = [n for n in os.listdir(cls.work) if n.endswith(".deb")]
        assert len(debs) == 1, debs
        cls.deb = os.path.join(cls.work, debs[0])
        cls.fields = {}
        for name in ("Package", "Version", "Architecture", "Maintainer", "Section", "Depends",
                     "Description"):
            cls.fields[name] = run("dpkg-deb", "-f", cls.deb, name).strip()
        cls.root = os.path.join(cls.work, "root")
        run("dpkg-deb", "-x", cls.deb, cls.root)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def test_control_fields(self):
        version = re.search(r'set\(CPACK_PACKAGE_VERSION "([^"]+)"\)', readtext(CPACKCONFIG))
        expected = {
            "Package": "corvane",
            "Version": version.group(1),
            "Architecture": run("dpkg", "--print-architecture").strip(),
            "Maintainer": "corvane developers <corvane@localhost>",
            "Section": "utils",
        }
        for name, value in expected.items():
            with self.subTest(field=name):
                self.assertEqual(self.fields[name], value)
        self.assertIn("monitoring agent", self.fields["Description"])
        self.assertEqual(os.path.basename(self.deb),
                         f"corvane_{expected['Version']}_{expected['Architecture']}.deb")

    def test_files_under_usr(self):
        self.assertEqual(sorted(os.listdir(self.root)), ["usr"])
        checkinstalled(self, os.path.join(self.root, "usr"))

    @unittest.skipUnless(shutil.which("readelf"), "readelf is missing")
    def test_depends_covers_every_library_the_binary_loads(self):
        depends = {d.split()[0]: d for d in re.split(r",\s*", self.fields["Depends"]) if d}
        for soname in neededlibraries(os.path.join(self.root, "usr/bin/corvane")):
            with self.subTest(library=soname):
                package = owningpackage(soname)
                self.assertIn(package, depends)
                # Computed from the symbols the binary uses, so it carries a lower bound.
                self.assertRegex(depends[package], r"\(>= [^)]+\)")
        # libstdc++ is linked in: a DNS host needs no C++ runtime package for it.
        if "libstdc++.so.6" not in neededlibraries(harness.CORVANE):
            self.assertNotIn("libstdc++6", depends)


if __name__ == "__main__":
    unittest.main()
