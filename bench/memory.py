#!/usr/bin/env python3
"""Peak memory and wall time of `glimpack compress` and `glimpack pack`.

    bench/memory.py [--before BUILD_DIR] [--after BUILD_DIR] [--sizes 64,512]
                    [--modes default,best] [--stub FILE] [--work DIR]

For inputs of each size (MiB): one that compresses (tests/data/prose.txt
repeated) and one that does not (pseudo-random bytes from a fixed seed),
it runs `compress` and `pack` (the input as the data file beside a small
saver) in each mode, with each build, and prints one table: the peak
resident size (GNU time's %M, the largest RSS of the command's own process),
the wall time and the CPU time (user and system; steadier than the wall
time when others share the machine). With --before, a second build is measured the same way
and the table says whether both made the same output (SHA-256).

The builds are native-release folders (BUILD_DIR/tools/glimpack); --after
defaults to build/native-release. To compare with an older commit, build it
outside the repository:

    git -C REPO archive COMMIT | tar -x -C /tmp/before
    cmake -S /tmp/before -B /tmp/before/build -G Ninja -DCMAKE_BUILD_TYPE=Release
    cmake --build /tmp/before/build --target glimpack
    bench/memory.py --before /tmp/before/build

The inputs are made once in the work folder (default build/bench-memory)
and kept for the next run; outputs and scratch files go there too and are
removed after each command. 512 MiB inputs take about 1 GiB there, and
`--best` a few hundred MB more while it runs. A run with both sizes takes
some 15 minutes per build on the 2-core build machine.
"""
import argparse
import hashlib
import os
import random
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1 << 20


def make_inputs(work, size_mib):
    """The compressible and the incompressible input of `size_mib` MiB."""
    size = size_mib * MIB
    text = os.path.join(work, "text-%d.txt" % size_mib)
    noise = os.path.join(work, "random-%d.bin" % size_mib)
    if not os.path.exists(text) or os.path.getsize(text) != size:
        with open(os.path.join(ROOT, "tests", "data", "prose.txt"), "rb") as f:
            prose = f.read()
        with open(text + ".part", "wb") as f:
            written = 0
            while written < size:
                piece = prose[: size - written]
                f.write(piece)
                written += len(piece)
        os.replace(text + ".part", text)
    if not os.path.exists(noise) or os.path.getsize(noise) != size:
        rng = random.Random(1)
        with open(noise + ".part", "wb") as f:
            for _ in range(size_mib):
                f.write(rng.randbytes(MIB))
        os.replace(noise + ".part", noise)
    return [("text", text), ("random", noise)]


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(MIB), b""):
            h.update(block)
    return h.hexdigest()


def run(glimpack, command, mode, source, saver, stub, work):
    """Runs one command; returns (peak RSS in KiB, wall s, CPU s, output hash)."""
    output = os.path.join(work, "OUT.EXE" if command == "pack" else "out.lzs")
    if os.path.exists(output):
        os.remove(output)
    if command == "compress":
        args = [glimpack, "compress", "-q"] + (["--best"] if mode == "best" else []) + [source, output]
    else:
        args = [glimpack, "pack", "-q", "-o", output, "--title", "Bench", "--scr", saver,
                "--dat", source, "--stub", stub] + (["--best"] if mode == "best" else [])
    fd, report = tempfile.mkstemp(dir=work, suffix=".time")
    os.close(fd)
    try:
        done = subprocess.run(["/usr/bin/time", "-f", "%M %e %U %S", "-o", report] + args,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            sys.exit("bench/memory.py: %s failed: %s" % (" ".join(args), done.stderr.strip()))
        with open(report) as f:
            peak, wall, user, system = f.read().split()[-4:]
        digest = sha256(output)
    finally:
        os.remove(report)
        if os.path.exists(output):
            os.remove(output)
    return int(peak), float(wall), float(user) + float(system), digest


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--before", help="build folder of the build to compare with")
    parser.add_argument("--after", default=os.path.join(ROOT, "build", "native-release"))
    parser.add_argument("--sizes", default="64,512", help="input sizes in MiB")
    parser.add_argument("--modes", default="default,best")
    parser.add_argument("--stub", default=os.path.join(ROOT, "build", "win32", "glimsetup.exe"))
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "bench-memory"))
    args = parser.parse_args()

    builds = ([("before", args.before)] if args.before else []) + [("after", args.after)]
    for name, folder in builds:
        program = os.path.join(folder, "tools", "glimpack")
        if not os.access(program, os.X_OK):
            sys.exit("bench/memory.py: %s not found (build the native-release preset)" % program)
    if not os.path.isfile(args.stub):
        sys.exit("bench/memory.py: no stub at %s (build the win32 preset or give --stub)"
                 % args.stub)
    if not os.access("/usr/bin/time", os.X_OK):
        sys.exit("bench/memory.py: needs GNU time (/usr/bin/time, Debian package time)")
    os.makedirs(args.work, exist_ok=True)
    saver = os.path.join(ROOT, "tests", "data", "stars.scr")

    head = "%-9s %-8s %-7s %5s" % ("command", "mode", "input", "MiB")
    for name, _ in builds:
        head += " | %14s %7s %7s" % (name + " RSS MiB", "wall s", "CPU s")
    if args.before:
        head += " | %s" % "output"
    print("peak resident memory (MiB), wall and CPU time of each command; %s" % args.after)
    if args.before:
        print("before: %s" % args.before)
    print(head)
    print("-" * len(head))
    sys.stdout.flush()
    for size in [int(s) for s in args.sizes.split(",")]:
        for kind, source in make_inputs(args.work, size):
            for command in ("compress", "pack"):
                for mode in args.modes.split(","):
                    line = "%-9s %-8s %-7s %5d" % (command, mode, kind, size)
                    digests = []
                    for _, folder in builds:
                        peak, wall, cpu, digest = run(os.path.join(folder, "tools", "glimpack"),
                                                      command, mode, source, saver, args.stub,
                                                      args.work)
                        line += " | %14.1f %7.1f %7.1f" % (peak / 1024.0, wall, cpu)
                        digests.append(digest)
                    if args.before:
                        line += " | %s" % ("same" if digests[0] == digests[1] else "DIFFERENT")
                    print(line)
                    sys.stdout.flush()


if __name__ == "__main__":
    main()
