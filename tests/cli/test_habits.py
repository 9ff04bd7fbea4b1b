"""What people bring from other archive tools, tried on the real program:
several packages per call with a closing summary, choosing files, one file to
standard output, skip-existing, dry runs, verbose names, --version, help,
one-line usage errors, pipes, and progress only where a terminal can show it."""
import json
import os
import pty
import select
import struct
import subprocess
import tempfile
import unittest

GLIMPACK = os.environ.get("GLIMPACK", "glimpack")
STUB = os.environ.get("GLIMPACK_STUB", "")
DATA = os.environ.get("GLIM_TEST_DATA", os.path.join(os.path.dirname(__file__), "..", "data"))


def run(*args, cwd=None, env=None):
    return subprocess.run([GLIMPACK, *args], cwd=cwd, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=300)


class Habits(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="glimpack-habits-")
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def pack(self, name, *files):
        r = run("pack", "-q", "--stub", STUB, "-o", self.path(name), "--title", "Habits",
                "--first-number", "7", "--scr", os.path.join(DATA, "stars.scr"),
                "--dat", os.path.join(DATA, "prose.txt"), *files)
        self.assertEqual(r.returncode, 0, r.stderr)
        return self.path(name)

    def files_below(self, folder):
        found = {}
        for root, _, names in os.walk(folder):
            for name in names:
                with open(os.path.join(root, name), "rb") as f:
                    found[os.path.relpath(os.path.join(root, name), folder)] = f.read()
        return found

    def broken(self):
        with open(self.pack("GOOD.EXE"), "rb") as f:
            data = f.read()
        with open(self.path("BROKEN.EXE"), "wb") as f:
            f.write(data[: len(data) - 5000])
        return self.path("BROKEN.EXE")

    def test_several_packages_are_each_judged_and_summed_up(self):
        a = self.pack("A.EXE", os.path.join(DATA, "runs.bmp"))
        b = self.pack("B.EXE")
        bad = self.broken()
        r = run("test", a, b, bad)
        self.assertEqual(r.returncode, 2)
        out = r.stdout.decode()
        self.assertIn("A.EXE: OK (3 records)", out)
        self.assertIn("B.EXE: OK (2 records)", out)
        self.assertTrue(out.endswith("3 packages: 2 OK, 1 with problems\n"), out)
        # Quiet: what is wrong and nothing else, no summary either.
        r = run("test", "-q", a, b, bad)
        self.assertEqual(r.returncode, 2)
        self.assertNotIn(b": OK", r.stdout)
        self.assertNotIn(b"  OK\n", r.stdout)
        self.assertIn(b"BROKEN.EXE", r.stdout + r.stderr)
        self.assertEqual(run("test", "-q", a, b).stdout, b"")
        self.assertEqual(run("test", "-q", a, b).returncode, 0)
        listing = json.loads(run("list", "--json", a, b).stdout)
        self.assertEqual([p["package"] for p in listing], [a, b])
        self.assertTrue(all(p["ok"] for p in listing))
        # Without -d every package gets its own folder, named after it.
        r = run("extract", "-q", a, b, cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("A.SCR", os.listdir(self.path("A")))
        self.assertIn("B.SCR", os.listdir(self.path("B")))

    def test_digests_for_manifests_agree_with_the_files_written(self):
        import hashlib
        a = self.pack("A.EXE", os.path.join(DATA, "runs.bmp"))
        self.assertEqual(run("extract", "-q", "-d", self.path("out"), a).returncode, 0)
        written = self.files_below(self.path("out"))

        def by_destination(listing):
            return {r["destination"].replace("\\", os.sep): r for r in listing["records"]}

        # SHA-256 by default, in list and test alike; --hash chooses others.
        for command in ("list", "test"):
            records = by_destination(json.loads(run(command, "--json", a).stdout))
            self.assertEqual({k: r["sha256"] for k, r in records.items()},
                             {k: hashlib.sha256(v).hexdigest() for k, v in written.items()})
        records = by_destination(json.loads(run("list", "--json", "--hash", "md5,sha512,md5",
                                                a).stdout))
        for name, data in written.items():
            self.assertEqual(records[name]["md5"], hashlib.md5(data).hexdigest())
            self.assertEqual(records[name]["sha512"], hashlib.sha512(data).hexdigest())
            self.assertNotIn("sha256", records[name])
        none = json.loads(run("test", "--json", "--hash", "none", a).stdout)
        self.assertFalse(any(k.startswith(("sha", "md5")) for r in none["records"] for k in r))
        # Text: list shows the chosen digests under each record only when asked.
        self.assertNotIn(b"sha256:", run("list", a).stdout)
        text = run("list", "--hash", "sha1", a).stdout.decode()
        for data in written.values():
            self.assertIn("       sha1: " + hashlib.sha1(data).hexdigest() + "\n", text)
        # A record whose contents cannot be read has no digest to give.
        broken = json.loads(run("list", "--json", self.broken()).stdout)
        self.assertIn(None, [r["sha256"] for r in broken["records"]])
        r = run("list", "--hash", "crc", a)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"option '--hash' takes \"md5\", \"sha1\", \"sha256\", \"sha384\", "
                      b"\"sha512\" or \"none\", not 'crc'", r.stderr)

    def test_chosen_files_and_standard_output(self):
        package = self.pack("STARS.EXE", os.path.join(DATA, "runs.bmp"),
                            os.path.join(DATA, "random.bin"))
        r = run("extract", "-q", "-d", self.path("out"), "-I", "*.bmp", "--include=STARS/*.DAT",
                package)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(sorted(self.files_below(self.path("out"))),
                         ["QUILLFEN/GLIMLOOM/STARS/FILE0007.BMP",
                          "QUILLFEN/GLIMLOOM/STARS/STARS.DAT"])
        # Anchored: the saver's own path, and nothing else.
        r = run("extract", "-p", "-I", "/stars.scr", package)
        with open(os.path.join(DATA, "stars.scr"), "rb") as f:
            self.assertEqual(r.stdout, f.read())
        # Several files follow one another in record order.
        r = run("extract", "-p", "-I", "FILE*", package)
        with open(os.path.join(DATA, "runs.bmp"), "rb") as f1, \
                open(os.path.join(DATA, "random.bin"), "rb") as f2:
            self.assertEqual(r.stdout, f1.read() + f2.read())
        r = run("extract", "-p", "-I", "*.WAV", package)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b'no file matches "*.WAV"', r.stderr)

    def test_keep_dry_run_and_verbose(self):
        package = self.pack("STARS.EXE", os.path.join(DATA, "runs.bmp"))
        os.makedirs(self.path("out"))
        with open(self.path("out", "STARS.SCR"), "wb") as f:
            f.write(b"mine")
        # A dry run says what the real run would do, refusal included.
        self.assertEqual(run("extract", "--dry-run", "-d", self.path("out"), package).returncode,
                         2)
        r = run("extract", "--dry-run", "-n", "-d", self.path("out"), package)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(list(self.files_below(self.path("out"))), ["STARS.SCR"])
        self.assertIn(b"kept: STARS.SCR", r.stdout)
        self.assertIn(b"QUILLFEN\\GLIMLOOM\\STARS\\FILE0007.BMP", r.stdout)
        self.assertIn(b"Would extract 2 files", r.stdout)
        self.assertEqual(run("extract", "-q", "-d", self.path("out"), package).returncode, 2)
        r = run("extract", "-v", "-n", "-d", self.path("out"), package)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"kept: STARS.SCR", r.stdout)
        self.assertIn(b"QUILLFEN\\GLIMLOOM\\STARS\\STARS.DAT\n", r.stdout)
        files = self.files_below(self.path("out"))
        self.assertEqual(files["STARS.SCR"], b"mine")
        self.assertEqual(len(files), 3)

    def test_version_help_and_one_line_mistakes(self):
        version = run("--version").stdout
        self.assertRegex(version, rb"^glimpack \d+\.\d+\.\d+\n$")
        for command in ("pack", "list", "test", "scan", "extract", "compress", "decompress",
                        "fix-stub"):
            with self.subTest(command=command):
                self.assertEqual(run(command, "--version").stdout, version)
                helped = run("help", command)
                self.assertEqual(helped.returncode, 0)
                self.assertTrue(helped.stdout.startswith(b"Usage: glimpack " + command.encode()))
                self.assertEqual(helped.stdout, run(command, "--help").stdout)
                r = run(command, "--no-such-option")
                self.assertEqual(r.returncode, 1)
                self.assertEqual(r.stderr.count(b"\n"), 1, r.stderr)
                self.assertIn(b"-q", run("help", command).stdout)  # quiet everywhere
        for args in (["frobnicate"], ["help", "frobnicate"], []):
            r = run(*args)
            self.assertEqual(r.returncode, 1)
            self.assertEqual(r.stderr.count(b"\n"), 1, r.stderr)

    def test_options_end_at_a_double_dash(self):
        package = self.pack("-q.EXE")
        r = run("list", "--", "-q.EXE", cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"-q.EXE", r.stdout)

    def slow_package(self):
        """Many copies of one compressed record: seconds of decoding."""
        package = bytearray(open(self.pack("SLOW.EXE"), "rb").read())
        payload = json.loads(run("list", "--json", self.path("SLOW.EXE")).stdout)
        table = payload["payload_offset"] + 34
        record = payload["records"][1]
        body = package[record["offset"]:record["offset"] + record["stored_size"]]
        copies = 1500
        head = package[:table + 32]  # the saver's and the data file's records
        body_start = table + 16 * (2 + copies + 1)
        records = bytearray()
        offset = body_start
        bodies = bytearray()
        for index, r in enumerate(payload["records"]):
            data = package[r["offset"]:r["offset"] + r["stored_size"]]
            records += struct.pack("<III4s", offset, r["stored_size"], r["unpacked_size"],
                                   r["extension"].encode().ljust(4, b"\0"))
            bodies += data
            offset += len(data)
        for _ in range(copies):
            records += struct.pack("<III4s", offset, len(body), record["unpacked_size"], b".TXT")
            bodies += body
            offset += len(body)
        with open(self.path("SLOW.EXE"), "wb") as f:
            f.write(bytes(head[:table]) + bytes(records) + bytes(16) + bytes(bodies))
        return self.path("SLOW.EXE")

    def stderr_on_a_terminal(self, args, term, delay="0"):
        leader, follower = pty.openpty()
        env = dict(os.environ, TERM=term, GLIMPACK_PROGRESS_DELAY=delay)
        p = subprocess.Popen([GLIMPACK, *args], stdout=subprocess.DEVNULL, stderr=follower,
                             env=env, cwd=self.dir)
        os.close(follower)
        seen = b""
        while True:
            ready, _, _ = select.select([leader], [], [], 1)
            if ready:
                try:
                    chunk = os.read(leader, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                seen += chunk
            elif p.poll() is not None:
                break
        os.close(leader)
        self.assertEqual(p.wait(timeout=300), 0, seen)
        return seen

    def test_progress_only_on_a_terminal_that_can_show_it(self):
        # With no delay the line shows at once, so this does not depend on
        # how fast the machine is.
        package = self.slow_package()
        shown = self.stderr_on_a_terminal(["test", package], "xterm")
        self.assertIn(b" left", shown)
        self.assertIn(b"\r", shown)
        self.assertNotIn(b"\x1b", shown)  # no escape sequences at all
        self.assertEqual(self.stderr_on_a_terminal(["test", package], "dumb"), b"")
        self.assertEqual(self.stderr_on_a_terminal(["test", "-q", package], "xterm"), b"")
        # The default second: this much work is not over within it on any
        # machine, and nothing shows before it.
        quick = self.stderr_on_a_terminal(["list", self.pack("QUICK.EXE")], "xterm", "3600")
        self.assertEqual(quick, b"")
        r = run("test", package)  # standard error is a pipe
        self.assertEqual(r.stderr, b"")

    def test_pack_compress_and_decompress_show_progress_too(self):
        big = self.path("big.txt")
        with open(os.path.join(DATA, "prose.txt"), "rb") as f:
            text = f.read()
        with open(big, "wb") as f:
            f.write(text * 8)
        runs = {
            "pack": ["pack", "--stub", STUB, "-o", "P.EXE", "--title", "P", "--scr", big,
                     "--dat", big],
            "compress": ["compress", big, "big.lzs"],
            "decompress": ["decompress", "--size", str(len(text) * 8), "big.lzs", "big.out"],
        }
        for name, args in runs.items():
            with self.subTest(command=name):
                shown = self.stderr_on_a_terminal(args, "xterm")
                self.assertIn(b"%", shown)
                self.assertIn(b" left", shown)
                self.assertTrue(shown.endswith(b"\r"), shown)  # wiped when done
        with open(self.path("big.out"), "rb") as f:
            self.assertEqual(f.read(), text * 8)

    def test_standard_input_and_output_in_compress_and_decompress(self):
        with open(os.path.join(DATA, "prose.txt"), "rb") as f:
            text = f.read()
        made = run("compress", "-q", os.path.join(DATA, "prose.txt"), self.path("file.lzs"))
        self.assertEqual(made.returncode, 0, made.stderr)
        with open(self.path("file.lzs"), "rb") as f:
            stream = f.read()

        def pipe(*args, data):
            return subprocess.run([GLIMPACK, *args], input=data, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, cwd=self.dir, timeout=300)

        # The same stream whichever way it comes and goes; the sizes go to
        # standard error when the stream takes standard output.
        r = pipe("compress", "-", "-", data=text)
        self.assertEqual((r.returncode, r.stdout), (0, stream), r.stderr)
        self.assertIn(b"standard input", r.stderr)
        r = pipe("decompress", "--size", str(len(text)), "-", "-", data=stream)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, text, b""))
        r = pipe("decompress", "-q", "--size", str(len(text)), "-", "out.txt", data=stream)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(self.path("out.txt"), "rb") as f:
            self.assertEqual(f.read(), text)
        self.assertFalse(os.path.exists(self.path("-")))

        # A cut stream from a pipe is found as from a file: exit 2, no file.
        r = pipe("decompress", "--size", str(len(text)), "-", "cut.txt", data=stream[:500])
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"standard input: the stream runs out", r.stderr)
        self.assertFalse(os.path.exists(self.path("cut.txt")))
        # Bytes after the stream are counted although the pipe's length was
        # not known before.
        r = pipe("decompress", "--size", str(len(text)), "-", "-", data=stream + b"tail")
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"4 bytes of the stream were left unread", r.stderr)
        # A file named "-" is reached as ./-.
        with open(self.path("-"), "wb") as f:
            f.write(text)
        r = run("compress", "-q", "./-", "dash.lzs", cwd=self.dir)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(self.path("dash.lzs"), "rb") as f:
            self.assertEqual(f.read(), stream)

    def test_no_compressed_stream_on_a_terminal(self):
        leader, follower = pty.openpty()
        p = subprocess.run([GLIMPACK, "compress", os.path.join(DATA, "prose.txt"), "-"],
                           stdout=follower, stderr=subprocess.PIPE, timeout=300)
        os.close(follower)
        os.close(leader)
        self.assertEqual(p.returncode, 1)
        self.assertIn(b"not written to a terminal", p.stderr)

    def test_pack_reads_pipes_and_stops_one_that_does_not_end(self):
        with open(os.path.join(DATA, "prose.txt"), "rb") as f:
            text = f.read()
        for name, data in (("FROMFILE.EXE", None), ("FROMPIPE.EXE", text)):
            read_end, write_end = os.pipe()
            dat = os.path.join(DATA, "prose.txt") if data is None else "/dev/fd/%d" % read_end
            p = subprocess.Popen([GLIMPACK, "pack", "-q", "--stub", STUB, "-o", name,
                                  "--title", "P", "--scr", os.path.join(DATA, "stars.scr"),
                                  "--dat", dat], cwd=self.dir, pass_fds=(read_end,),
                                 stderr=subprocess.PIPE)
            os.close(read_end)
            if data is not None:
                os.write(write_end, data)
            os.close(write_end)
            _, err = p.communicate(timeout=300)
            self.assertEqual(p.returncode, 0, err)
        with open(self.path("FROMFILE.EXE"), "rb") as a, open(self.path("FROMPIPE.EXE"), "rb") as b:
            self.assertEqual(a.read(), b.read())
        # An endless input is refused once it passes --max-size; nothing is left.
        before = sorted(os.listdir(self.dir))
        r = subprocess.run([GLIMPACK, "pack", "-q", "--stub", STUB, "-o", "ENDLESS.EXE",
                            "--title", "E", "--max-size", "1M", "--scr",
                            os.path.join(DATA, "stars.scr"), "--dat", "/dev/zero"],
                           cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           timeout=300)
        self.assertEqual(r.returncode, 2)
        self.assertIn(b"/dev/zero: more than 1,048,576 bytes, over the limit (see --max-size)",
                      r.stderr)
        self.assertEqual(sorted(os.listdir(self.dir)), before)

if __name__ == "__main__":
    unittest.main()
