#!/usr/bin/python3
"""The whole installer run under Wine, beside the time Wine needs to start a
program that does nothing, in one run on one private virtual display and one
fresh copy of a base prefix.

    bench/wine_run.py [NATIVE_BUILD [WIN32_BUILD]] [-n RUNS] [--sizes MB,MB,...]
                      [--text FILE] [--json FILE] [--keep]

NATIVE_BUILD (default build/native-release) gives glimpack and holds the
cached base prefix under wine-bench/; WIN32_BUILD (default build/win32) gives
the installer stub, the robot, the stand-in saver and the no-op program.

What it does:
1. no-op: `wine noop.exe` start to exit, RUNS times, once with nothing else
   running in the prefix (cold: wineserver and Wine's services start too) and
   once beside an idle robot (warm: the conditions of the installer runs,
   where the answering robot has already brought the prefix up).
2. for each size (MB = 10^6 bytes of data files; 2, 20 and 60 by default):
   a package of the stand-in saver, a small .DAT, one compressible file of
   half the size (a corpus text repeated, compressed by glimpack) and one file
   of random bytes of the other half (stored, as glimpack stores what does
   not compress), installed RUNS times with the robot confirming the dialogs.
   Each run is timed from start to exit, and from the robot's OK in the
   confirmation to the completion message (the extraction, by the robot's
   performance-counter timestamps); the installer's peak memory is read
   from /proc (VmHWM, see timed_run) and, from the Windows side, by the
   robot (GetProcessMemoryInfo at the completion message); the installed
   files are compared with the inputs.
3. one table; the memory of the installer must not grow with the package.

Between the installer runs the installed saver and data directory are removed
again, so every run installs afresh into the same prefix; the wineserver stays
up throughout (the idle robot), so every run sees the same warm Wine.
"""

import argparse
import fcntl
import filecmp
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE_DIR = os.path.join(ROOT, "tests", "wine")
sys.path.insert(0, WINE_DIR)
# No __pycache__ left in the source tree, as with the Wine tests.
sys.dont_write_bytecode = True

import run_scenario  # noqa: E402  (the harness lives beside the Wine tests)
import wineharness as wh  # noqa: E402

TITLE = "Bench"
CAPTION = TITLE + " Screen Saver Installation"
INSTALL_DIR = "C:\\DOWNLOADS"
RUN_LIMIT = 120
NOOP_LIMIT = 30
# How often the robot looks for the completion message while the installer
# extracts: often enough to time the extraction to a few milliseconds, seldom
# enough not to take a core from it on a small machine.
ROBOT_POLL_MS = 5
# How often /proc is read for the installer's memory.
PROC_POLL_S = 0.005
# The installer's peak memory may differ between package sizes by this much
# (page-granular noise of Wine's own allocations) and still count as constant.
CONSTANT_KIB = 512
BASE_STAMP = ".glim-bench-wine"


def log(message):
    print("wine_run: " + message, file=sys.stderr, flush=True)


def now_raw_ms():
    """Wine's QueryPerformanceCounter counts CLOCK_MONOTONIC_RAW, so this is
    the clock of the robot's "ms" timestamps."""
    return time.clock_gettime(time.CLOCK_MONOTONIC_RAW) * 1000.0


def median(values):
    return statistics.median(values) if values else float("nan")


# ---- inputs and packages ---------------------------------------------------------


def corpus_text(explicit):
    """The file whose bytes make the compressible data file, and a label."""
    if explicit:
        return explicit
    corpus = os.environ.get("GLIM_CORPUS") or os.path.join(ROOT, "..", "shared", "corpus")
    path = os.path.join(corpus, "silesia", "dickens.4000000")
    return path if os.path.isfile(path) else None


def write_repeated(source, size, dest):
    """dest of exactly size bytes: source over and over. The copies lie
    megabytes apart, far outside the decoder's 4 KiB window, so each one is
    compressed as fresh text."""
    with open(source, "rb") as f:
        data = f.read()
    if not data:
        raise wh.HarnessError("%s is empty" % source)
    with open(dest, "wb") as out:
        left = size
        while left > 0:
            out.write(data[:left])
            left -= min(left, len(data))


def make_inputs(directory, size, text_source):
    os.makedirs(directory, exist_ok=True)
    text_size = size // 2
    text = os.path.join(directory, "text.TXT")
    if text_source:
        write_repeated(text_source, text_size, text)
    else:
        # No corpus: the harness's own compressible word soup.
        run_scenario.make_input({"name": "text.TXT", "size": text_size}, directory)
    noise = os.path.join(directory, "noise.BIN")
    with open(noise, "wb") as f:
        f.write(random.Random(size).randbytes(size - text_size))
    dat = os.path.join(directory, "bench.DAT")
    with open(dat, "wb") as f:
        f.write(b"[bench]\r\nsize=%d\r\n" % size)
    return dat, [text, noise]


def build_package(args, name, size, workdir, text_source):
    indir = os.path.join(workdir, "inputs-%s" % name)
    dat, data = make_inputs(indir, size, text_source)
    out = os.path.join(workdir, name + ".EXE")
    cmd = [args.glimpack, "pack", "-q", "-o", out, "--title", TITLE, "--scr", args.saver,
           "--dat", dat, "--stub", args.stub] + data
    started = time.perf_counter()
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
    took = time.perf_counter() - started
    if r.returncode != 0:
        raise wh.HarnessError("glimpack pack failed (%d): %s%s" % (r.returncode, r.stdout,
                                                                  r.stderr))
    listing = subprocess.run([args.glimpack, "list", out], capture_output=True, text=True,
                             timeout=60).stdout
    # "compressed" or "stored" for each record line of the listing.
    methods = [next(w for w in line.split() if w in ("compressed", "stored"))
               for line in listing.splitlines()
               if line.strip()[:1].isdigit() and ({"compressed", "stored"} & set(line.split()))]
    return {"path": out, "bytes": os.path.getsize(out), "pack_s": took, "dat": dat,
            "data": data, "methods": methods}


# ---- the Linux side of a Wine process ----------------------------------------------


def proc_status_kib(pid, field):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return None


def proc_cmdline(pid):
    """The command line, its arguments joined by blanks; Wine replaces it by
    the Windows path of the program once the program runs."""
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return b" ".join(a for a in f.read().split(b"\0") if a).decode("latin-1")
    except OSError:
        return None


def pids_running(text, prefix):
    """Processes of this prefix whose command line contains text."""
    want = b"WINEPREFIX=" + os.fsencode(prefix)
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        cmd = proc_cmdline(int(entry))
        if not cmd or text.lower() not in cmd.lower():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                if want in f.read().split(b"\0"):
                    found.append(int(entry))
        except OSError:
            pass
    return found


class MemoryWatch(threading.Thread):
    """Reads VmHWM and VmRSS of one process until it is gone. `wine PROGRAM`
    execs the preloader and then becomes the program in the same process, so
    the pid that Popen returns is the program's; the command lines seen show
    that it did (the program's Windows path replaces wine's own)."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.hwm = 0
        self.rss = 0
        self.cmdlines = []
        self.stop = False

    def run(self):
        while not self.stop:
            hwm = proc_status_kib(self.pid, "VmHWM")
            if hwm is None:
                return
            self.hwm = max(self.hwm, hwm)
            self.rss = max(self.rss, proc_status_kib(self.pid, "VmRSS") or 0)
            cmd = proc_cmdline(self.pid)
            if cmd and cmd not in self.cmdlines:
                self.cmdlines.append(cmd)
            time.sleep(PROC_POLL_S)


class Guard(threading.Thread):
    """Stops the whole prefix when a run takes longer than its limit or when
    give_up() says nobody will answer its windows any more, so that the
    blocking wait for the run ends."""

    def __init__(self, prefix, limit, give_up):
        super().__init__(daemon=True)
        self.prefix = prefix
        self.deadline = time.time() + limit
        self.give_up = give_up
        self.done = threading.Event()
        self.fired = None

    def run(self):
        while not self.done.wait(0.1):
            if time.time() > self.deadline:
                self.fired = "did not end within the time limit"
            elif self.give_up():
                self.fired = "was stopped: nobody answered its windows"
            else:
                continue
            wh.wineserver(self.prefix, "-k", 20)
            return


def timed_run(cmd, env, cwd, out, limit, prefix, give_up=lambda: False):
    """Runs cmd and waits for it: (seconds from start to exit, exit code,
    MemoryWatch). The peak memory is read from /proc and not from wait4's
    ru_maxrss: that is the highest resident size over all the execs of the
    process, and the first image is the forked copy of this script, so it
    reports our own size (tens of MiB after making a package) rather than the
    program's. VmHWM starts afresh at each exec; the last exec is into the
    program itself."""
    guard = Guard(prefix, limit, give_up)
    started = time.perf_counter()
    proc = subprocess.Popen(cmd, env=env, cwd=cwd, stdout=out, stderr=out)
    watch = MemoryWatch(proc.pid)
    watch.start()
    guard.start()
    try:
        _, status, _ = os.wait4(proc.pid, 0)
    finally:
        guard.done.set()
        guard.join(30)
    took = time.perf_counter() - started
    # Popen must not wait for the process reaped here.
    proc.returncode = os.waitstatus_to_exitcode(status)
    watch.stop = True
    watch.join(5)
    if guard.fired:
        raise wh.HarnessError("%s %s" % (" ".join(cmd), guard.fired))
    return took, proc.returncode, watch


# ---- the benchmark -------------------------------------------------------------------


class Bench:
    def __init__(self, args):
        self.args = args
        self.home = os.path.join(args.native, "wine-bench")
        self.base = os.path.join(self.home, "base-prefix")
        self.work = os.path.join(self.home, "work")
        self.prefix = os.path.join(self.work, "prefix")
        self.xvfb = None
        self.env = None
        self.out = None
        self.idler = None
        self.procs = []
        self.failed = False
        self.results = {"runs": args.runs, "noop": {}, "packages": []}

    # ---- setting up ----

    def ensure_base_prefix(self):
        """The base prefix is booted once and kept under the build directory;
        a new Wine version boots it again."""
        version = subprocess.run(["wine", "--version"], capture_output=True, text=True,
                                 timeout=30).stdout.strip()
        stamp = os.path.join(self.base, BASE_STAMP)
        try:
            with open(stamp) as f:
                cached = f.read().strip()
        except OSError:
            cached = None
        if cached == version and os.path.isfile(os.path.join(self.base, ".glim-ready")):
            return
        log("booting the base prefix %s (once)..." % self.base)
        r = subprocess.run([sys.executable, os.path.join(WINE_DIR, "make_prefix.py"), self.base],
                           timeout=300)
        if r.returncode != 0:
            raise wh.HarnessError("make_prefix.py failed for %s" % self.base)
        with open(stamp, "w") as f:
            f.write(version + "\n")

    def setup(self):
        self.ensure_base_prefix()
        if os.path.exists(self.work):
            shutil.rmtree(self.work)
        os.makedirs(self.work)
        wh.clone_prefix(self.base, self.prefix)
        self.xvfb, number = wh.start_xvfb(800, 600)
        self.env = wh.wine_env(self.prefix, number)
        self.out = open(os.path.join(self.work, "wine-output.txt"), "w")

    def start_robot(self, name, steps):
        """Starts the robot with the given script and waits until it runs;
        returns (process, path of its log)."""
        script = os.path.join(self.work, name + ".txt")
        with open(script, "w", newline="\r\n") as f:
            f.write("\n".join(steps) + "\n")
        log_path = os.path.join(self.work, name + ".log")
        if os.path.exists(log_path):
            os.remove(log_path)
        robot = subprocess.Popen(["wine", self.args.robot, wh.to_windows(script),
                                  wh.to_windows(log_path)], env=self.env, cwd=self.work,
                                 stdout=self.out, stderr=self.out)
        self.procs.append(robot)
        deadline = time.time() + NOOP_LIMIT
        while not os.path.exists(log_path) or os.path.getsize(log_path) == 0:
            if robot.poll() is not None:
                raise wh.HarnessError("the robot ended before it started (code %s)" %
                                      robot.returncode)
            if time.time() > deadline:
                raise wh.HarnessError("the robot did not start within %d s" % NOOP_LIMIT)
            time.sleep(0.005)
        return robot, log_path

    # ---- the no-op program ----

    def noop_runs(self, label):
        times, rss = [], []
        for _ in range(self.args.runs):
            took, code, watch = timed_run(["wine", self.args.noop], self.env, self.work,
                                          self.out, NOOP_LIMIT, self.prefix)
            if code != 0:
                raise wh.HarnessError("noop.exe ended with %s" % code)
            times.append(took)
            rss.append(watch.hwm)
            if label == "cold":
                # Stop the prefix, so that the next start is cold again.
                wh.wineserver(self.prefix, "-k", 20)
                wh.wineserver(self.prefix, "-w", 20)
        self.results["noop"][label] = {"times": times, "rss_kib": rss}

    def measure_noop(self):
        log("no-op, cold start: %d runs" % self.args.runs)
        self.noop_runs("cold")
        # From here on an idle robot keeps the prefix up, as the answering
        # robot does for an installer run.
        self.idler, _ = self.start_robot("idle", ["sleep 86400000"])
        log("no-op, beside an idle Wine program: %d runs" % self.args.runs)
        self.noop_runs("warm")

    # ---- the installer ----

    def install_script(self):
        return [
            'window caption="%s" class=#32770 has-text="This program will install" '
            'timeout=60' % CAPTION,
            "press 1",
            'window caption="%s" class=#32770 has-text="Installation Complete!" '
            'timeout=%d poll=%d' % (CAPTION, RUN_LIMIT, ROBOT_POLL_MS),
            "memory",
            "press 1",
            'window caption="Glimmerloom Ordering Info" class=#32770 timeout=60',
            "press 1",
        ]

    def expected_files(self, name, pkg):
        data_dir = "C:\\windows\\QUILLFEN\\GLIMLOOM\\" + name
        files = {"C:\\windows\\%s.SCR" % name: self.args.saver,
                 data_dir + "\\" + name + ".DAT": pkg["dat"]}
        for i, p in enumerate(pkg["data"]):
            ext = os.path.splitext(p)[1].upper()
            files["%s\\FILE%04d%s" % (data_dir, i, ext)] = p
        return files

    def check_installed(self, name, pkg):
        for win, source in self.expected_files(name, pkg).items():
            p = wh.resolve(self.prefix, win)
            if not os.path.isfile(p):
                raise wh.HarnessError("%s was not installed" % win)
            if not filecmp.cmp(p, source, shallow=False):
                raise wh.HarnessError("%s differs from %s" % (win, source))

    def uninstall(self, name):
        """Waits until the saver the installer started has ended, then removes
        what the run installed, so that the next run installs afresh."""
        deadline = time.time() + 20
        record = wh.resolve(self.prefix, "C:\\GLIMSAVER.RUN")
        while not os.path.isfile(record) or pids_running(name + ".SCR", self.prefix):
            if time.time() > deadline:
                raise wh.HarnessError("the saver %s.SCR did not start and end" % name)
            time.sleep(0.02)
        os.remove(record)
        os.remove(wh.resolve(self.prefix, "C:\\windows\\%s.SCR" % name))
        shutil.rmtree(wh.resolve(self.prefix, "C:\\windows\\QUILLFEN\\GLIMLOOM\\" + name))

    def install_once(self, name, pkg, i):
        robot, log_path = self.start_robot("robot-%s-%d" % (name, i), self.install_script())
        events = []
        reader = run_scenario.LogReader(log_path, events.append)
        started_ms = now_raw_ms()

        def robot_failed():
            return robot.poll() not in (None, 0)

        try:
            took, code, watch = timed_run(["wine", INSTALL_DIR + "\\" + name + ".EXE"],
                                          self.env, self.work, self.out, RUN_LIMIT, self.prefix,
                                          give_up=robot_failed)
        finally:
            try:
                robot.wait(30)
            except subprocess.TimeoutExpired:
                robot.kill()
                robot.wait(10)
            reader.poll()
            errors = [e["message"] for e in events if e["event"] == "error"]
            if robot.returncode != 0 or errors:
                raise wh.HarnessError("%s run %d: the robot failed (%s): %s" %
                                      (name, i, robot.returncode, "; ".join(errors)))
        if code != 0:
            raise wh.HarnessError("%s run %d: exit code %s" % (name, i, code))
        if not any(name.lower() in c.lower() for c in watch.cmdlines):
            raise wh.HarnessError("%s run %d: the process watched never became the "
                                  "installer (command lines %r)" % (name, i, watch.cmdlines))
        windows = [e for e in events if e["event"] == "window"]
        acts = [e for e in events if e["event"] == "act"]
        memory = [e for e in events if e["event"] == "memory"]
        # The OK in the confirmation is the first action, the completion
        # message the second window.
        extract = (windows[1]["ms"] - acts[0]["ms"]) / 1000.0
        to_confirm = (windows[0]["ms"] - started_ms) / 1000.0
        self.check_installed(name, pkg)
        self.uninstall(name)
        return {"s": took, "extract_s": extract, "to_confirm_s": to_confirm,
                "vmhwm_kib": watch.hwm, "vmrss_kib": watch.rss,
                "win_peak_ws_kib": memory[0]["peak_working_set"] // 1024,
                "win_peak_pagefile_kib": memory[0]["peak_pagefile"] // 1024}

    def measure_packages(self):
        text = corpus_text(self.args.text)
        self.results["text_source"] = text or "generated words (no corpus found)"
        for mb in self.args.sizes:
            name = "BENCH%d" % mb
            size = mb * 1000 * 1000
            log("package of %d MB: building" % mb)
            pkg = build_package(self.args, name, size, self.work, text)
            dest = wh.resolve(self.prefix, INSTALL_DIR + "\\" + name + ".EXE", create_dirs=True)
            shutil.copyfile(pkg["path"], dest)
            log("package of %d MB (%d bytes): %d installs" % (mb, pkg["bytes"], self.args.runs))
            runs = [self.install_once(name, pkg, i) for i in range(self.args.runs)]
            os.remove(dest)
            self.results["packages"].append({
                "mb": mb, "data_bytes": size, "package_bytes": pkg["bytes"],
                "pack_s": pkg["pack_s"], "methods": pkg["methods"], "runs": runs})

    def cleanup(self):
        wh.stop_run(self.prefix, self.procs, self.xvfb)
        if self.out:
            self.out.close()
        # A failed run keeps its work folder (prefix, packages, robot logs)
        # for a closer look.
        if not self.args.keep and not self.failed and os.path.isdir(self.work):
            shutil.rmtree(self.work, ignore_errors=True)


# ---- the table -------------------------------------------------------------------------


def table(results):
    lines = []
    cold, warm = results["noop"]["cold"], results["noop"]["warm"]
    base = median(warm["times"])
    lines.append("Wine starting a program that does nothing (noop.exe), %d runs each:" %
                 results["runs"])
    for label, r, what in (("cold", cold, "nothing else running in the prefix"),
                           ("warm", warm, "beside an idle Wine program")):
        lines.append("  no-op %-4s median %.3f s  min %.3f s  peak RSS %d KiB  (%s)" %
                     (label, median(r["times"]), min(r["times"]), median(r["rss_kib"]), what))
    # How glimpack packed the text and the random bytes (records 2 and 3).
    methods = results["packages"][-1]["methods"][2:4] if results["packages"] else []
    text_m, noise_m = (methods + ["?", "?"])[:2]
    lines.append("Installing a package, %d runs each; data: half %s repeated (%s), half random "
                 "bytes" % (results["runs"], os.path.basename(results["text_source"]), text_m))
    lines.append("(%s), plus the stand-in saver and a small .DAT:" % noise_m)
    head = ("%7s %10s %9s %7s %7s %8s %9s %9s %9s %9s" %
            ("data MB", "package B", "install s", "min s", "/no-op", "to-box s", "extract s",
             "peak RSS", "win WS", "win priv"))
    lines.append(head)
    lines.append("-" * len(head))
    for p in results["packages"]:
        runs = p["runs"]
        t = median([r["s"] for r in runs])
        lines.append("%7d %10d %9.3f %7.3f %7.1f %8.3f %9.3f %9d %9d %9d" % (
            p["mb"], p["package_bytes"], t, min(r["s"] for r in runs), t / base,
            median([r["to_confirm_s"] for r in runs]), median([r["extract_s"] for r in runs]),
            median([r["vmhwm_kib"] for r in runs]), median([r["win_peak_ws_kib"] for r in runs]),
            median([r["win_peak_pagefile_kib"] for r in runs])))
    lines.append("install s: start to exit (median, and min s); /no-op: over the warm no-op "
                 "median; to-box s: start")
    lines.append("to the confirmation on screen; extract s: the robot's OK to the completion "
                 "message; memory in KiB:")
    lines.append("peak RSS is the installer process's VmHWM (/proc), win WS and win priv its "
                 "peak working set and")
    lines.append("peak private bytes (GetProcessMemoryInfo at the completion message); all "
                 "medians.")
    peaks = [median([r["vmhwm_kib"] for r in p["runs"]]) for p in results["packages"]]
    if len(peaks) > 1:
        spread = max(peaks) - min(peaks)
        results["rss_spread_kib"] = spread
        results["rss_constant"] = spread <= CONSTANT_KIB
        lines.append("Installer peak RSS from %d MB to %d MB of data: %s (spread %d KiB, "
                     "allowed %d KiB)" % (min(p["mb"] for p in results["packages"]),
                                          max(p["mb"] for p in results["packages"]),
                                          "constant" if results["rss_constant"] else
                                          "NOT constant", spread, CONSTANT_KIB))
    return lines


def main():
    ap = argparse.ArgumentParser(description="Times the installer's whole run under Wine.")
    ap.add_argument("native", nargs="?", default=os.path.join(ROOT, "build", "native-release"),
                    help="native build with tools/glimpack (default build/native-release)")
    ap.add_argument("win32", nargs="?", default=os.path.join(ROOT, "build", "win32"),
                    help="win32 build with glimsetup.exe and the Wine helpers (default "
                    "build/win32)")
    ap.add_argument("-n", "--runs", type=int, default=5, help="runs of each measurement")
    ap.add_argument("--sizes", default="2,20,60",
                    help="data sizes of the packages in MB (10^6 bytes), comma-separated")
    ap.add_argument("--text", help="the compressible file repeated into the data (default: "
                    "the corpus's dickens, found through GLIM_CORPUS or beside the source tree)")
    ap.add_argument("--json", help="also write every measurement to this file")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    args = ap.parse_args()
    try:
        args.sizes = [int(s) for s in args.sizes.split(",") if s.strip()]
    except ValueError:
        ap.error("--sizes takes whole numbers of MB, e.g. 2,20,60")
    if args.runs < 1 or not args.sizes or min(args.sizes) < 1:
        ap.error("need at least one run and sizes of at least 1 MB")
    args.native = os.path.abspath(args.native)
    args.win32 = os.path.abspath(args.win32)
    helpers = os.path.join(args.win32, "tests", "wine")
    args.glimpack = os.path.join(args.native, "tools", "glimpack")
    args.stub = os.path.join(args.win32, "glimsetup.exe")
    args.robot = os.path.join(helpers, "robot.exe")
    args.noop = os.path.join(helpers, "noop.exe")
    args.saver = os.path.join(helpers, "fixture_saver.exe")
    for p in (args.glimpack, args.stub, args.robot, args.noop, args.saver):
        if not os.path.isfile(p):
            print("wine_run: missing %s (build the native and win32 builds first: make "
                  "native-release win32)" % p, file=sys.stderr)
            return 2
    if args.text and not os.path.isfile(args.text):
        print("wine_run: --text %s: no such file" % args.text, file=sys.stderr)
        return 2

    wh.raise_on_signals()
    os.makedirs(os.path.join(args.native, "wine-bench"), exist_ok=True)
    # One benchmark per build directory at a time: they share the work folder.
    lock = open(os.path.join(args.native, "wine-bench", "lock"), "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        print("wine_run: another benchmark runs on %s" % args.native, file=sys.stderr)
        return 2
    bench = Bench(args)
    try:
        bench.setup()
        bench.measure_noop()
        bench.measure_packages()
    except (wh.HarnessError, wh.Terminated, subprocess.SubprocessError, OSError,
            KeyError, IndexError, ValueError) as e:
        print("wine_run: %s: %s" % (type(e).__name__, e), file=sys.stderr)
        print("wine_run: the robot's logs and Wine's output are kept in %s" % bench.work,
              file=sys.stderr)
        bench.failed = True
        return 1
    finally:
        bench.cleanup()
    for line in table(bench.results):
        print(line)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(bench.results, f, indent=1)
    return 0 if bench.results.get("rss_constant", True) else 1


if __name__ == "__main__":
    sys.exit(main())
