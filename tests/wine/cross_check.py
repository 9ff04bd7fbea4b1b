#!/usr/bin/python3
"""glimpack on Linux and glimpack.exe under Wine, given the same work.

Both run in the same folder with the same arguments (relative paths), so
that whatever they print or write can be compared byte for byte:

- pack: the same files give the same package, whatever the options;
- list --json: the same output and exit code, for the packages packed here,
  the hand-made fixtures, every case of the hostile table and a file of more
  than 4 GiB whose last body lies just below 2 GiB;
- extract: the same files under the same names;
- compress: the same stream.

Environment: GLIMPACK (Linux), GLIMPACK_EXE, GLIMPACK_STUB, GLIM_WINE_RUN
(tests/windows/wine-run), GLIM_WINE_BASE_PREFIX (the settled prefix of the
wine_prefix fixture, copied), GLIM_WINE_WORK, GLIM_WRITE_CASES (the hostile
table's writer).
"""
import json
import os
import shutil
import struct
import subprocess
import unittest

import wineharness as wh

GLIMPACK = os.environ.get("GLIMPACK", "")
GLIMPACK_EXE = os.environ.get("GLIMPACK_EXE", "")
STUB = os.environ.get("GLIMPACK_STUB", "")
WINE_RUN = os.environ.get("GLIM_WINE_RUN", "")
BASE_PREFIX = os.environ.get("GLIM_WINE_BASE_PREFIX", "")
WRITE_CASES = os.environ.get("GLIM_WRITE_CASES", "")
WORK = os.path.join(os.environ.get("GLIM_WINE_WORK", "/tmp"), "cross_check")
HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "data")
FIXTURES = os.path.join(HERE, "..", "fixtures", "packages")


def tree(top):
    """Every file below `top`: relative name -> bytes."""
    found = {}
    for root, _, files in os.walk(top):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, top)] = f.read()
    return found


class CrossCheck(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = wh.fresh_work_prefix(BASE_PREFIX, WORK)
        cls.inputs = os.path.join(WORK, "in")
        os.makedirs(cls.inputs)
        shutil.copyfile(os.path.join(DATA, "stars.scr"), os.path.join(cls.inputs, "stars.scr"))
        for name in ("prose.txt", "random.bin", "runs.bmp"):
            shutil.copyfile(os.path.join(DATA, name), os.path.join(cls.inputs, name))
        files = {
            "stars.dat": b"speed=5\r\nstars=400\r\n",
            # What text mode would change on Windows: line ends, Ctrl-Z.
            "lines.txt": b"crlf\r\nlf\nlone cr\rctrl-z\x1a then more\r\n" * 300,
            "caf\u00e9 \u2606.mid": bytes(range(256)) * 3,
        }
        for name, data in files.items():
            with open(os.path.join(cls.inputs, name), "wb") as f:
                f.write(data)

    @classmethod
    def tearDownClass(cls):
        wh.wineserver(cls.prefix, "-k", 20)

    def both(self, *args, cwd=WORK):
        """(Linux result, Windows result) of the same command in `cwd`."""
        linux = subprocess.run([GLIMPACK, *args], cwd=cwd, stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=300)
        return linux, self.windows(*args, cwd=cwd)

    def assertSameRun(self, linux, windows, what):
        self.assertEqual((linux.returncode, linux.stdout, linux.stderr),
                         (windows.returncode, windows.stdout, windows.stderr), what)

    def windows(self, *args, cwd=WORK):
        return subprocess.run([WINE_RUN, self.prefix, GLIMPACK_EXE, *args], cwd=cwd,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=300)

    def test_the_same_files_give_the_same_package(self):
        inputs = [os.path.join("in", n) for n in ("lines.txt", "caf\u00e9 \u2606.mid",
                                                   "prose.txt", "random.bin", "runs.bmp")]
        for options in ([], ["--store"], ["--best"], ["--first-number", "9999"]):
            with self.subTest(options=options):
                made = {}
                for side in ("linux", "windows"):
                    shutil.rmtree(os.path.join(WORK, side), ignore_errors=True)
                    os.makedirs(os.path.join(WORK, side))
                    args = ["pack", "-q", "--stub", STUB, "--title", "Caf\u00e9 \u20ac",
                            "--scr", os.path.join("in", "stars.scr"), "--dat",
                            os.path.join("in", "stars.dat"), *options, "-o",
                            os.path.join(side, "STARS.EXE"), *inputs]
                    r = (subprocess.run([GLIMPACK, *args], cwd=WORK, capture_output=True)
                         if side == "linux" else self.windows(*args))
                    self.assertEqual(r.returncode, 0, r.stderr)
                    with open(os.path.join(WORK, side, "STARS.EXE"), "rb") as f:
                        made[side] = f.read()
                self.assertTrue(made["linux"] == made["windows"], "the packages differ")

    def packages(self):
        """Every package both are shown: name (relative to WORK) -> what it is."""
        found = {}
        packed = os.path.join(WORK, "packed")
        os.makedirs(packed, exist_ok=True)
        common = ["pack", "-q", "--overwrite", "--stub", STUB, "--title", "Caf\u00e9 \u20ac",
                  "--scr", os.path.join("in", "stars.scr"), "--dat",
                  os.path.join("in", "stars.dat"),
                  *[os.path.join("in", n) for n in ("lines.txt", "caf\u00e9 \u2606.mid",
                                                     "prose.txt")]]
        r = subprocess.run([GLIMPACK, *common, "-o", os.path.join("packed", "\u00c9TOILE.EXE")],
                           cwd=WORK, capture_output=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        found[os.path.join("packed", "\u00c9TOILE.EXE")] = "packed here"
        os.makedirs(os.path.join(WORK, "fixtures"), exist_ok=True)
        for name in sorted(os.listdir(FIXTURES)):
            shutil.copyfile(os.path.join(FIXTURES, name), os.path.join(WORK, "fixtures", name))
            found[os.path.join("fixtures", name)] = "hand-made fixture"
        hostile = os.path.join(WORK, "hostile")
        subprocess.run([WRITE_CASES, hostile], check=True, capture_output=True)
        for name in sorted(os.listdir(hostile)):
            found[os.path.join("hostile", name)] = "hostile case"
        found[self.far_package()] = "past 4 GiB, a body just below 2 GiB"
        return found

    def far_package(self):
        """A sound package whose last body lies just below 2 GiB, in a file
        (sparse) of more than 4 GiB: 32-bit sizes and positions, and the
        32-bit long that fseek takes on Windows, would lose it."""
        with open(os.path.join(WORK, "in", "small.dat"), "wb") as f:
            f.write(b"far away")
        r = subprocess.run([GLIMPACK, "pack", "-q", "--overwrite", "--store", "--stub", STUB,
                            "-o", "near.exe", "--title", "Far", "--scr",
                            os.path.join("in", "stars.scr"), "--dat",
                            os.path.join("in", "small.dat")], cwd=WORK, capture_output=True)
        self.assertEqual(r.returncode, 0, r.stderr)
        listing = json.loads(subprocess.run([GLIMPACK, "list", "--json", "near.exe"], cwd=WORK,
                                            capture_output=True).stdout)
        with open(os.path.join(WORK, "near.exe"), "rb") as f:
            package = f.read()
        table = listing["payload_offset"] + 34
        offset, stored = struct.unpack_from("<II", package, table + 16)
        far = (1 << 31) - 4096
        with open(os.path.join(WORK, "FAR.EXE"), "wb") as f:
            f.write(package[:table + 16] + struct.pack("<I", far) +
                    package[table + 20:offset])
            f.seek(far)
            f.write(package[offset:offset + stored])
            f.truncate((1 << 32) + 8192)
        return "FAR.EXE"

    def test_list_says_the_same_about_every_package(self):
        packages = self.packages()
        self.assertGreater(len(packages), 20)
        for name, what in packages.items():
            with self.subTest(package=name, what=what):
                linux, windows = self.both("list", "--json", name)
                self.assertSameRun(linux, windows, name)
                if what != "hostile case":
                    self.assertEqual(linux.returncode, 0, linux.stderr)

    def test_extract_writes_the_same_files(self):
        packages = {n: w for n, w in self.packages().items() if w != "hostile case"}
        for name in packages:
            with self.subTest(package=name):
                out = os.path.join(WORK, "out")
                shutil.rmtree(out, ignore_errors=True)
                r = subprocess.run([GLIMPACK, "extract", "-q", "-d", "out/linux", name],
                                   cwd=WORK, capture_output=True)
                self.assertEqual(r.returncode, 0, r.stderr)
                r = self.windows("extract", "-q", "-d", "out/windows", name)
                self.assertEqual(r.returncode, 0, r.stderr)
                linux, windows = tree(os.path.join(out, "linux")), tree(
                    os.path.join(out, "windows"))
                self.assertEqual(sorted(linux), sorted(windows))
                self.assertTrue(linux == windows, "contents differ")

    def test_compress_gives_the_same_stream(self):
        for name in ("prose.txt", "random.bin", "runs.bmp", "lines.txt"):
            with self.subTest(input=name):
                subprocess.run([GLIMPACK, "compress", "-q", "--overwrite",
                                os.path.join("in", name), "linux.lzs"], cwd=WORK, check=True)
                r = self.windows("compress", "-q", "--overwrite", os.path.join("in", name),
                                 "windows.lzs")
                self.assertEqual(r.returncode, 0, r.stderr)
                with open(os.path.join(WORK, "linux.lzs"), "rb") as a, \
                        open(os.path.join(WORK, "windows.lzs"), "rb") as b:
                    self.assertTrue(a.read() == b.read(), name)


if __name__ == "__main__":
    wh.raise_on_signals()
    unittest.main()
