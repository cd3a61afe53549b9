#!/usr/bin/env python3
"""The Debian package as a user meets it: scripts/package.sh builds it from
the build under test, lintian judges it, and the binaries it installs (into a
throwaway root) answer --version and --help."""
import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_DIR = os.environ.get("MARLVANE_BUILD_DIR", "")
VERSION = os.environ.get("MARLVANE_VERSION", "")

EXPECTED_FILES = [
    "etc/marlvane/marlvane-miner.conf",
    "usr/bin/marlvane-cpu-miner",
    "usr/lib/systemd/system/marlvane-miner.service",
    "usr/share/doc/marlvane-miner/README.md",
    "usr/share/doc/marlvane-miner/changelog.gz",
    "usr/share/doc/marlvane-miner/copyright",
    "usr/share/man/man1/marlvane-cpu-miner.1.gz",
    "usr/share/man/man1/marlvane-gpu-miner.1.gz",
    "usr/share/man/man1/marlvane-miner.1.gz",
]


def run(*args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=600, **kwargs)


def readme_example_config():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        text = f.read()
    found = re.search(r"Example `marlvane-miner.conf`:\n\n```\n(.*?)```", text, re.S)
    return found.group(1) if found else None


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not BUILD_DIR or not shutil.which("cpack") or not shutil.which("dpkg-deb"):
            raise unittest.SkipTest("needs MARLVANE_BUILD_DIR, cpack and dpkg-deb "
                                    "(scripts/install-deps.sh installs dpkg-dev)")
        cls.dir = tempfile.mkdtemp()
        made = run(os.path.join(ROOT, "scripts", "package.sh"), "--no-build", cls.dir,
                   env=dict(os.environ, BUILD_DIR=BUILD_DIR))
        if made.returncode != 0:
            raise AssertionError("scripts/package.sh failed:\n" + made.stdout + made.stderr)
        cls.debs = made.stdout.split()
        cls.root = os.path.join(cls.dir, "root")
        if len(cls.debs) == 1:
            run("dpkg-deb", "-x", cls.debs[0], cls.root).check_returncode()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def field(self, name):
        return run("dpkg-deb", "-f", self.debs[0], name).stdout.strip()

    def test_one_package_named_for_its_version_with_every_file(self):
        self.assertEqual([os.path.basename(d) for d in self.debs],
                         ["marlvane-miner_%s_amd64.deb" % VERSION])
        listing = run("dpkg-deb", "-c", self.debs[0]).stdout
        files = sorted(re.sub(r"^\./", "", line.split()[-1]) for line in listing.splitlines()
                       if not line.startswith("d"))
        expected = EXPECTED_FILES + (["usr/bin/marlvane-gpu-miner"]
                                     if os.path.exists(os.path.join(BUILD_DIR, "marlvane-gpu-miner")) else [])
        self.assertEqual(files, sorted(expected))
        self.assertRegex(listing, r"-rwxr-xr-x root/root +\d+ \S+ \S+ \./usr/bin/marlvane-cpu-miner\n")
        self.assertEqual((self.field("Package"), self.field("Version"), self.field("Architecture")),
                         ("marlvane-miner", VERSION, "amd64"))
        depends = self.field("Depends")
        for library in ("adduser", "libcurl4", "libmicrohttpd12", "libzmq5", "libc6"):
            self.assertRegex(depends, r"(^|, )%s\b" % library)

    def test_the_configuration_is_a_conffile_and_the_service_user_is_created(self):
        control = os.path.join(self.dir, "control")
        run("dpkg-deb", "-e", self.debs[0], control).check_returncode()
        with open(os.path.join(control, "conffiles"), encoding="utf-8") as f:
            self.assertEqual(f.read(), "/etc/marlvane/marlvane-miner.conf\n")
        with open(os.path.join(control, "postinst"), encoding="utf-8") as f:
            postinst = f.read()
        self.assertEqual(os.stat(os.path.join(control, "postinst")).st_mode & 0o777, 0o755)
        self.assertEqual(run("sh", "-n", os.path.join(control, "postinst")).returncode, 0)
        self.assertIn("adduser --system --group", postinst)
        with open(os.path.join(self.root, "usr/lib/systemd/system/marlvane-miner.service")) as f:
            unit = f.read()
        self.assertIn("\nUser=marlvane\n", unit)
        self.assertIn("\nExecStart=/usr/bin/marlvane-gpu-miner -c /etc/marlvane/marlvane-miner.conf\n", unit)
        with open(os.path.join(self.root, "etc/marlvane/marlvane-miner.conf"), encoding="utf-8") as f:
            self.assertEqual(f.read(), readme_example_config(), "the README shows the installed example")

    def test_lintian_finds_no_error_and_no_warning(self):
        if not shutil.which("lintian"):
            self.skipTest("lintian is not installed (scripts/install-deps.sh installs it)")
        judged = run("lintian", "--no-tag-display-limit", self.debs[0])
        complaints = [line for line in judged.stdout.splitlines() if re.match(r"[EW]: ", line)]
        self.assertEqual(complaints, [], judged.stdout)
        self.assertEqual(judged.returncode, 0, judged.stdout + judged.stderr)

    def test_the_installed_binaries_answer_version_and_help(self):
        for name in ("marlvane-cpu-miner", "marlvane-gpu-miner"):
            binary = os.path.join(self.root, "usr/bin", name)
            if not os.path.exists(binary):
                continue
            with self.subTest(binary=name):
                version = run(binary, "--version", cwd=self.dir)
                self.assertEqual((version.returncode, version.stderr), (0, ""))
                self.assertRegex(version.stdout, r"^%s %s \(commit \S+, CUDA architectures: [^)]+\)\n$"
                                 % (name, re.escape(VERSION)))
                shown = run(binary, "--help", cwd=self.dir)
                self.assertEqual(shown.returncode, 0)
                self.assertTrue(shown.stdout.startswith("Marlvane GPU Miner v%s" % VERSION), shown.stdout)

    def test_the_manual_page_describes_every_option_of_the_help(self):
        with gzip.open(os.path.join(self.root, "usr/share/man/man1/marlvane-miner.1.gz"), "rt") as f:
            page = f.read().replace("\\-", "-")
        for alias in ("marlvane-cpu-miner", "marlvane-gpu-miner"):
            with gzip.open(os.path.join(self.root, "usr/share/man/man1/%s.1.gz" % alias), "rt") as f:
                self.assertEqual(f.read(), ".so man1/marlvane-miner.1\n")
        helped = run(os.path.join(self.root, "usr/bin/marlvane-cpu-miner"), "--help", cwd=self.dir).stdout
        options = re.findall(r"^  (-[-\w]+)", helped, re.M)
        self.assertGreater(len(options), 15)
        documented = set(re.findall(r"^\.B[IR]? (-[-\w]+)", page, re.M))
        self.assertEqual([o for o in options if o not in documented], [])
        if shutil.which("man"):
            rendered = run("man", "-l", "-Tutf8", os.path.join(self.root, "usr/share/man/man1/marlvane-miner.1.gz"),
                           env=dict(os.environ, MANWIDTH="80"))
            self.assertEqual(rendered.returncode, 0, rendered.stderr)
            self.assertNotIn("warning", rendered.stderr)


if __name__ == "__main__":
    unittest.main()
