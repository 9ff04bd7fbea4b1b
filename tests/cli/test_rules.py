"""The rules every command of glimpack keeps, tried over every command and
every option of the real program (in $GLIMPACK, the stub in $GLIMPACK_STUB):

- exit codes: 0 all good, 1 the command line (any bad option value), 2 a
  package, a file or the system; -q prints nothing about what went well;
- standard output: a failure is said once and exits 2, also for --help and
  --version; a reader that went away ends the run with 2 and no message; no
  file's bytes on a terminal; a package is not read from standard input;
- messages give the system's own reason;
- the smaller habits: extracting again into the folder named after the
  package, a line left by an interruption, the names and titles pack takes.
"""
import os
import pty
import re
import signal
import subprocess
import tempfile
import time
import unittest

GLIMPACK = os.environ.get("GLIMPACK", "glimpack")
STUB = os.environ.get("GLIMPACK_STUB", "")
DATA = os.environ.get("GLIM_TEST_DATA", os.path.join(os.path.dirname(__file__), "..", "data"))
SAVER = os.path.join(DATA, "stars.scr")
PROSE = os.path.join(DATA, "prose.txt")
NOBODY = 65534


VERBS = {"is", "are", "has", "have", "holds", "lies", "runs", "gives", "was", "were"}


def ungrammatical(line):
    """What reads wrong in one message line, or None: a word twice in a row,
    two verbs run together ("is holds"), "N of N" (a count that contradicts
    itself), a placeholder left unfilled. Quoted names are left out: a file
    may be called anything."""
    # "glimpack: FILE: ..." names a file first, which may be called anything.
    text = re.sub(r"^glimpack: [^:]*(?:\.[A-Za-z0-9]+)?: ", "glimpack: FILE: ", line)
    text = re.sub(r'"(?:[^"\\]|\\.)*"', '"…"', text)
    # So is any path, wherever it stands: the tests' scratch folders have
    # random names ("glimpack-rules-14l3l27k" reads "l l").
    text = re.sub(r"[^\s\"']*[/\\][^\s\"']*", "PATH", text)
    text = re.sub(r"(?<![A-Za-z])'[^']*'", "'…'", text)
    if re.search(r"\{\d\}", text):
        return "an unfilled placeholder"
    m = re.search(r"(?<![\w,])(\d[\d,]*) of \1(?![\w,])", text)
    if m:
        return "a count that contradicts itself: " + m.group(0)
    words = re.findall(r"[A-Za-z]+(?:'[a-z]+)?", text)
    for a, b in zip(words, words[1:]):
        if a.lower() == b.lower():
            return "a word twice: %s %s" % (a, b)
        if a in VERBS and b in VERBS:
            return "two verbs: %s %s" % (a, b)
    return None


def run(*args, cwd=None, stdout=subprocess.PIPE, user=None):
    """Runs glimpack; with `user`, as that user (the tests run as root in CI,
    and permissions mean nothing to root). Every message it prints on
    standard error goes through the grammar check, so the hundreds of
    refusals these tests provoke are all read."""
    def as_user():
        os.setgid(user)
        os.setuid(user)
    r = subprocess.run([GLIMPACK, *args], cwd=cwd, stdout=stdout, stderr=subprocess.PIPE,
                       timeout=300, text=True, errors="replace",
                       preexec_fn=as_user if user is not None else None)
    for line in (r.stderr or "").splitlines():
        fault = ungrammatical(line)
        if fault:
            raise AssertionError("glimpack %s: %r: %s" % (" ".join(args), line, fault))
    return r


def help_options(command):
    """Every option of a command and the name of its value ("" for none), as
    its --help shows them."""
    out = run("help", command).stdout
    options = []
    for line in out.split("\nOptions:\n", 1)[1].splitlines():
        m = re.match(r"  (-[^ ,]+(?:, -[^ ,]+)*)(?: ([A-Z]+))?", line)
        if m:
            options.append((m.group(1).split(", ")[-1], m.group(2) or ""))
    return options


def commands():
    out = run("--help").stdout
    section = out.split("\nCommands:\n", 1)[1].split("\n\n", 1)[0]
    return [line.split()[0] for line in section.splitlines()]


class Grammar(unittest.TestCase):
    def test_the_check_finds_what_it_looks_for(self):
        for bad in ('"A:B.SCR" is holds a character', "runs out after 13,000 of 13,000 bytes",
                    "the the file", "destination {0}: x"):
            self.assertIsNotNone(ungrammatical(bad), bad)
        for good in ('"is is.EXE" is a device name', "runs out after 12 of 13,000 bytes",
                     "glimpack: STARS.EXE: record 2: body past the end of the file",
                     'glimpack: /tmp/a a"b.exe: record 0: destination "A\\"B.SCR"'):
            self.assertIsNone(ungrammatical(good), good)


class Folder(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="glimpack-rules-")
        self.dir = self._tmp.name
        os.chmod(self.dir, 0o777)  # the runs as another user work here too

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def pack(self, name, *extra):
        r = run("pack", "-q", "--overwrite", "--stub", STUB, "-o", self.path(name), "--title", "Rules",
                "--scr", SAVER, "--dat", PROSE, *extra)
        self.assertEqual(r.returncode, 0, r.stderr)
        return self.path(name)

    def big(self, name="BIG.EXE"):
        """A stored package of 24 MiB: long enough to be cut off or
        interrupted while it is written."""
        data = self.path("big.bin")
        if not os.path.exists(data):
            with open(data, "wb") as f:
                f.write(bytes(range(256)) * (96 * 1024))
        return self.pack(name, "--store", data)

    def every_command_run(self):
        """One run of each command that prints on standard output."""
        package = self.pack("STARS.EXE")
        linked = os.path.join(os.path.dirname(STUB), "resources", "glimsetup-linked.exe")
        return [
            ["--help"], ["--version"], ["help"], ["help", "help"],
            *[[command, "--help"] for command in commands()],
            *[[command, "--version"] for command in commands()],
            ["list", package], ["list", "--json", package, package], ["test", package],
            ["extract", "-p", package], ["extract", "--dry-run", package],
            ["compress", PROSE, "-"],
            ["pack", "--overwrite", "--stub", STUB, "-o", self.path("P.EXE"), "--title", "T",
             "--scr", SAVER, "--dat", PROSE],
            ["fix-stub", "--overwrite", linked, self.path("fixed.exe")],
        ]


class ExitCodes(Folder):
    # Values an option cannot take, besides none and an empty one.
    BAD_VALUES = {
        "--first-number": ["-1", "65536", "99999999999999999999", "1x", "0x10"],
        "--max-size": ["-1", "1T", "K", "99999999999999999999G", "1.5M"],
        "--size": ["-1", "4G", "1T", "K", "99999999999999999999"],
        "--title": ["tab\there", "two\nlines", "escape\x1b", "x" * 33],
        "--include": ["/", "\\\\", "//"],
        "--depth": ["-1", "65", "x"],
    }

    def valid_run(self, command):
        """Arguments with which `command` would otherwise run, so that the
        option under test is the only mistake."""
        package = self.pack("STARS.EXE")
        return {
            "pack": ["-o", self.path("OUT.EXE"), "--title", "T", "--scr", SAVER, "--dat", PROSE],
            "list": [package], "test": [package], "extract": ["-d", self.path("out"), package],
            "compress": [PROSE, self.path("out.lzs")],
            "decompress": ["--size", "10", PROSE, self.path("out.txt")],
            "fix-stub": [SAVER, self.path("out.exe")], "help": [], "scan": [package],
        }[command]

    def assertUsageError(self, r, *texts):
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        self.assertEqual(r.stderr.count("\n"), 1, r.stderr)
        for text in texts:
            self.assertIn(text, r.stderr)

    def test_every_bad_option_value_of_every_command_is_a_command_line_mistake(self):
        for command in commands():
            valid = self.valid_run(command)
            for option, value in help_options(command):
                with self.subTest(command=command, option=option):
                    if not value:
                        self.assertUsageError(run(command, option + "=x", *valid), option)
                        continue
                    # Missing at the end, and empty: every option with a value.
                    self.assertUsageError(run(command, *valid, option), option)
                    self.assertUsageError(run(command, option + "=", *valid), option)
                    for bad in self.BAD_VALUES.get(option, []):
                        self.assertUsageError(run(command, *valid, option, bad), option)
                self.assertFalse(os.path.exists(self.path("OUT.EXE")))
                self.assertFalse(os.path.exists(self.path("out")))
            with self.subTest(command=command, option="unknown"):
                self.assertUsageError(run(command, "--no-such-option", *valid))

    def test_the_limits_of_a_number_are_taken(self):
        for number in ("0", "65535"):
            with self.subTest(number=number):
                r = run("pack", "-q", "--stub", STUB, "-o", self.path("N%s.EXE" % number),
                        "--title", "T", "--first-number", number, "--scr", SAVER, "--dat", PROSE,
                        PROSE)
                self.assertEqual(r.returncode, 0, r.stderr)

    def test_standard_input_is_refused_as_a_package_in_a_sentence(self):
        package = self.pack("STARS.EXE")
        for command in (["list"], ["test"], ["extract", "-d", self.path("out")]):
            with self.subTest(command=command[0]):
                with open(package, "rb") as f:
                    r = subprocess.run([GLIMPACK, *command, "-"], stdin=f, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, text=True, timeout=300)
                self.assertUsageError(r, "standard input", "save it to a file")
        self.assertFalse(os.path.exists(self.path("out")))

    def test_quiet_prints_nothing_about_what_went_well_in_every_command(self):
        package = self.pack("STARS.EXE")
        self.pack("OTHER.EXE")
        runs = {
            "pack": ["-o", self.path("Q.EXE"), "--title", "T", "--scr", SAVER, "--dat", PROSE],
            "list": [package, self.path("OTHER.EXE")],
            "test": [package, self.path("OTHER.EXE")],
            "extract": ["-d", self.path("out"), package, self.path("OTHER.EXE")],
            "compress": [PROSE, self.path("p.lzs")],
            "fix-stub": [os.path.join(os.path.dirname(STUB), "resources",
                                      "glimsetup-linked.exe"), self.path("fixed.exe")],
        }
        for command, args in runs.items():
            with self.subTest(command=command):
                r = run(command, "-q", *args)
                self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
        r = run("decompress", "-q", "--size", str(os.path.getsize(PROSE)), self.path("p.lzs"),
                self.path("p.txt"))
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, "", ""))
        self.assertIn("decompress", commands())
        # What is wrong is still said.
        with open(package, "rb") as f:
            cut = f.read()[:-3000]
        with open(self.path("CUT.EXE"), "wb") as f:
            f.write(cut)
        for command in ("list", "test"):
            with self.subTest(command=command, package="cut"):
                r = run(command, "-q", package, self.path("CUT.EXE"))
                self.assertEqual(r.returncode, 2)
                self.assertIn("CUT.EXE", r.stdout + r.stderr)
                self.assertNotIn("STARS.EXE", r.stdout + r.stderr)


class StandardOutput(Folder):
    def test_a_full_standard_output_is_said_once_and_exits_2_in_every_command(self):
        with open("/dev/full", "w") as full:
            for args in self.every_command_run():
                with self.subTest(args=args):
                    r = run(*args, stdout=full)
                    self.assertEqual(r.returncode, 2, r.stderr)
                    self.assertEqual(r.stderr, "glimpack: standard output: write error: "
                                     "No space left on device\n")

    def read_ten_bytes_and_close(self, args):
        p = subprocess.Popen([GLIMPACK, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(len(p.stdout.read(10)), 10)
        p.stdout.close()
        err = p.stderr.read()
        p.stderr.close()
        return p.wait(timeout=300), err

    def test_a_reader_that_goes_away_ends_the_run_with_2_and_no_message(self):
        big = self.big()
        with open(self.path("big.lzs"), "wb") as f:
            subprocess.run([GLIMPACK, "compress", "-q", "--greedy", self.path("big.bin"), "-"],
                           stdout=f, check=True, timeout=300)
        size = str(os.path.getsize(self.path("big.bin")))
        many = [self.pack("SMALL.EXE")] * 500
        for args in (["extract", "-p", big], ["list", *many], ["test", *many],
                     ["list", "--json", *many],
                     ["decompress", "--size", size, self.path("big.lzs"), "-"]):
            with self.subTest(command=args[0]):
                self.assertEqual(self.read_ten_bytes_and_close(args), (2, b""))

    def test_no_file_s_bytes_are_written_onto_a_terminal(self):
        package = self.pack("STARS.EXE")
        leader, follower = pty.openpty()
        try:
            for args in (["extract", "-p", package], ["compress", PROSE, "-"],
                         ["decompress", "--size", "10", PROSE, "-"]):
                with self.subTest(command=args[0]):
                    r = subprocess.run([GLIMPACK, *args], stdout=follower,
                                       stderr=subprocess.PIPE, timeout=300, text=True)
                    self.assertEqual(r.returncode, 1)
                    self.assertIn("terminal", r.stderr)
        finally:
            os.close(follower)
            os.close(leader)


class Messages(Folder):
    def test_the_system_s_own_reason_is_given(self):
        package = self.pack("STARS.EXE")
        os.mkdir(self.path("ro"), 0o555)
        cases = [
            (["extract", "-d", self.path("ro", "sub"), package], None),
            (["extract", "-d", self.path("ro", "a", "b"), package], None),
            (["extract", package], self.path("ro")),
            (["pack", "--stub", STUB, "-o", self.path("ro", "X.EXE"), "--title", "T",
              "--scr", SAVER, "--dat", PROSE], None),
            (["compress", PROSE, self.path("ro", "p.lzs")], None),
        ]
        for args, cwd in cases:
            with self.subTest(args=args, cwd=cwd):
                r = run(*args, cwd=cwd, user=NOBODY)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertEqual(r.stderr.count("\n"), 1, r.stderr)
                self.assertIn("Permission denied", r.stderr)
        self.assertEqual(os.listdir(self.path("ro")), [])

    def test_help_describes_every_command_help_included(self):
        r = run("help", "help")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(r.stdout.startswith("Usage: glimpack help "))
        self.assertEqual(run("help").stdout, run("--help").stdout)
        r = run("help", "frobnicate")
        self.assertEqual(r.returncode, 1)
        self.assertIn("unknown command 'frobnicate'", r.stderr)


class Habits(Folder):
    def test_extracting_again_into_the_folder_named_after_the_package(self):
        package = self.pack("STARS.EXE")
        first = run("extract", package, cwd=self.dir)
        self.assertEqual(first.returncode, 0, first.stderr)
        # The folder glimpack chose is named in full.
        self.assertIn("to %s\n" % os.path.realpath(self.path("STARS")), first.stdout)
        saver = self.path("STARS", "STARS.SCR")
        with open(saver, "wb") as f:
            f.write(b"changed")
        r = run("extract", package, cwd=self.dir)
        self.assertEqual(r.returncode, 2)
        self.assertIn("--overwrite", r.stderr)
        r = run("extract", "-n", package, cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(saver, "rb") as f:
            self.assertEqual(f.read(), b"changed")
        r = run("extract", "--overwrite", package, cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(saver, "rb") as f, open(SAVER, "rb") as original:
            self.assertEqual(f.read(), original.read())
        self.assertEqual(sorted(os.listdir(self.dir)), ["STARS", "STARS.EXE"])
        # Something else of that name is never extracted into.
        os.rename(self.path("STARS"), self.path("moved"))
        with open(self.path("STARS"), "wb") as f:
            f.write(b"mine")
        r = run("extract", "--overwrite", package, cwd=self.dir)
        self.assertEqual(r.returncode, 2)
        self.assertIn("not a directory", r.stderr)

    def big_file_on_its_way(self):
        for _, _, names in os.walk(self.path("out")):
            if any(name.startswith("FILE0000.BIN.part") for name in names):
                return True
        return False

    def test_an_interrupted_run_says_so_in_its_log(self):
        small = self.pack("SMALL.EXE")
        big = self.big()
        log = self.path("log.txt")
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig), open(log, "w") as out:
                p = subprocess.Popen([GLIMPACK, "extract", "--overwrite", "-d", self.path("out"),
                                      small, big], stdout=out, stderr=subprocess.PIPE)
                # Once the big package's data file is on its way: the small
                # one is done by then.
                deadline = time.monotonic() + 60
                while not self.big_file_on_its_way():
                    if p.poll() is not None or time.monotonic() > deadline:
                        p.kill()
                        self.fail("glimpack ended before it could be interrupted")
                    time.sleep(0.002)
                p.send_signal(sig)
                err = p.stderr.read().decode()
                p.stderr.close()
                self.assertEqual(p.wait(timeout=60), -sig)
            with open(log) as f:
                text = f.read()
            self.assertRegex(text, r"^Extracted 2 files, [\d,]+ bytes, to ")
            self.assertTrue(text.endswith("glimpack extract: interrupted before it finished; "
                                          "nothing half made is left\n"), text)
            self.assertIn("interrupted", err)

    def test_pack_takes_only_names_windows_can_hold_and_one_line_titles(self):
        for name in ("A\\B.EXE", "A:B.EXE", "CON.EXE", "com1.scr", "NAME.EXE.", "NAME.EXE ",
                     "LPT\u00b9.EXE", "a<b.exe", "a|b.exe", "a\"b.exe", "a*b.exe", "a?b.exe"):
            with self.subTest(name=name):
                r = run("pack", "--stub", STUB, "-o", self.path(name), "--title", "T",
                        "--scr", SAVER, "--dat", PROSE)
                self.assertEqual(r.returncode, 2, r.stderr)
                self.assertEqual(r.stderr.count("\n"), 1, r.stderr)
                self.assertIn("Windows", r.stderr)
                self.assertFalse(os.path.exists(self.path(name)))
        # A blank before the extension is a name Windows keeps as it is.
        self.pack("TRAIL .EXE")
        for title in ("tab\there", "line\nbreak", "carriage\rreturn", "bell\x07"):
            with self.subTest(title=title):
                r = run("pack", "--stub", STUB, "-o", self.path("T.EXE"), "--title", title,
                        "--scr", SAVER, "--dat", PROSE)
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn("control character", r.stderr)
                self.assertFalse(os.path.exists(self.path("T.EXE")))


if __name__ == "__main__":
    unittest.main()
