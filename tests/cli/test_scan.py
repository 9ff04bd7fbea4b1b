"""glimpack scan on collections made here: packages under any name, inside
disk images and archives within archives, damaged ones, inputs that cannot
be read, the JSON Lines, the list of inputs and the README's recipe for
splitting a collection with GNU parallel.

The fixtures are made when the tests run (xorriso, mtools, zip, 7z, tar), so
nothing large is checked in.
"""
import gzip
import json
import os
import pty
import re
import select
import shlex
import shutil
import struct
import subprocess
import tarfile
import tempfile
import unittest

GLIMPACK = os.environ.get("GLIMPACK", "glimpack")
STUB = os.environ.get("GLIMPACK_STUB", "")
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def run(*args, cwd=None, stdin=None):
    return subprocess.run([GLIMPACK, *args], cwd=cwd, input=stdin, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, errors="replace", timeout=300)


def tool(*args, cwd=None):
    subprocess.run(args, cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))


def pseudo_random(size, seed):
    """Deterministic bytes that do not compress (no random step in a test)."""
    out = bytearray()
    state = seed
    while len(out) < size:
        state = (state * 6364136223846793005 + 1442695040888963407) % (1 << 64)
        out += state.to_bytes(8, "little")
    return bytes(out[:size])


class Collection(unittest.TestCase):
    """A scratch folder with packages made by the glimpack under test."""

    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="glimpack-scan-")
        cls.src = os.path.join(cls._tmp.name, "src")
        os.mkdir(cls.src)
        cls.stars = cls.pack("STARS.EXE", "Stars", 1)
        cls.comet = cls.pack("COMET.EXE", "Comet", 2)
        with open(cls.stars, "rb") as f:
            cls.stars_bytes = f.read()
        with open(cls.comet, "rb") as f:
            cls.comet_bytes = f.read()

    @classmethod
    def tearDownClass(cls):
        cls._tmp.cleanup()

    @classmethod
    def pack(cls, name, title, seed):
        scr = os.path.join(cls.src, name + ".scr")
        dat = os.path.join(cls.src, name + ".dat")
        with open(scr, "wb") as f:
            f.write(pseudo_random(9000 + seed, seed))
        with open(dat, "wb") as f:
            f.write(b"settings %d\n" % seed * 200)
        out = os.path.join(cls.src, name)
        subprocess.run([GLIMPACK, "pack", "-q", "--stub", STUB, "-o", out, "--title", title,
                        "--scr", scr, "--dat", dat], check=True)
        return out

    def setUp(self):
        self.dir = tempfile.mkdtemp(dir=self._tmp.name)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def write(self, name, data):
        path = self.path(name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def scan(self, *args, **kw):
        return run("scan", *args, cwd=self.dir, **kw)

    def json_lines(self, out):
        """Every line of standard output is one JSON object."""
        objects = [json.loads(line) for line in out.splitlines()]
        for o in objects:
            self.assertIsInstance(o, dict)
        return {o["location"]: o for o in objects}


class FindsPackagesByContent(Collection):
    def test_under_any_name_at_any_offset_in_images_and_concatenations(self):
        self.write("col/README.TXT", self.stars_bytes)
        self.write("col/deep/er/STARS.EXE", self.stars_bytes)
        self.write("col/raw.img", pseudo_random(4097, 9) + self.comet_bytes + b"\0" * 300)
        self.write("col/two.bin", self.stars_bytes + self.comet_bytes)
        self.write("col/noise.bin", pseudo_random(300000, 5) + b"MZ" + b"\0" * 100 + b"M")
        fat = self.path("col", "floppy.img")
        tool("mformat", "-i", fat, "-f", "1440", "-C", "::")
        tool("mcopy", "-i", fat, self.comet, "::COMET.EXE")
        with open(fat, "rb") as f:
            in_fat = f.read().find(self.comet_bytes)
        self.assertGreater(in_fat, 0)

        r = self.scan("col")
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.splitlines()
        found = [line.split(": ", 1)[0] for line in lines[:-1]]
        self.assertEqual(found, [
            "col/README.TXT",
            "col/deep/er/STARS.EXE",
            "col/floppy.img@%d" % in_fat,
            "col/raw.img@4097",
            "col/two.bin",
            "col/two.bin@%d" % len(self.stars_bytes),
        ])
        self.assertIn('col/README.TXT: "Stars", 2 records, OK (2 records)', r.stdout)
        self.assertIn("col/raw.img@4097: \"Comet\"", r.stdout)
        self.assertRegex(r.stdout, r"raw\.img@4097: .*followed by 300 more")
        self.assertEqual(lines[-1], "6 files, {:,} bytes, 0 archives opened: 6 packages found, "
                         "6 OK, 0 with problems; 0 inputs could not be read".format(
                             sum(os.path.getsize(os.path.join(d, n))
                                 for d, _, ns in os.walk(self.path("col")) for n in ns)))
        # Each is judged under the name of the file holding it.
        j = self.json_lines(self.scan("--json", "col").stdout)
        self.assertEqual(j["col/README.TXT"]["records"][0]["destination"], "README.SCR")
        self.assertEqual(j["col/raw.img@4097"]["offset"], 4097)
        self.assertEqual(j["col/raw.img@4097"]["bytes_after"], 300)

    def test_inside_archives_and_disc_images_each_package_once(self):
        # A zip (stored, so its bytes hold the package as it is) on a CD
        # image, beside the package itself: found through the directories
        # only, never a second time from the raw bytes.
        iso_root = self.path("iso")
        os.makedirs(os.path.join(iso_root, "SHARE"))
        shutil.copy(self.stars, os.path.join(iso_root, "SHARE", "STARS.EXE"))
        tool("zip", "-q", "-0", os.path.join(iso_root, "SHARE", "PACKS.ZIP"), "COMET.EXE",
             cwd=self.src)
        os.makedirs(self.path("col"))
        tool("xorriso", "-as", "mkisofs", "-quiet", "-J", "-R", "-V", "SHAREWARE", "-o",
             self.path("col", "cd.iso"), iso_root)
        # 7z keeps its directory at its end: inside a zip, it is read from a
        # scratch copy; a tar.gz and a lone gzip are read as streams.
        tool("7z", "a", "-bd", self.path("s.7z"), self.stars)
        tool("zip", "-q", "-j", self.path("col", "seven.zip"), self.path("s.7z"))
        with tarfile.open(self.path("col", "both.tar.gz"), "w:gz") as t:
            t.add(self.stars, "a/STARS.EXE")
            t.add(self.comet, "b/COMET.EXE")
        with gzip.open(self.path("col", "COMET.EXE.gz"), "wb") as f:
            f.write(self.comet_bytes)

        r = self.scan("col")
        self.assertEqual(r.returncode, 0, r.stderr)
        found = sorted(line.split(": ", 1)[0] for line in r.stdout.splitlines()[:-1])
        self.assertEqual(found, [
            "col/COMET.EXE.gz!COMET.EXE",
            "col/both.tar.gz!a/STARS.EXE",
            "col/both.tar.gz!b/COMET.EXE",
            "col/cd.iso!SHARE/PACKS.ZIP!COMET.EXE",
            "col/cd.iso!SHARE/STARS.EXE",
            "col/seven.zip!s.7z!STARS.EXE",
        ])
        self.assertRegex(r.stdout.splitlines()[-1], r"^4 files, .* 6 archives opened: 6 packages")
        # The 7z is copied to be read only up to --max-size.
        r = self.scan("--max-size", "4K", "col/seven.zip")
        self.assertEqual(r.returncode, 2)
        self.assertRegex(r.stderr, r"^glimpack: col/seven\.zip!s\.7z: larger than --max-size "
                                   r"\(4,096 bytes\): not copied to be read\n$")
        # --depth 1 opens the outer archives only: the stored zip on the CD
        # is then searched as bytes, the 7z in the zip finds nothing.
        r = self.scan("--depth", "1", "col")
        found = sorted(line.split(": ", 1)[0] for line in r.stdout.splitlines()[:-1])
        self.assertIn("col/cd.iso!SHARE/STARS.EXE", found)
        self.assertTrue(any(f.startswith("col/cd.iso!SHARE/PACKS.ZIP@") for f in found), found)
        self.assertNotIn("col/seven.zip!s.7z!STARS.EXE", found)
        # --depth 0: everything is bytes; the CD's files are found in place.
        r = self.scan("--depth", "0", "col/cd.iso")
        self.assertEqual(len(r.stdout.splitlines()), 3, r.stdout)

    def test_what_no_directory_explains_is_searched_as_bytes(self):
        # A package behind the end of a CD image's file system, where no
        # directory names it; the package the directory names is reported
        # from it alone.
        os.makedirs(self.path("iso"))
        shutil.copy(self.stars, self.path("iso", "STARS.EXE"))
        # Cut short: in the raw bytes it runs on past its file's end.
        self.write("iso/CUT.EXE", self.comet_bytes[:-500])
        tool("xorriso", "-as", "mkisofs", "-quiet", "-J", "-R", "-o", self.path("cd.iso"),
             self.path("iso"))
        with open(self.path("cd.iso"), "rb") as f:
            iso = f.read()
        self.write("col/cd.iso", iso + self.comet_bytes)
        # A zip that cannot be read past its second member (its header
        # claims a name longer than the file, and the central directory is
        # gone): the stored package behind the damage is found in its bytes.
        self.write("src/A.TXT", pseudo_random(5000, 3))
        self.write("src/B.TXT", b"hello\n")
        shutil.copy(self.comet, self.path("src", "COMET.EXE"))
        tool("zip", "-q", self.path("y.zip"), "A.TXT", "B.TXT", cwd=self.path("src"))
        tool("zip", "-q", "-0", self.path("y.zip"), "COMET.EXE", cwd=self.path("src"))
        with open(self.path("y.zip"), "rb") as f:
            z = bytearray(f.read())
        second = z.find(b"PK\x03\x04", 4)
        z[second + 26:second + 28] = b"\xff\x7f"
        damaged = bytes(z[:z.find(b"PK\x01\x02")])
        self.write("col/bad.zip", damaged)

        r = self.scan("col")
        self.assertEqual(r.returncode, 2)
        found = [line.split(": ", 1)[0] for line in r.stdout.splitlines()[:-1]]
        self.assertEqual(found, ["col/bad.zip@%d" % damaged.find(self.comet_bytes),
                                 "col/cd.iso!CUT.EXE", "col/cd.iso!STARS.EXE",
                                 "col/cd.iso@%d" % len(iso)])
        self.assertRegex(r.stderr, r"^glimpack: col/bad\.zip: cannot be read as ZIP.*; its bytes "
                                   r"are searched as they are\n$")
        # Read to its end but for one member's bad CRC: what the directory
        # gave is not found a second time in the bytes.
        with open(self.path("y.zip"), "rb") as f:
            z = bytearray(f.read())
        z[60:400] = bytes(b ^ 0x55 for b in z[60:400])
        self.write("col2/crc.zip", bytes(z))
        r = self.scan("col2")
        self.assertEqual([line.split(": ", 1)[0] for line in r.stdout.splitlines()[:-1]],
                         ["col2/crc.zip!COMET.EXE"])

    def test_links_in_folders_are_not_followed_named_ones_are(self):
        self.write("outside/STARS.EXE", self.stars_bytes)
        os.makedirs(self.path("col"))
        os.symlink(self.path("outside"), self.path("col", "dir-link"))
        os.symlink(self.path("outside", "STARS.EXE"), self.path("col", "file-link"))
        r = self.scan("col")
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith("0 files"), r.stdout)
        r = self.scan("col/file-link")
        self.assertTrue(r.stdout.startswith("col/file-link: \"Stars\""), r.stdout)


class ReportsWhatIsWrong(Collection):
    def test_damaged_packages_and_unreadable_inputs_are_said_once_each(self):
        cut = self.stars_bytes[:-500]
        self.write("col/CUT.EXE", cut)
        self.write("col/img.bin", b"x" * 333 + cut)
        with open(self.path("col", "bad.zip"), "wb") as f:
            f.write(b"PK\x03\x04" + b"\xff" * 200)
        self.write("col/GOOD.EXE", self.comet_bytes)
        r = self.scan("col", "missing")
        self.assertEqual(r.returncode, 2)
        out = r.stdout.splitlines()
        self.assertEqual(len(out), 4, r.stdout)
        self.assertRegex(out[0], r"^col/CUT\.EXE: \"Stars\", 2 records, 2 of 2 records have "
                                 r"problems: body-past-end: record 0: body past the end of the "
                                 r"file .*cut short")
        self.assertRegex(out[2], r"^col/img\.bin@333: \"Stars\", .* have problems")
        self.assertEqual(out[3], "4 files, {:,} bytes, 1 archives opened: 3 packages found, 1 OK, "
                                 "2 with problems; 2 inputs could not be read".format(
                                     2 * len(cut) + 333 + 204 + len(self.comet_bytes)))
        err = r.stderr.splitlines()
        self.assertEqual(len(err), 2, r.stderr)
        self.assertRegex(err[0], r"^glimpack: col/bad\.zip: cannot be read as ZIP")
        self.assertRegex(err[1], r"^glimpack: missing: ")
        # -q: the problems alone, and the errors.
        r = self.scan("-q", "col", "missing")
        self.assertEqual(r.returncode, 2)
        self.assertEqual([line.split(": ")[0] for line in r.stdout.splitlines()],
                         ["col/CUT.EXE", "col/img.bin@333"])

    def test_json_lines_hold_the_list_object_with_its_location(self):
        self.write("col/CUT.EXE", self.stars_bytes[:-500])
        self.write("col/b/disk.img", b"\0" * 77 + self.comet_bytes)
        r = self.scan("--json", "col", "nothing-here")
        self.assertEqual(r.returncode, 2)
        found = self.json_lines(r.stdout)
        self.assertEqual(sorted(found), ["col/CUT.EXE", "col/b/disk.img@77", "nothing-here"])
        # The same object `list --json` gives for the same bytes, plus where
        # they lie.
        self.write("COMET.EXE", self.comet_bytes)
        listed = json.loads(run("list", "--json", "COMET.EXE", cwd=self.dir).stdout)
        got = found["col/b/disk.img@77"]
        for key in ("ok", "problems", "title", "first_file_number", "installed_total",
                    "installer_total", "notes"):
            self.assertEqual(got[key], listed[key], key)
        self.assertEqual([r["crc32"] for r in got["records"]],
                         [r["crc32"] for r in listed["records"]])
        self.assertEqual((got["offset"], got["size"], got["bytes_after"]),
                         (77, len(self.comet_bytes), 0))
        self.assertFalse(found["col/CUT.EXE"]["ok"])
        self.assertTrue(found["col/CUT.EXE"]["problems"])
        missing = found["nothing-here"]
        self.assertEqual(missing["ok"], False)
        self.assertEqual(missing["problems"][0]["code"], "cannot-read")
        # The summary goes to standard error, out of the JSON's way.
        self.assertRegex(r.stderr, r"2 files, .* 2 packages found")

    def test_progress_on_a_terminal_only_wiped_before_each_line(self):
        for i in range(3):
            self.write("col/f%d.bin" % i, pseudo_random(300000, i) + self.stars_bytes)
        leader, follower = pty.openpty()
        env = dict(os.environ, TERM="xterm", GLIMPACK_PROGRESS_DELAY="0")
        p = subprocess.Popen([GLIMPACK, "scan", "col"], stdout=subprocess.PIPE, stderr=follower,
                             env=env, cwd=self.dir)
        os.close(follower)
        shown = b""
        while True:
            ready, _, _ = select.select([leader], [], [], 1)
            if ready:
                try:
                    chunk = os.read(leader, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                shown += chunk
            elif p.poll() is not None:
                break
        os.close(leader)
        out = p.stdout.read()
        p.stdout.close()
        self.assertEqual(p.wait(timeout=300), 0, shown)
        self.assertIn(b" MiB read (", shown)
        self.assertIn(b"packages found", shown)
        self.assertNotIn(b"\x1b", shown)
        self.assertTrue(shown.endswith(b"\r"), shown)  # wiped when done
        self.assertEqual(out.count(b"\n"), 4)
        # Not in a pipe, nor with --json or -q.
        self.assertEqual(self.scan("col").stderr, "")

    def test_usage_mistakes_exit_1(self):
        for args in ([], ["--depth", "x", "."], ["--depth", "65", "."], ["--nope", "."]):
            with self.subTest(args=args):
                r = self.scan(*args)
                self.assertEqual(r.returncode, 1)
                self.assertEqual(len(r.stderr.splitlines()), 1)


class Extracts(Collection):
    def tree(self, top):
        found = {}
        for d, _, names in os.walk(top):
            for n in names:
                with open(os.path.join(d, n), "rb") as f:
                    found[os.path.relpath(os.path.join(d, n), top)] = f.read()
        return found

    def test_each_sound_package_into_a_folder_of_its_own_all_or_nothing(self):
        self.write("col/README.TXT", self.stars_bytes)
        self.write("col/CUT.EXE", self.comet_bytes[:-300])
        self.write("col/disk.img", b"\0" * 99 + self.comet_bytes + b"\0" * 5)
        tool("zip", "-q", self.path("col", "a.zip"), "COMET.EXE", cwd=self.src)
        r = self.scan("--extract", "out", "col")
        self.assertEqual(r.returncode, 2, r.stderr)  # CUT.EXE has problems
        self.assertRegex(r.stdout.splitlines()[-1], r"; 3 extracted, 0 not$")
        self.assertEqual(sorted(os.listdir(self.path("out"))),
                         ["col_README.TXT", "col_a.zip!COMET.EXE", "col_disk.img@99"])
        # What extract writes for the same package under the same name.
        self.write("ref/README.TXT", self.stars_bytes)
        run("extract", "-q", "-d", "ref-out", "ref/README.TXT", cwd=self.dir)
        self.assertEqual(self.tree(self.path("out", "col_README.TXT")),
                         self.tree(self.path("ref-out")))
        self.assertIn("COMET.SCR", self.tree(self.path("out", "col_a.zip!COMET.EXE")))
        self.assertIn("DISK.SCR", self.tree(self.path("out", "col_disk.img@99")))
        # In JSON, where each went.
        j = self.json_lines(self.scan("--json", "--extract", "out2", "col").stdout)
        self.assertEqual(j["col/disk.img@99"]["extracted_to"], "out2/col_disk.img@99")
        self.assertEqual(j["col/disk.img@99"]["records_not_written"], 0)
        self.assertIsNone(j["col/CUT.EXE"]["extracted_to"])
        # Again: every folder exists, nothing is written into one.
        before = self.tree(self.path("out"))
        r = self.scan("--extract", "out", "col")
        self.assertEqual(r.returncode, 2)
        self.assertEqual(len([e for e in r.stderr.splitlines() if "already exists" in e]), 3)
        self.assertEqual(self.tree(self.path("out")), before)
        self.assertEqual(sorted(os.listdir(self.path("out"))),
                         ["col_README.TXT", "col_a.zip!COMET.EXE", "col_disk.img@99"])


    def half_decodable(self):
        """STARS with record 1 (compressed, the last) given 7/8 of its stored
        bytes: found wanting only while it is being written."""
        data = bytearray(self.stars_bytes)
        listed = json.loads(run("list", "--json", self.stars).stdout)
        table = listed["payload_offset"] + 34
        stored = struct.unpack_from("<I", data, table + 16 + 4)[0]
        struct.pack_into("<I", data, table + 16 + 4, stored * 7 // 8)
        return bytes(data)

    def test_salvage_writes_what_decodes_and_names_the_rest(self):
        with open(os.path.join(self.src, "STARS.EXE.scr"), "rb") as f:
            saver = f.read()
        self.write("HALF.EXE", self.half_decodable())
        r = run("extract", "--salvage", "-d", "out", "HALF.EXE", cwd=self.dir)
        self.assertEqual(r.returncode, 2)
        self.assertRegex(r.stderr, r"^glimpack: HALF\.EXE: record 1 \(QUILLFEN.GLIMLOOM.HALF."
                                   r"HALF\.DAT\): not written: its stream reads past the end")
        self.assertEqual(len(r.stderr.splitlines()), 1)
        self.assertIn("; 1 not written", r.stdout)
        # The saver whole; nothing of the data file, nor a folder made for it.
        self.assertEqual(sorted(os.listdir(self.path("out"))), ["HALF.SCR"])
        with open(self.path("out", "HALF.SCR"), "rb") as f:
            self.assertEqual(f.read(), saver)
        # Without --salvage, nothing at all.
        r = run("extract", "-d", "none", "HALF.EXE", cwd=self.dir)
        self.assertEqual(r.returncode, 2)
        self.assertEqual(os.listdir(self.path("none")) if os.path.exists(self.path("none"))
                         else [], [])
        # In a scan: a package of which nothing can be written is not
        # extracted at all.
        self.write("col/HALF.EXE", self.half_decodable())
        self.write("col/CUT.EXE", self.stars_bytes[:-5000])
        r = self.scan("--extract", "found", "--salvage", "col")
        self.assertEqual(r.returncode, 2)
        self.assertEqual(os.listdir(self.path("found")), ["col_HALF.EXE"])
        self.assertEqual(os.listdir(self.path("found", "col_HALF.EXE")), ["HALF.SCR"])
        self.assertIn("col/HALF.EXE: extracted to found/col_HALF.EXE, 1 record not written",
                      r.stdout)
        self.assertIn("col/CUT.EXE: not extracted: found/col_CUT.EXE: no file could be written",
                      r.stderr)
        for args in (["extract", "--salvage", "-p", "HALF.EXE"], ["scan", "--salvage", "col"]):
            self.assertEqual(run(*args, cwd=self.dir).returncode, 1, args)


class RunsJobsSideBySide(Collection):
    """-j N prints, counts and extracts exactly what -j 1 does."""

    def make_collection(self):
        half = Extracts.half_decodable(self)
        for i in range(24):
            data = pseudo_random(2000 + 37 * i, 40 + i)
            kind = i % 6
            if kind == 0:
                data = self.stars_bytes
            elif kind == 1:
                data += self.comet_bytes + data[:100]
            elif kind == 2:
                data = self.stars_bytes[:-700 - i]  # cut short
            elif kind == 3:
                data = half
            elif kind == 4:
                data = self.comet_bytes + self.stars_bytes
            self.write("col/d%02d/F%02d.BIN" % (i // 5, i), data)
        tool("zip", "-q", "-0", self.path("col", "d01", "PACKS.ZIP"), "COMET.EXE", "STARS.EXE",
             cwd=self.src)
        with tarfile.open(self.path("col", "d02", "both.tar.gz"), "w:gz") as t:
            t.add(self.stars, "a/STARS.EXE")
            t.add(self.comet, "b/COMET.EXE")
        with open(self.path("col", "d03", "bad.zip"), "wb") as f:
            f.write(b"PK\x03\x04" + b"\xff" * 200)
        # Two locations that make the same --extract folder: the first one
        # -j 1 meets has it, whichever worker ends first.
        self.write("col/d04/x:y/COMET.EXE", self.comet_bytes)
        self.write("col/d04/x_y/COMET.EXE", self.comet_bytes)

    def test_the_same_output_exit_code_and_folders_as_one_at_a_time(self):
        self.make_collection()
        for args in ([], ["--json"], ["-q"], ["--extract", "out"],
                     ["--json", "--extract", "out", "--salvage"]):
            with self.subTest(args=args):
                results = []
                for jobs in ("1", "4"):
                    r = self.scan("-j", jobs, *args, "col", "missing")
                    tree = Extracts.tree(self, self.path("out"))
                    shutil.rmtree(self.path("out"), ignore_errors=True)
                    results.append((r.returncode, r.stdout, r.stderr, tree))
                self.assertEqual(results[0][0], 2)
                self.assertEqual(results[1], results[0])
                if "-q" not in args:
                    self.assertRegex(results[0][1] + results[0][2], r"3[0-9] packages found")
                if "--extract" in args:
                    self.assertIn("already exists", results[0][2])
                    self.assertTrue(results[0][3])
        for jobs in ("0", "x"):
            self.assertEqual(self.scan("-j", jobs, "col").returncode, 1)


class ListsOfInputs(Collection):
    def make_collection(self):
        names = []
        for i in range(7):
            data = pseudo_random(1000 + i, 20 + i)
            if i % 2 == 0:
                data += (self.stars_bytes if i % 4 == 0 else self.comet_bytes)
            names.append(os.path.relpath(self.write("col/f%d.bin" % i, data), self.dir))
        return names

    def test_files_from_a_file_or_standard_input(self):
        names = self.make_collection()
        self.write("list.txt", ("\n".join(names) + "\n").encode())
        by_list = self.scan("--files-from", "list.txt")
        by_stdin = self.scan("--files-from", "-", stdin="\r\n".join(names))
        by_walk = self.scan("col")
        self.assertEqual(by_list.stdout, by_walk.stdout)
        self.assertEqual(by_stdin.stdout, by_walk.stdout)
        self.assertIn("4 packages found", by_walk.stdout)
        r = self.scan("--files-from", "no-such-list")
        self.assertEqual(r.returncode, 2)

    def test_the_readme_recipe_with_gnu_parallel(self):
        with open(os.path.join(SOURCE, "README.md")) as f:
            readme = f.read()
        recipe = [line.strip() for line in readme.splitlines()
                  if line.startswith("    ") and ("find " in line or "parallel " in line)]
        self.assertEqual(len(recipe), 2, recipe)
        self.make_collection()
        # The README's collection and program, and a split into jobs of two
        # inputs, so that several jobs run here as they would across hosts.
        script = "\n".join(recipe).replace("/srv/collection", "col")
        script = re.sub(r"-N \d+", "-N 2", script).replace(
            "glimpack scan", shlex.quote(GLIMPACK) + " scan")
        subprocess.run(["bash", "-c", script], cwd=self.dir, check=False, timeout=300,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, HOME=self.dir))
        with open(self.path("found.jsonl")) as f:
            split = self.json_lines(f.read())
        whole = self.json_lines(self.scan("--json", "col").stdout)
        self.assertEqual(sorted(split), sorted(whole))
        self.assertEqual(len(whole), 4)


if __name__ == "__main__":
    unittest.main()
