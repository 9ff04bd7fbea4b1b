"""glimpack's promises, tried on the real program as a user would.

Each test runs the glimpack given in $GLIMPACK (with the installer stub in
$GLIMPACK_STUB) in a scratch folder of its own:

- outputs: it writes only regular files it creates, never onto a device, a
  FIFO, a link or a folder, never onto one of its own inputs;
- all or nothing: an interrupted or failing command leaves nothing half made;
- one verdict: list, test and extract refuse the same packages, and what is
  not a package is said to be so without decoding anything;
- it stops where the data stops, and fails when a stream cannot give what it
  claims;
- it reports what goes wrong, also a failed write of its own output.

$GLIMPACK_RUNNER, when set, is a command put before the program: the win32
build runs these tests against glimpack.exe with "tests/windows/wine-run
PREFIX". The promises are the same there, kept with Windows' means, and
where a test uses something Windows does not have it uses its Windows
counterpart instead (WINDOWS_COUNTERPARTS says which, and what has none).
"""
import json
import os
import shlex
import signal
import stat
import struct
import subprocess
import tempfile
import time
import unittest

GLIMPACK = os.environ.get("GLIMPACK", "glimpack")
STUB = os.environ.get("GLIMPACK_STUB", "")
DATA = os.environ.get("GLIM_TEST_DATA", os.path.join(os.path.dirname(__file__), "..", "data"))
PROGRAM = shlex.split(os.environ.get("GLIMPACK_RUNNER", "")) + [GLIMPACK]
ON_WINDOWS = GLIMPACK.lower().endswith(".exe")

# What these tests use that Windows does not have, and what stands in for it
# when the program is glimpack.exe (under Wine).
WINDOWS_COUNTERPARTS = {
    "a FIFO as the output": "the device names NUL and COM1, in any folder",
    "a symbolic link to a file as the output":
        "a junction (a link to a folder: Wine shows a Linux one as a reparse point; it "
        "shows a link to a file as the file itself, so that case has no counterpart here)",
    "SIGINT": "Ctrl-C: Wine turns SIGINT into the console's CTRL_C_EVENT; Ctrl-Break and a "
              "closed console window are tried on a real console (tests/wine/console_check.py)",
    "SIGTERM, SIGHUP": "none: a Windows program is ended without a word (TerminateProcess), "
                       "so there is nothing it could clean up; not applicable",
}
# How a run interrupted by Ctrl-C ends: STATUS_CONTROL_C_EXIT, of which Wine
# passes the low 8 bits on.
CONTROL_C_EXIT = 0xC000013A & 0xFF


def run(*args, cwd=None, timeout=120, stdout=subprocess.PIPE):
    return subprocess.run([*PROGRAM, *args], cwd=cwd, stdout=stdout, stderr=subprocess.PIPE,
                          timeout=timeout, text=True, errors="replace")


class Folder(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="glimpack-cli-")
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def tree(self):
        found = []
        for root, dirs, files in os.walk(self.dir):
            for name in dirs + files:
                found.append(os.path.relpath(os.path.join(root, name), self.dir))
        return sorted(found)

    def pack(self, name, *extra, data=None):
        """A package of the test data's executable, a small data file and the
        given further files."""
        saver = self.path("saver.scr")
        if not os.path.exists(saver):
            with open(os.path.join(DATA, "stars.scr"), "rb") as f:
                self.write("saver.scr", f.read())
            self.write("saver.dat", b"speed=5\r\n")
        r = run("pack", "-q", "--overwrite", "--stub", STUB, "-o", self.path(name), "--title", "Test",
                "--scr", saver, "--dat", self.path("saver.dat"), *extra, *(data or []))
        self.assertEqual(r.returncode, 0, r.stderr)
        return self.path(name)

    def assertOneLineNaming(self, r, *texts, code=2):
        self.assertEqual(r.returncode, code, r.stdout + r.stderr)
        self.assertEqual(r.stderr.count("\n"), 1, r.stderr)
        for text in texts:
            self.assertIn(text, r.stderr)


class Outputs(Folder):
    """Nothing a user already had is lost."""

    def outputs_of_every_command(self, target):
        package = self.pack("STARS.EXE")
        self.write("in.bin", b"glimmerloom " * 100)
        self.write("in.lzs", b"\x00" * 8)
        linked = os.path.join(os.path.dirname(STUB), "resources", "glimsetup-linked.exe")
        return [
            ["pack", "--overwrite", "--stub", STUB, "-o", target, "--title", "T",
             "--scr", self.path("saver.scr"), "--dat", self.path("saver.dat")],
            ["compress", "--overwrite", self.path("in.bin"), target],
            ["decompress", "--overwrite", "--size", "4", self.path("in.lzs"), target],
            ["fix-stub", "--overwrite", linked, target],
        ], package

    def test_special_files_are_never_replaced_even_with_overwrite(self):
        self.write("real.txt", b"mine")
        os.mkdir(self.path("folder"))
        if ON_WINDOWS:
            os.mkdir(self.path("elsewhere"))
            os.symlink(self.path("elsewhere"), self.path("link"))
            cases = [("NUL", "device"), ("COM1", "device"), ("link", "junction"),
                     ("folder", "directory")]
        else:
            os.mkfifo(self.path("fifo"))
            os.symlink(self.path("real.txt"), self.path("link"))
            # A device of our own where we may make one (root, as in CI); else
            # the system's, in a folder an ordinary user cannot write anyway.
            device = self.path("null")
            try:
                os.mknod(device, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
            except PermissionError:
                device = "/dev/null"
            cases = [("fifo", "special file"), ("link", "symbolic link"),
                     ("folder", "directory"), (device, "special file")]
        for name, kind in cases:
            commands, _ = self.outputs_of_every_command(self.path(name))
            for command in commands:
                with self.subTest(output=name, command=command[0]):
                    r = run(*command)
                    self.assertOneLineNaming(r, kind)
        if ON_WINDOWS:
            self.assertFalse(os.path.exists(self.path("NUL")))
            self.assertFalse(os.path.exists(self.path("COM1")))
            self.assertEqual(os.listdir(self.path("elsewhere")), [])
        else:
            self.assertTrue(stat.S_ISFIFO(os.lstat(self.path("fifo")).st_mode))
            self.assertTrue(stat.S_ISCHR(os.lstat(device).st_mode))
        self.assertTrue(os.path.islink(self.path("link")))
        self.assertEqual(self.read("real.txt"), b"mine")
        self.assertTrue(os.path.isdir(self.path("folder")))

    def test_an_output_that_is_one_of_the_inputs_is_refused(self):
        self.pack("STARS.EXE")
        original = self.read("saver.scr")
        os.link(self.path("saver.scr"), self.path("same.scr"))  # another name, the same file
        cases = [
            ["pack", "--overwrite", "--stub", STUB, "-o", self.path("saver.scr"), "--title", "T",
             "--scr", self.path("saver.scr"), "--dat", self.path("saver.dat")],
            ["pack", "--overwrite", "--stub", STUB, "-o", self.path("same.scr"), "--title", "T",
             "--scr", self.path("saver.scr"), "--dat", self.path("saver.dat")],
            ["compress", "--overwrite", self.path("saver.scr"), self.path("same.scr")],
            ["decompress", "--overwrite", "--size", "10", self.path("saver.scr"),
             self.path("saver.scr")],
        ]
        for command in cases:
            with self.subTest(command=command):
                self.assertOneLineNaming(run(*command), "same file as the input")
        self.assertEqual(self.read("saver.scr"), original)

    def test_the_stub_is_an_input_too(self):
        stub_copy = self.write("glimsetup.exe", open(STUB, "rb").read())
        r = run("pack", "--overwrite", "--stub", stub_copy, "-o", stub_copy, "--title", "T",
                "--scr", self.pack("X.EXE") and self.path("saver.scr"),
                "--dat", self.path("saver.dat"))
        self.assertOneLineNaming(r, "same file as the input")
        self.assertEqual(self.read("glimsetup.exe"), open(STUB, "rb").read())

    def test_existing_outputs_need_overwrite_in_every_command(self):
        commands, _ = self.outputs_of_every_command(self.path("taken"))
        for command in commands:
            self.write("taken", b"keep me")
            command = [a for a in command if a != "--overwrite"]
            with self.subTest(command=command[0]):
                self.assertOneLineNaming(run(*command), "already exists")
                self.assertEqual(self.read("taken"), b"keep me")

    def test_a_failed_write_of_standard_output_is_an_error(self):
        package = self.pack("STARS.EXE")
        with open("/dev/full", "w") as full:
            for args in (["list", package], ["list", "--json", package], ["test", package]):
                with self.subTest(args=args):
                    r = run(*args, stdout=full)
                    self.assertEqual(r.returncode, 2, r.stderr)
                    self.assertIn("standard output", r.stderr)


class AllOrNothing(Folder):
    """What a command makes appears whole or not at all."""

    def big_package(self):
        # Stored, so that extracting it takes long enough to be interrupted.
        block = bytes(range(256)) * 4096
        with open(self.path("big.bin"), "wb") as f:
            for _ in range(96):
                f.write(block)
        return self.pack("BIG.EXE", "--store", data=[self.path("big.bin")])

    def interrupt_when(self, args, appears, sig, cwd=None):
        """Starts glimpack, waits until `appears()` holds, sends `sig`."""
        # A shell started under nohup passes SIGHUP on ignored, and glimpack
        # rightly leaves it so; these runs start with every default.
        def defaults():
            for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                signal.signal(s, signal.SIG_DFL)
        p = subprocess.Popen([*PROGRAM, *args], cwd=cwd, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, preexec_fn=defaults)
        deadline = time.monotonic() + 60
        while not appears():
            if p.poll() is not None or time.monotonic() > deadline:
                p.kill()
                self.fail("glimpack ended before it could be interrupted")
            time.sleep(0.002)
        p.send_signal(sig)
        self.assertEqual(p.wait(timeout=60), CONTROL_C_EXIT if ON_WINDOWS else -sig)

    def interruptions(self):
        """The signals to try: on Windows only SIGINT, which arrives as Ctrl-C
        (see WINDOWS_COUNTERPARTS)."""
        if ON_WINDOWS:
            return (signal.SIGINT,)
        return (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    def scratch_files(self):
        return [f for f in self.tree() if ".part" in f or os.path.basename(f).startswith(".BIG")]

    def test_an_interrupted_extract_into_a_folder_leaves_it_as_it_was(self):
        package = self.big_package()
        os.mkdir(self.path("win"))
        self.write("win/mine.txt", b"mine")
        before = self.tree()
        for sig in self.interruptions():
            with self.subTest(signal=sig):
                self.interrupt_when(["extract", "-q", "-d", self.path("win"), package],
                                    lambda: bool(self.scratch_files()), sig)
                self.assertEqual(self.tree(), before)

    def test_an_interrupted_extract_without_a_folder_leaves_no_folder(self):
        package = self.big_package()
        before = self.tree()
        self.interrupt_when(["extract", "-q", package], lambda: bool(self.scratch_files()),
                            signal.SIGINT, cwd=self.dir)
        self.assertEqual(self.tree(), before)

    def test_interrupted_compress_and_decompress_leave_no_scratch_file(self):
        self.big_package()
        before = self.tree()
        self.interrupt_when(["compress", self.path("big.bin"), self.path("big.lzs")],
                            lambda: bool(self.scratch_files()), signal.SIGINT)
        self.assertEqual(self.tree(), before)

    def test_a_failing_extract_into_a_folder_takes_back_what_it_wrote(self):
        package = bytearray(open(self.pack("STARS.EXE", data=[os.path.join(DATA, "prose.txt")]),
                                 "rb").read())
        # Cut the last record's stream short: the records before it are fine
        # and get written first.
        table = int(run("list", "--json", self.path("STARS.EXE")).stdout
                    .split('"payload_offset": ')[1].split(",")[0]) + 34 + 2 * 16
        offset, stored, unpacked = struct.unpack_from("<III", package, table)
        package = package[:offset + stored - 64]
        struct.pack_into("<I", package, table + 4, stored - 64)
        self.write("CUT.EXE", bytes(package))
        os.mkdir(self.path("win"))
        before = self.tree()
        r = run("extract", "-d", self.path("win"), self.path("CUT.EXE"))
        self.assertOneLineNaming(r, "record 2")
        self.assertEqual(self.tree(), before)


class OneVerdict(Folder):
    """list, test and extract agree, and pack never makes what they refuse."""

    def verdicts(self, package):
        return [run("list", package).returncode, run("test", "-q", package).returncode,
                run("extract", "-q", "-d", self.path("out"), package).returncode]

    def test_what_is_not_a_package_is_said_so_by_every_command(self):
        ordinary = os.path.join(DATA, "stars.scr")  # a program with resources
        for name, path, text in [("the bare stub", STUB, "not a package"),
                                 ("an ordinary program", ordinary, "not a package")]:
            for command in (["list"], ["test"], ["extract", "-d", self.path("out")]):
                with self.subTest(file=name, command=command[0]):
                    start = time.monotonic()
                    self.assertOneLineNaming(run(*command, path), text)
                    self.assertLess(time.monotonic() - start, 30, "judged without decoding")
        self.assertFalse(os.path.exists(self.path("out")))

    def test_pack_refuses_names_its_own_extract_would_refuse(self):
        cases = [("CON.EXE", "device"), ("nul", "device"), ("a:b.exe", "Windows does not allow"),
                 ("L" * 250 + ".EXE", "limit"), ("..EXE", "no data directory")]
        for name, text in cases:
            with self.subTest(name=name):
                r = run("pack", "--stub", STUB, "-o", self.path(name), "--title", "T",
                        "--scr", os.path.join(DATA, "stars.scr"),
                        "--dat", os.path.join(DATA, "runs.bmp"))
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertIn(text, r.stderr)
                self.assertFalse(os.path.exists(self.path(name)))

    def test_pack_refuses_data_files_whose_names_collide(self):
        # FILE0002 as the package's name: its data file FILE0002.DAT is also
        # the name of the further data file numbered 2 with extension .DAT.
        self.write("extra.dat", b"x")
        r = run("pack", "--stub", STUB, "-o", self.path("FILE0002.EXE"), "--title", "T",
                "--first-number", "2", "--scr", os.path.join(DATA, "stars.scr"),
                "--dat", os.path.join(DATA, "runs.bmp"), self.path("extra.dat"))
        self.assertEqual(r.returncode, 2, r.stderr)
        self.assertIn("same destination", r.stderr)

    def test_limits_apply_to_stored_records_too(self):
        package = self.pack("STARS.EXE", "--store")
        for command in (["list"], ["test"], ["extract", "-d", self.path("out")]):
            with self.subTest(command=command[0]):
                r = run(*command, "--max-size", "1K", package)
                self.assertEqual(r.returncode, 2, r.stdout + r.stderr)
                self.assertIn("over the limit", r.stdout + r.stderr)


class WhereTheDataStops(Folder):
    def record_table(self, package):
        listing = run("list", "--json", package)
        return int(listing.stdout.split('"payload_offset": ')[1].split(",")[0]) + 34

    def test_a_record_claiming_more_than_its_bytes_can_give_is_refused_at_once(self):
        table = self.record_table(self.pack("STARS.EXE"))
        package = bytearray(self.read("STARS.EXE"))
        struct.pack_into("<I", package, table + 8, 1_000_000_000)
        self.write("CLAIM.EXE", bytes(package))
        for command in (["test", "--max-size", "2G"], ["extract", "--max-size", "2G", "-d",
                                                       self.path("out")]):
            with self.subTest(command=command[0]):
                start = time.monotonic()
                r = run(*command, self.path("CLAIM.EXE"))
                self.assertEqual(r.returncode, 2)
                self.assertIn("more than a stream of", r.stdout + r.stderr)
                self.assertLess(time.monotonic() - start, 30)
        self.assertFalse(os.path.exists(self.path("out")))

    def test_decompress_fails_when_the_stream_cannot_give_the_size(self):
        prose = os.path.join(DATA, "prose.txt")
        self.assertEqual(run("compress", "-q", prose, self.path("p.lzs")).returncode, 0)
        size = os.path.getsize(prose)
        ok = run("decompress", "--size", str(size), self.path("p.lzs"), self.path("p.txt"))
        self.assertEqual(ok.returncode, 0, ok.stderr)
        self.assertEqual(self.read("p.txt"), open(prose, "rb").read())
        start = time.monotonic()
        r = run("decompress", "--size", "1G", self.path("p.lzs"), self.path("big.txt"))
        self.assertOneLineNaming(r, "runs out")
        self.assertLess(time.monotonic() - start, 30)
        self.assertFalse(os.path.exists(self.path("big.txt")))


class Messages(Folder):
    def test_control_characters_in_names_are_escaped(self):
        name = self.path("bad\x1b[2Jname\x07.EXE")
        with open(name, "wb") as f:
            f.write(b"MZ" + b"\x00" * 100)
        for command in ("list", "test"):
            r = run(command, name)
            self.assertEqual(r.returncode, 2)
            self.assertNotIn("\x1b", r.stderr)
            self.assertNotIn("\x07", r.stderr)
            self.assertIn("\\x1b", r.stderr.lower())

    def test_a_header_cut_short_is_called_so(self):
        package = open(self.pack("STARS.EXE"), "rb").read()
        listing = run("list", "--json", self.path("STARS.EXE"))
        payload = int(listing.stdout.split('"payload_offset": ')[1].split(",")[0])
        self.write("CUT.EXE", package[:payload + 20])
        r = run("list", self.path("CUT.EXE"))
        self.assertOneLineNaming(r, "payload header", "cut short")

    def test_the_installed_total_is_the_true_sum_with_a_note_when_it_wraps(self):
        # Two stored records of 2.25 GiB each, behind a sparse file: the
        # installer's 32-bit total would show 512 MiB.
        package = bytearray(open(self.pack("WRAP.EXE", "--store"), "rb").read())
        listing = json.loads(run("list", "--json", self.path("WRAP.EXE")).stdout)
        table = listing["payload_offset"] + 34
        first = struct.unpack_from("<I", package, table)[0]
        size = 0x90000000
        struct.pack_into("<II", package, table + 4, size, 0)
        struct.pack_into("<III", package, table + 16, first + size, size, 0)
        self.write("WRAP.EXE", bytes(package))
        os.truncate(self.path("WRAP.EXE"), first + 2 * size)
        text = run("list", "--max-size", "3G", self.path("WRAP.EXE")).stdout
        self.assertIn("4,831,838,208 bytes", text)
        self.assertIn("wraps in the installer's 32-bit count, which shows 536,870,912", text)
        listing = json.loads(run("list", "--json", "--max-size", "3G", self.path("WRAP.EXE")).stdout)
        self.assertEqual((listing["installed_total"], listing["installer_total"]),
                         (2 * size, 2 * size - 2**32))


if __name__ == "__main__":
    unittest.main()
