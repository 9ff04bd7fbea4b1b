"""The release scripts' promises that do not need a release build: the zip
is the same bytes whatever the files' dates, modes and order, the Debian
changelog and copyright are what Debian's tools accept, and CHANGELOG.md
carries the version project() sets. make dist-check checks whole releases.

Run from this folder: GLIM_VERSION=0.2.0 python3 -m unittest test_packaging
"""

import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGING = os.path.dirname(HERE)
SOURCE = os.path.dirname(PACKAGING)
sys.path.insert(0, PACKAGING)

import debian_docs  # noqa: E402
import make_zip  # noqa: E402

MAINTAINER = "Glimmerloom maintainers <maintainers@glimmerloom.example>"


def read(path):
    with open(os.path.join(SOURCE, path), encoding="utf-8") as f:
        return f.read()


class ZipTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def file(self, name, data, mode=0o644, mtime=1_000_000_000):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)
        os.utime(path, (mtime, mtime))
        return path

    def run_zip(self, *args):
        return subprocess.run([sys.executable, os.path.join(PACKAGING, "make_zip.py"), *args],
                              capture_output=True, text=True)

    def test_same_bytes_whatever_dates_modes_and_order(self):
        exe = b"MZ\x90\x00\n\r\n" + bytes(range(256))
        dll = b"MZ" + bytes(1000)
        text = b"line one\nline two\r\nline three\n"
        a = [self.file("a.exe", exe), self.file("a.dll", dll), self.file("a.txt", text)]
        b = [self.file("b.exe", exe, 0o700, 1_700_000_000), self.file("b.dll", dll, 0o600, 5),
             self.file("b.txt", text, 0o600, 5)]
        out1 = os.path.join(self.dir.name, "1.zip")
        out2 = os.path.join(self.dir.name, "2.zip")
        r1 = self.run_zip(out1, "top", "1796739031", f"tool.exe={a[0]}", f"lib.dll={a[1]}",
                          "--text", f"README.txt={a[2]}")
        r2 = self.run_zip(out2, "top", "1796739031", f"lib.dll={b[1]}", f"tool.exe={b[0]}",
                          "--text", f"README.txt={b[2]}")
        self.assertEqual((r1.returncode, r2.returncode), (0, 0), r1.stderr + r2.stderr)
        with open(out1, "rb") as f1, open(out2, "rb") as f2:
            self.assertEqual(f1.read(), f2.read())

        with zipfile.ZipFile(out1) as z:
            self.assertEqual(z.namelist(), ["top/README.txt", "top/lib.dll", "top/tool.exe"])
            self.assertIsNone(z.testzip())
            # Text gets CRLF once, also where it had one; programs stay as they are.
            self.assertEqual(z.read("top/README.txt"), b"line one\r\nline two\r\nline three\r\n")
            self.assertEqual(z.read("top/tool.exe"), exe)
            for info in z.infolist():
                self.assertEqual(info.date_time, (2026, 12, 8, 14, 10, 30))
                self.assertEqual((info.create_system, info.external_attr, info.extra), (0, 0x20, b""))

    def test_dates_before_1980_are_1980(self):
        out = os.path.join(self.dir.name, "old.zip")
        r = self.run_zip(out, "top", "0", f"x={self.file('x', b'x')}")
        self.assertEqual(r.returncode, 0, r.stderr)
        with zipfile.ZipFile(out) as z:
            self.assertEqual(z.infolist()[0].date_time, (1980, 1, 1, 0, 0, 0))

    def test_refusals_leave_no_archive(self):
        x = self.file("x", b"x")
        out = os.path.join(self.dir.name, "bad.zip")
        cases = [
            ([out, "top", "1", f"x={x}", f"x={x}"], 1, "twice"),
            ([out, "top", "1", f"../x={x}"], 1, "plain file name"),
            ([out, "top", "1", f"sub\\x={x}"], 1, "plain file name"),
            ([out, "top", "yesterday", f"x={x}"], 1, "seconds"),
            ([out, "top", "1", "x"], 1, "NAME=PATH"),
            ([out, "top", "1", f"x={x}", "y=" + os.path.join(self.dir.name, "missing")], 2, "missing"),
        ]
        for args, code, message in cases:
            with self.subTest(args=args[3:]):
                r = self.run_zip(*args)
                self.assertEqual(r.returncode, code)
                self.assertIn(message, r.stderr)
                self.assertEqual(len(r.stderr.strip().split("\n")), 1, r.stderr)
                self.assertFalse(os.path.exists(out))
                self.assertFalse(os.path.exists(out + ".partial"))


class DebianDocsTest(unittest.TestCase):
    def parse_changelog(self, text, field):
        with tempfile.NamedTemporaryFile("w", suffix=".changelog") as f:
            f.write(text)
            f.flush()
            out = subprocess.run(["dpkg-parsechangelog", "-l", f.name, "--all", "--format", "rfc822"],
                                 capture_output=True, text=True, check=True).stdout
        # One paragraph per entry, newest first.
        return ", ".join(line.split(": ", 1)[1] for line in out.split("\n") if line.startswith(field + ": "))

    def test_changelog_of_this_repository(self):
        version = os.environ.get("GLIM_VERSION")
        self.assertTrue(version, "GLIM_VERSION (project()'s version) is not set")
        text = debian_docs.debian_changelog(read("CHANGELOG.md"), "glimpack", MAINTAINER, 1796739031)
        versions = self.parse_changelog(text, "Version").split(", ")
        self.assertEqual(versions[0], version, "the newest release in CHANGELOG.md is not project()'s version")
        self.assertIn("0.1.0", versions)
        self.assertEqual(set(self.parse_changelog(text, "Maintainer").split(", ")), {MAINTAINER})
        # The change lines, as lintian measures them.
        for line in (l for l in text.split("\n") if l.startswith("  ")):
            self.assertLessEqual(len(line), 80, line)
            self.assertNotIn("`", line)

    def test_releases_of_one_day_need_the_release_time(self):
        changelog = ("# Changelog\n\n## [Unreleased]\n\n- not yet\n\n"
                     "## [1.1.0] - 2026-12-08\n\n### Added\n\n- two `lines`\n  of text\n\n"
                     "## [1.0.0] - 2026-12-08\n\n- first\n")
        # Debian wants each entry later than the one before it.
        with self.assertRaisesRegex(debian_docs.FormatError, "1.0.0 is not older"):
            debian_docs.debian_changelog(changelog, "p", MAINTAINER)
        text = debian_docs.debian_changelog(changelog, "p", MAINTAINER, 1796739031)
        self.assertEqual(self.parse_changelog(text, "Version"), "1.1.0, 1.0.0")
        self.assertEqual(self.parse_changelog(text, "Timestamp"), "1796739031, 1796688000")
        self.assertIn("  * two lines of text\n", text)
        self.assertNotIn("not yet", text)

    def test_changelog_refusals(self):
        cases = [
            ("## 1.0.0\n- x\n", "CHANGELOG.md:1: a release heading"),
            ("## [1.0.0] - 2026-02-30\n- x\n", "no such date"),
            ("## [1.0.0] - 2026-02-03\n\nnothing listed\n", "lists no changes"),
            ("# Changelog\n", "no dated release"),
        ]
        for text, message in cases:
            with self.subTest(text=text):
                with self.assertRaisesRegex(debian_docs.FormatError, message):
                    debian_docs.debian_changelog(text, "p", MAINTAINER)

    def test_copyright_of_this_repository(self):
        licence = read("LICENSE")
        text = debian_docs.debian_copyright(licence)
        lines = text.split("\n")
        self.assertEqual(lines[0], "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/")
        self.assertIn("Copyright: 2026 The Glimmerloom screen-saver installer authors", lines)
        self.assertIn("License: Expat", lines)
        # The whole permission text, each line once, blank lines as " .".
        body = licence[licence.index("Permission is hereby granted"):].rstrip("\n").split("\n")
        start = lines.index("License: Expat") + 1
        self.assertEqual(lines[start:start + len(body)], [" " + l if l else " ." for l in body])

    def test_copyright_refusals(self):
        for licence, message in [("Apache License\n", "MIT License"),
                                 ("MIT License\n\nPermission is granted\n", "one 'Copyright"),
                                 ("MIT License\nCopyright (c) 2026 Someone\n\n", "no licence text")]:
            with self.subTest(licence=licence):
                with self.assertRaisesRegex(debian_docs.FormatError, message):
                    debian_docs.debian_copyright(licence)


if __name__ == "__main__":
    unittest.main()
