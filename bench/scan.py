#!/usr/bin/env python3
"""glimpack scan over a synthetic collection of about 1.2 GB, against reading
the same inputs without looking at them.

The collection (made once in WORKDIR, reused on later runs): two ISO 9660
images made with xorriso (packages under other names, a zip of packages on
one), deflated zip files, a FAT disk image made with mkfs.fat and mtools with
packages copied in, raw binary filler with packages at odd offsets, text
filler, and 40 packages built with the glimpack under test, 11 of them
damaged (cut short, or with a record pointing past the end).

Measured in the same run, each after one warm-up run so that all come from
the page cache:
  - the reading: `bsdtar -xOf` of every archive and image (libarchive
    reading each member without looking at it), `cat` of every other file;
  - glimpack scan -q -j 1 of the whole collection: wall time, CPU time and
    peak memory (resident set);
  - the same with -j 2: packages checked on two workers while the main
    thread reads on.
Prints the ratios of scan to reading (goal: at most 1.3 at -j 1), the
speed-up of -j 2 over -j 1 (wall time) and scan's summary line, which must
be the same for both.

-j helps where checking, not reading, takes the time: the reading and the
search are one thread's work, the checks are spread. So the speed-up is
measured a second time on a folder of 300 compressed packages (about 60 MB,
most of its time spent decoding), where it shows.

    bench/scan.py [--glimpack PATH] [--stub PATH] [--work DIR]

Not part of `make test`: speed and memory are measured here, never in a test.
"""
import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MB = 1 << 20


def measure(argv, stdout=subprocess.DEVNULL):
    """Wall seconds, CPU seconds (user + system) and peak resident KB, as
    /usr/bin/time reports them for the program alone (the resident set a
    child has before exec is this Python process's, so the rusage of a child
    forked from here would count it)."""
    with tempfile.NamedTemporaryFile("r") as report:
        proc = subprocess.run(["/usr/bin/time", "-o", report.name, "-f", "%e %U %S %M", *argv],
                              stdout=stdout, stderr=subprocess.PIPE)
        wall, user, system, rss = report.read().split()[-4:]
    err = proc.stderr.decode(errors="replace")
    return float(wall), float(user) + float(system), int(rss), proc.returncode, err


def run_quiet(*argv, cwd=None):
    subprocess.run(argv, cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))


def make_packages(glimpack, stub, gen, rng):
    packages = []
    for i in range(40):
        scr = os.path.join(gen, "p%d.scr" % i)
        dat = os.path.join(gen, "p%d.dat" % i)
        with open(scr, "wb") as f:
            f.write(rng.randbytes(rng.randrange(20000, 400000)))
        with open(dat, "wb") as f:
            f.write(("level %d\n" % i).encode() * rng.randrange(100, 5000))
        out = os.path.join(gen, "SAVER%02d.EXE" % i)
        run_quiet(glimpack, "pack", "-q", "--stub", stub, "-o", out, "--title",
                  "Saver %d" % i, "--scr", scr, "--dat", dat)
        with open(out, "rb") as f:
            data = bytearray(f.read())
        if i % 7 == 3:  # cut short
            data = data[:len(data) - 1000]
        elif i % 7 == 5:  # record 1 points past the end
            payload = data.rfind(b"Saver %d" % i)
            struct.pack_into("<I", data, payload + 34 + 16, len(data) + 5000)
        packages.append(bytes(data))
    return packages


def filler_binary(rng, size):
    return rng.randbytes(size)


def filler_text(size):
    with open(os.path.join(ROOT, "README.md"), "rb") as f:
        text = f.read()
    return (text * (size // len(text) + 1))[:size]


def build_collection(glimpack, stub, work):
    col = os.path.join(work, "collection")
    if os.path.isdir(col):
        return col
    gen = os.path.join(work, "gen")
    os.makedirs(gen, exist_ok=True)
    rng = random.Random(27)
    pk = make_packages(glimpack, stub, gen, rng)
    tmp = col + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)

    # CD 1: binary filler and packages under other names, a zip of packages.
    cd1 = os.path.join(gen, "cd1")
    os.makedirs(os.path.join(cd1, "SAVERS"))
    for i in range(8):
        with open(os.path.join(cd1, "DATA%d.BIN" % i), "wb") as f:
            f.write(filler_binary(rng, 30 * MB))
    for i in range(0, 8):
        with open(os.path.join(cd1, "SAVERS", "README%d.TXT" % i), "wb") as f:
            f.write(pk[i])
    with zipfile.ZipFile(os.path.join(cd1, "SAVERS", "MORE.ZIP"), "w",
                         zipfile.ZIP_DEFLATED) as z:
        for i in range(8, 14):
            z.writestr("S%d.EXE" % i, pk[i])
    run_quiet("xorriso", "-as", "mkisofs", "-quiet", "-J", "-R", "-o",
              os.path.join(tmp, "cd1.iso"), cd1)
    shutil.rmtree(cd1)
    # CD 2: text filler and packages.
    cd2 = os.path.join(gen, "cd2")
    os.makedirs(cd2)
    for i in range(4):
        with open(os.path.join(cd2, "TEXT%d.TXT" % i), "wb") as f:
            f.write(filler_text(40 * MB))
    for i in range(14, 20):
        with open(os.path.join(cd2, "P%d.EXE" % i), "wb") as f:
            f.write(pk[i])
    run_quiet("xorriso", "-as", "mkisofs", "-quiet", "-J", "-R", "-o",
              os.path.join(tmp, "cd2.iso"), cd2)
    shutil.rmtree(cd2)
    # Zips: deflated text and stored binary, with packages.
    for n, (lo, hi) in enumerate([(20, 24), (24, 28)]):
        with zipfile.ZipFile(os.path.join(tmp, "mirror%d.zip" % n), "w") as z:
            z.writestr(zipfile.ZipInfo("bin/blob.bin"), filler_binary(rng, 60 * MB))
            z.writestr("txt/notes.txt", filler_text(60 * MB), zipfile.ZIP_DEFLATED)
            for i in range(lo, hi):
                z.writestr("pkgs/SAVER%02d.EXE" % i, pk[i], zipfile.ZIP_DEFLATED)
    # A FAT disk image with packages among other files.
    fat = os.path.join(tmp, "disk.img")
    run_quiet("mkfs.fat", "-C", fat, str(128 * 1024))
    for i in range(28, 34):
        name = os.path.join(gen, "F%d.EXE" % i)
        with open(name, "wb") as f:
            f.write(pk[i])
        run_quiet("mcopy", "-i", fat, name, "::F%d.EXE" % i)
    filler = os.path.join(gen, "fill.bin")
    with open(filler, "wb") as f:
        f.write(filler_binary(rng, 50 * MB))
    run_quiet("mcopy", "-i", fat, filler, "::FILL.BIN")
    # Raw binary with packages at odd offsets, and plain text.
    with open(os.path.join(tmp, "raw.bin"), "wb") as f:
        for i in range(34, 40):
            f.write(filler_binary(rng, 40 * MB + 2 * i + 1))
            f.write(pk[i])
        f.write(filler_binary(rng, 10 * MB))
    with open(os.path.join(tmp, "notes.txt"), "wb") as f:
        f.write(filler_text(100 * MB))
    shutil.rmtree(gen)
    os.rename(tmp, col)
    return col


def build_many(glimpack, stub, work):
    """A folder of 300 packages whose records are compressed: decoding them
    is most of a scan's work."""
    many = os.path.join(work, "many")
    if os.path.isdir(many):
        return many
    gen = os.path.join(work, "gen-many")
    os.makedirs(gen, exist_ok=True)
    tmp = many + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    rng = random.Random(2)
    text = filler_text(4 * MB)
    for i in range(30):
        scr = os.path.join(gen, "m%d.scr" % i)
        start = rng.randrange(0, len(text) - MB)
        with open(scr, "wb") as f:
            f.write(text[start:start + MB])
        out = os.path.join(gen, "M%02d.EXE" % i)
        dat = os.path.join(gen, "m%d.dat" % i)
        with open(dat, "wb") as f:
            f.write(b"speed %d\n" % i)
        run_quiet(glimpack, "pack", "-q", "--stub", stub, "-o", out, "--title", "Many %d" % i,
                  "--scr", scr, "--dat", dat)
        for copy in range(10):
            shutil.copy(out, os.path.join(tmp, "M%02d_%d.EXE" % (i, copy)))
    shutil.rmtree(gen)
    os.rename(tmp, many)
    return many


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--glimpack", default=os.path.join(ROOT, "build/native-release/tools/glimpack"))
    ap.add_argument("--stub", default=os.path.join(ROOT, "build/win32/glimsetup.exe"))
    ap.add_argument("--work", default=os.path.join(ROOT, "build/bench-scan"))
    args = ap.parse_args()
    for tool in ("xorriso", "mcopy", "mkfs.fat", "bsdtar"):
        if not shutil.which(tool):
            sys.exit("bench/scan.py: %s is missing (cmake/ensure-deps.sh installs it)" % tool)
    col = build_collection(args.glimpack, args.stub, args.work)
    files = sorted(os.path.join(col, n) for n in os.listdir(col))
    total = sum(os.path.getsize(f) for f in files)
    print("collection: %s, %d files, %.2f GB" % (col, len(files), total / 1e9))

    def read_all():
        wall = cpu = 0.0
        for f in files:
            if f.endswith((".iso", ".zip")):
                argv = ["bsdtar", "-xOf", f]
            else:
                argv = ["cat", f]
            w, c, _, code, err = measure(argv)
            if code != 0:
                sys.exit("bench/scan.py: %s failed: %s" % (argv, err))
            wall += w
            cpu += c
        return wall, cpu

    scan = [args.glimpack, "scan", "-q", "-j", "1", col]
    scan2 = [args.glimpack, "scan", "-q", "-j", "2", col]
    read_all()
    measure(scan)
    read_wall, read_cpu = read_all()
    wall, cpu, rss, code, err = measure(scan)
    wall2, cpu2, rss2, code2, _ = measure(scan2)

    def summary_of(jobs):
        return subprocess.run([args.glimpack, "scan", "-j", jobs, col], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True).stdout.splitlines()

    summary, summary2 = summary_of("1"), summary_of("2")
    print("reading (bsdtar -xOf / cat): %.2f s wall, %.2f s CPU" % (read_wall, read_cpu))
    print("glimpack scan -j 1:          %.2f s wall, %.2f s CPU, peak %.1f MB, exit %d"
          % (wall, cpu, rss / 1024, code))
    print("glimpack scan -j 2:          %.2f s wall, %.2f s CPU, peak %.1f MB, exit %d"
          % (wall2, cpu2, rss2 / 1024, code2))
    print("ratio: %.2fx wall, %.2fx CPU (goal <= 1.3x)" % (wall / read_wall, cpu / read_cpu))
    print("-j 2 speed-up: %.2fx wall (ratio to reading %.2fx)" % (wall / wall2, wall2 / read_wall))
    print("summary: " + (summary[-1] if summary else "(none)"))
    if summary != summary2 or code != code2:
        sys.exit("bench/scan.py: -j 2 printed something else than -j 1")

    many = build_many(args.glimpack, args.stub, args.work)
    many1 = [args.glimpack, "scan", "-q", "-j", "1", many]
    many2 = [args.glimpack, "scan", "-q", "-j", "2", many]
    measure(many1)
    m_wall, m_cpu, m_rss, _, _ = measure(many1)
    m_wall2, m_cpu2, m_rss2, _, _ = measure(many2)
    print("300 compressed packages, -j 1: %.2f s wall, %.2f s CPU, peak %.1f MB"
          % (m_wall, m_cpu, m_rss / 1024))
    print("300 compressed packages, -j 2: %.2f s wall, %.2f s CPU, peak %.1f MB"
          % (m_wall2, m_cpu2, m_rss2 / 1024))
    print("-j 2 speed-up where checking dominates: %.2fx wall" % (m_wall / m_wall2))


if __name__ == "__main__":
    main()
