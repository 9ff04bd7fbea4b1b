"""The dangers only Windows has, tried on glimpack.exe under Wine as a user would.

Each test runs $GLIMPACK (glimpack.exe) through $GLIMPACK_RUNNER (wine-run
and its prefix) on files in a scratch folder of its own, with the installer
stub in $GLIMPACK_STUB, and looks at what is left on the Linux side of the
file system, where Wine keeps every file under its own name:

- names in any script, in the arguments and in the files, in and out;
- paths longer than the old 260-character limit;
- names Windows gives to devices (CON, NUL, COM1 ...) and ":" names, which
  name alternate data streams, refused wherever they would be written;
- junctions: never written through, followed inside the target only;
- replacing a file in one step, never leaving half of it;
- a package dropped onto the program;
- wildcards in file operands, which the program expands itself;
- free space from the volume the files go to;
- files and output as bytes (no text mode), sizes past 4 GiB.

Interruption by Ctrl-C is tried in tests/cli/test_contract.py, Ctrl-Break
and a closed console window in tests/wine/console_check.py.
"""
import json
import os
import random
import shlex
import signal
import subprocess
import tempfile
import time
import unittest
import zipfile

GLIMPACK = os.environ.get("GLIMPACK", "glimpack.exe")
STUB = os.environ.get("GLIMPACK_STUB", "")
DATA = os.environ.get("GLIM_TEST_DATA", os.path.join(os.path.dirname(__file__), "..", "data"))
PROGRAM = shlex.split(os.environ.get("GLIMPACK_RUNNER", "")) + [GLIMPACK]
CONTROL_C_EXIT = 0xC000013A & 0xFF  # STATUS_CONTROL_C_EXIT, as Wine passes it on


def run(*args, cwd=None, stdout=subprocess.PIPE):
    # stdin is not a console: a run that waited for a key would be a fault,
    # and the time limit is only there to end such a run.
    return subprocess.run([*PROGRAM, *args], cwd=cwd, stdin=subprocess.DEVNULL, stdout=stdout,
                          stderr=subprocess.PIPE, timeout=300)


class Folder(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="glimpack-win-")
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def write(self, name, data):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def tree(self, top=None):
        top = top or self.dir
        found = []
        for root, dirs, files in os.walk(top):
            for name in dirs + files:
                found.append(os.path.relpath(os.path.join(root, name), top))
        return sorted(found)

    def saver(self):
        with open(os.path.join(DATA, "stars.scr"), "rb") as f:
            return f.read()

    def pack(self, output, *inputs, extra=()):
        """A package at `output` of the test saver, a data file and
        `inputs` (names below the scratch folder)."""
        if not os.path.exists(self.path("saver.scr")):
            self.write("saver.scr", self.saver())
            self.write("saver.dat", b"speed=5\r\n")
        r = run("pack", "-q", "--stub", STUB, "-o", output, "--title", "Test",
                "--scr", self.path("saver.scr"), "--dat", self.path("saver.dat"), *extra,
                *inputs)
        self.assertEqual(r.returncode, 0, r.stderr)
        return output

    def assertOneLineNaming(self, r, *texts, code=2):
        err = r.stderr.decode("utf-8")
        self.assertEqual(r.returncode, code, r.stdout + r.stderr)
        self.assertEqual(err.count("\n"), 1, err)
        for text in texts:
            self.assertIn(text, err)


class Names(Folder):
    def test_names_in_any_script_in_and_out(self):
        inputs = {"ciel étoilé.bmp": b"BM" + bytes(range(256)) * 8,
                  "Жук.txt": "Жук и звёзды\r\n".encode("utf-8") * 40,
                  "星空.mid": bytes(100) + b"MThd"}
        paths = [self.write(os.path.join("entrées", n), d) for n, d in inputs.items()]
        package = self.pack(self.path("Étoilé.EXE"), *paths, extra=("--title", "Café €"))
        self.assertTrue(os.path.isfile(package))
        # The title is Windows-1252, which has no star: refused, naming it,
        # as a value --title cannot take (exit 1).
        r = run("pack", "--stub", STUB, "-o", self.path("X.EXE"), "--title", "Café ☆",
                "--scr", self.path("saver.scr"), "--dat", self.path("saver.dat"))
        self.assertOneLineNaming(r, "U+2606", code=1)

        listing = run("list", "--json", package)
        self.assertEqual(listing.returncode, 0, listing.stderr)
        shown = json.loads(listing.stdout.decode("utf-8"))  # UTF-8, whatever the console
        self.assertEqual(shown["title"], "Café €")
        self.assertIn("QUILLFEN\\GLIMLOOM\\Étoilé\\Étoilé.DAT",
                      [r["destination"] for r in shown["records"]])

        r = run("extract", "-q", "-d", self.path("dossier d'été"), package)
        self.assertEqual(r.returncode, 0, r.stderr)
        data_dir = self.path("dossier d'été", "QUILLFEN", "GLIMLOOM", "Étoilé")
        self.assertEqual(sorted(os.listdir(data_dir)),
                         ["FILE0000.BMP", "FILE0001.TXT", "FILE0002.MID", "Étoilé.DAT"])
        for i, data in enumerate(inputs.values()):
            with open(os.path.join(data_dir, "FILE%04d.%s" % (i, ["BMP", "TXT", "MID"][i])),
                      "rb") as f:
                self.assertEqual(f.read(), data)

        # Messages name such files as they are called.
        r = run("list", self.path("entrées", "Жук.txt"))
        self.assertOneLineNaming(r, "Жук.txt", "not a PE file")


class LongPaths(Folder):
    def test_paths_longer_than_260_characters(self):
        deep = os.path.join(*["chemin-%02d-%s" % (i, "x" * 40) for i in range(7)])
        self.assertGreater(len(self.path(deep)), 330)
        big = self.write(os.path.join(deep, "notes.txt"), b"a long way down\r\n" * 2000)
        package = self.pack(self.path(deep, "DEEP.EXE"), big)
        self.assertTrue(os.path.isfile(package))
        self.assertEqual(run("test", "-q", package).returncode, 0)

        target = self.path(deep, "installed")
        r = run("extract", "-q", "-d", target, package)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(target, "QUILLFEN", "GLIMLOOM", "DEEP", "FILE0000.TXT"),
                  "rb") as f:
            self.assertEqual(f.read(), b"a long way down\r\n" * 2000)

        packed = self.path(deep, "notes.lzs")
        self.assertEqual(run("compress", "-q", big, packed).returncode, 0)
        r = run("decompress", "--size", str(len(b"a long way down\r\n" * 2000)), packed,
                self.path(deep, "notes.out"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read(os.path.join(deep, "notes.out")), self.read(big))


class DevicesAndStreams(Folder):
    """Windows gives CON, PRN, AUX, NUL, COM1-9 and LPT1-9 (whatever follows
    a dot) to devices in every folder, and "name:stream" to a stream of the
    file "name": writing there would reach a device or hide data in another
    file. Each command refuses them, names them, and makes nothing."""

    def setUp(self):
        super().setUp()
        self.package = self.pack(self.path("STARS.EXE"))
        self.write("in.bin", b"glimmerloom " * 100)
        self.write("in.lzs", b"\x00" * 8)
        os.mkdir(self.path("sub"))
        self.before = self.tree()

    def commands_writing(self, out, folder):
        return [
            ["pack", "--stub", STUB, "-o", out, "--title", "T", "--scr", self.path("saver.scr"),
             "--dat", self.path("saver.dat")],
            ["compress", self.path("in.bin"), out],
            ["decompress", "--size", "4", self.path("in.lzs"), out],
            ["extract", "-d", folder, self.package],
        ]

    def test_device_names_are_refused_wherever_they_would_be_written(self):
        for out, folder in [("NUL", "CON"), ("sub/COM1", "sub/prn"), ("sub/lpt9.lzs", "AUX.d"),
                            ("sub/Con .txt", "sub/nul/below"), ("COM1.EXE", "sub/COM2.x/y")]:
            for command in self.commands_writing(self.path(out), self.path(folder)):
                with self.subTest(command=command[0], output=out, folder=folder):
                    r = run(*command)
                    self.assertOneLineNaming(r, "device")
        self.assertEqual(self.tree(), self.before)

    def test_a_device_is_not_read_as_a_package(self):
        for name in ("NUL", "CON", "COM1"):
            with self.subTest(name=name):
                self.assertOneLineNaming(run("list", name), name, "not a regular file")

    def test_a_colon_in_a_name_is_refused_and_no_file_is_made_for_it(self):
        package = self.read("STARS.EXE")
        for out, folder in [("out:stream", "dir:stream"), ("STARS.EXE:hidden", "sub/x:y/z")]:
            for command in self.commands_writing(self.path(out), self.path(folder)):
                with self.subTest(command=command[0], output=out, folder=folder):
                    r = run(*command)
                    self.assertOneLineNaming(r, out if command[0] != "extract" else folder)
                    # pack may judge it as a package's name first: the
                    # installer could not name its files after it.
                    self.assertTrue(b"alternate data stream" in r.stderr or
                                    (command[0] == "pack" and
                                     b"Windows does not allow" in r.stderr), r.stderr)
        self.assertEqual(self.tree(), self.before)
        self.assertEqual(self.read("STARS.EXE"), package)


class Junctions(Folder):
    """A junction is a link to a folder. Wine shows a Linux symbolic link to
    a folder as one (a reparse point), which Wine itself cannot make."""

    def test_extract_never_writes_through_a_junction_leading_outside(self):
        package = self.pack(self.path("STARS.EXE"))
        os.makedirs(self.path("target"))
        os.makedirs(self.path("outside"))
        os.symlink(self.path("outside"), self.path("target", "QUILLFEN"))
        r = run("extract", "-d", self.path("target"), package)
        self.assertOneLineNaming(r, "outside the target directory")
        self.assertEqual(os.listdir(self.path("outside")), [])
        self.assertEqual(sorted(os.listdir(self.path("target"))), ["QUILLFEN"])

    def test_a_junction_inside_the_target_is_followed_like_a_link(self):
        package = self.pack(self.path("STARS.EXE"))
        os.makedirs(self.path("target", "elsewhere"))
        os.symlink(self.path("target", "elsewhere"), self.path("target", "QUILLFEN"))
        r = run("extract", "-q", "-d", self.path("target"), package)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read("target/elsewhere/GLIMLOOM/STARS/STARS.DAT"),
                         b"speed=5\r\n")

    def test_a_junction_in_place_of_a_file_is_not_replaced(self):
        package = self.pack(self.path("STARS.EXE"))
        os.makedirs(self.path("target", "elsewhere"))
        os.symlink(self.path("target", "elsewhere"), self.path("target", "STARS.SCR"))
        r = run("extract", "--overwrite", "-d", self.path("target"), package)
        self.assertOneLineNaming(r, "STARS.SCR", "junction")
        self.assertTrue(os.path.islink(self.path("target", "STARS.SCR")))
        self.assertEqual(os.listdir(self.path("target", "elsewhere")), [])


class Replacing(Folder):
    def test_overwrite_replaces_the_file_in_one_step(self):
        # Random bytes compress slowly enough to be interrupted midway.
        self.write("big.bin", random.Random(1).randbytes(32 << 20))
        old = b"the previous contents, whole"
        self.write("out.lzs", old)

        # Interrupted while the new file is written: the old one is whole.
        p = subprocess.Popen([*PROGRAM, "compress", "--overwrite", self.path("big.bin"),
                              self.path("out.lzs")],
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while not [n for n in os.listdir(self.dir) if ".part" in n]:
            if p.poll() is not None or time.monotonic() > deadline:
                p.kill()
                self.fail("compress ended before it could be interrupted")
            time.sleep(0.002)
        p.send_signal(signal.SIGINT)  # Ctrl-C, as Wine passes it on
        self.assertEqual(p.wait(timeout=60), CONTROL_C_EXIT)
        self.assertEqual(self.read("out.lzs"), old)
        self.assertEqual(self.tree(), ["big.bin", "out.lzs"])

        r = run("compress", "-q", "--overwrite", self.path("big.bin"), self.path("out.lzs"))
        self.assertEqual(r.returncode, 0, r.stderr)
        r = run("decompress", "--size", str(32 << 20), self.path("out.lzs"),
                self.path("back.bin"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.read("back.bin"), self.read("big.bin"))
        self.assertEqual(self.tree(), ["back.bin", "big.bin", "out.lzs"])


class DroppedPackage(Folder):
    """Dropping a file onto glimpack.exe starts it with that file's path as
    its only argument, in a console window of its own. Here it has none, so
    it must not wait for a key (tests/wine/console_check.py tries the
    window)."""

    def test_a_dropped_package_is_extracted_beside_itself(self):
        os.makedirs(self.path("downloads"))
        os.makedirs(self.path("elsewhere"))
        package = self.pack(self.path("downloads", "STARS.EXE"))
        r = run(package, cwd=self.path("elsewhere"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"STARS.EXE", r.stdout)
        self.assertEqual(self.read("downloads/STARS/QUILLFEN/GLIMLOOM/STARS/STARS.DAT"),
                         b"speed=5\r\n")
        self.assertEqual(self.read("downloads/STARS/STARS.SCR"), self.saver())
        self.assertEqual(os.listdir(self.path("elsewhere")), [])
        # The folder it made is named with its full path, where the user
        # finds it (Wine shows this side's folders on drive Z:).
        folder = "Z:" + self.path("downloads", "STARS").replace("/", "\\")
        self.assertIn(b" to " + folder.encode() + b"\n", r.stdout)

        # Dropped again: the folder is there, and kept as it is.
        before = self.tree()
        r = run(package, cwd=self.path("elsewhere"))
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"already exists", r.stderr)
        self.assertEqual(self.tree(), before)

    def test_one_argument_that_is_no_file_is_still_an_unknown_command(self):
        r = run(self.path("no-such-package.exe"))
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"unknown command", r.stderr)


class Wildcards(Folder):
    """cmd.exe and PowerShell pass "*.EXE" on as it was typed: glimpack.exe
    expands * and ? in its file operands itself, as Windows programs do."""

    def packages(self):
        os.makedirs(self.path("saves"))
        for name in ("ONE.EXE", "TWO.EXE", "three.exe"):
            self.pack(self.path("saves", name))
        self.write("saves/notes.txt", b"not a package")

    def test_patterns_in_file_operands_name_the_files_they_match(self):
        self.packages()
        absolute = "Z:" + self.path("saves").replace("/", "\\") + "\\*.EXE"
        for pattern, cwd in (("*.EXE", self.path("saves")), ("saves\\*.exe", self.dir),
                             ("saves/*.EXE", self.dir), (absolute, None)):
            with self.subTest(pattern=pattern):
                r = run("test", pattern, cwd=cwd)
                self.assertEqual(r.returncode, 0, r.stderr)
                out = r.stdout.decode()
                for name in ("ONE.EXE", "TWO.EXE", "three.exe"):
                    self.assertIn(name + ": OK", out)
                self.assertTrue(out.endswith("3 packages: 3 OK, 0 with problems\n"), out)
        # ? stands for one character; the matches come in the order of their names.
        r = run("list", "--json", "T??.EXE", "ONE.*", cwd=self.path("saves"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual([p["package"] for p in json.loads(r.stdout)], ["TWO.EXE", "ONE.EXE"])
        r = run("list", "--json", "T*.EXE", cwd=self.path("saves"))
        self.assertEqual([p["package"] for p in json.loads(r.stdout)], ["three.exe", "TWO.EXE"])
        # Option values are not file names: extract's -I pattern stays as it is.
        r = run("extract", "-q", "-d", self.path("out"), "-I", "*.DAT", "ONE.EXE",
                cwd=self.path("saves"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.tree(self.path("out")),
                         ["QUILLFEN", "QUILLFEN/GLIMLOOM", "QUILLFEN/GLIMLOOM/ONE",
                          "QUILLFEN/GLIMLOOM/ONE/ONE.DAT"])

    def test_a_pattern_that_matches_nothing_is_an_error_naming_it(self):
        self.packages()
        for pattern in ("*.ZIP", "nothing\\*.EXE", "s*\\*.EXE"):
            with self.subTest(pattern=pattern):
                r = run("test", "ONE.EXE", pattern, cwd=self.path("saves"))
                self.assertOneLineNaming(r, pattern, "no file matches", code=2)


class FreeSpace(Folder):
    def test_free_space_is_that_of_the_volume_the_files_go_to(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to mount a small tmpfs (as the disk-full tests do)")
        big = self.write("big.bin", bytes(range(256)) * 8192)  # 2 MiB
        package = self.pack(self.path("BIG.EXE"), big, extra=("--store",))
        small = self.path("small")
        os.makedirs(small)
        mount = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", small],
                               capture_output=True, text=True)
        if mount.returncode != 0:
            self.skipTest("cannot mount a small tmpfs here: " + mount.stderr.strip())
        try:
            r = run("extract", "-d", small, package)
            self.assertOneLineNaming(r, "not enough free space")
            self.assertEqual(os.listdir(small), [])
        finally:
            subprocess.run(["umount", small], check=True)


class Scan(Folder):
    def test_folders_and_plain_files_are_scanned_and_archives_said_once_not_opened(self):
        self.pack(self.path("STARS.EXE"))
        package = self.read("STARS.EXE")
        self.write(os.path.join("col", "README.TXT"), package)
        self.write(os.path.join("col", "sub", "disk.img"), bytes(513) + package + b"x" * 10)
        # A zip that stores the package as it is: its bytes are searched.
        with zipfile.ZipFile(self.path("col", "packs.zip"), "w", zipfile.ZIP_STORED) as z:
            z.writestr("STARS.EXE", package)
        at = self.read(os.path.join("col", "packs.zip")).find(package)
        r = run("scan", self.path("col"))
        self.assertEqual(r.returncode, 0, r.stderr)
        err = r.stderr.decode("utf-8").splitlines()
        self.assertEqual(len(err), 1, err)
        self.assertIn("does not look inside archives", err[0])
        found = [line.split(": ")[0] for line in r.stdout.decode("utf-8").splitlines()[:-1]]
        col = self.path("col")
        self.assertEqual(found, [col + "/README.TXT", "%s/packs.zip@%d" % (col, at),
                                 col + "/sub/disk.img@513"])
        self.assertIn("3 packages found, 3 OK", r.stdout.decode("utf-8"))


class Bytes(Folder):
    def test_files_and_output_are_bytes_not_text(self):
        # What text mode would change: line ends both ways, a lone CR, and
        # Ctrl-Z, where Windows' text mode ends a file.
        tricky = b"line\r\nline\nlone\rcr\x1aafter ctrl-z\x00\xff" * 500
        inputs = [self.write("tricky.txt", tricky), self.write("tricky.bin", tricky[::-1])]
        for extra in ((), ("--store",)):
            with self.subTest(store=bool(extra)):
                package = self.pack(self.path("TRICKY.EXE"), *inputs,
                                    extra=extra + ("--overwrite",))
                out = self.path("out-%d" % len(extra))
                self.assertEqual(run("extract", "-q", "-d", out, package).returncode, 0)
                got = os.path.join(out, "QUILLFEN", "GLIMLOOM", "TRICKY")
                with open(os.path.join(got, "FILE0000.TXT"), "rb") as f:
                    self.assertEqual(f.read(), tricky)
                with open(os.path.join(got, "FILE0001.BIN"), "rb") as f:
                    self.assertEqual(f.read(), tricky[::-1])
        listing = run("list", self.path("TRICKY.EXE"))
        self.assertNotIn(b"\r", listing.stdout)
        self.assertNotIn(b"\r", listing.stderr)

    def test_sizes_past_4_gib(self):
        self.pack(self.path("STARS.EXE"))
        package = self.read("STARS.EXE")
        with open(self.path("HUGE.EXE"), "wb") as f:
            f.write(package)
            f.truncate((1 << 32) + 4096)  # sparse: a 32-bit size would be 4096
        r = run("list", "--json", self.path("HUGE.EXE"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(json.loads(r.stdout.decode("utf-8"))["ok"])


if __name__ == "__main__":
    unittest.main()
