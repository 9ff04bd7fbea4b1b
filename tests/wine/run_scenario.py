#!/usr/bin/python3
"""Runs one end-to-end scenario under Wine and checks what it left behind.

    run_scenario.py --base-prefix DIR --work DIR --artifacts DIR --robot ROBOT.EXE
                    --fixtures DIR [--glimpack TOOL --stub STUB.EXE] SCENARIO.json

A scenario is a JSON object:

    "program":   {"fixture": "dialog_demo.exe"}  a helper of the win32 build, or
                 {"package": {...}}              a package built with glimpack pack
                 (glimpack.exe runs under Wine, in the scenario's prefix):
                   "title", "first_number", "dat" (input), "data": [input, ...],
                   "pack_args": [more glimpack pack options],
                   "sign": "sha256" | "sha1"  the finished package signed by
                   osslsigncode with a throwaway certificate made for the run
                 an input is {"name", "text"} or {"name", "size"} (deterministic bytes);
                 the .SCR is the fixture saver, or with "scr": "stars" the
                 sample saver STARS.SCR of the win32 build, whose package
                 carries by default its own STARS.DAT and FILE0032.BMP
                 {"crafted": FILE}               a ready-made file, copied as it is
                 (crafted bytes no builder would write); a relative FILE is
                 looked for in --crafted-dir, by default the scenario's folder
    "install_as": Windows path the program is copied to and started from
    "screen":    [w, h], 800x600 by default
    "time_limit": seconds the whole run may take (120 by default)
    "before":    [{"path": C:\\..., "text": ...}]  files that exist before the run
    "robot":     the robot's script, one step per string
    "expect":    what must hold afterwards (all keys optional):
      "exit_code"        the program's exit code
      "windows"          one object per "window" step, in order (see window_problems)
      "files"            {C:\\path: "input:scr" | "input:dat" | "input:data0" | ...
                          | {"text": ...} | "before"}  byte-exact contents
      "only_changes"     true: no other file in C: was created, changed or removed
      "absent"           [C:\\path, ...]
      "system_ini_boot"  {"SCRNSAVE.EXE": "short:C:\\windows\\X.SCR" | literal | null}
      "screensave_active"  "1", or "unchanged"
      "saver_started"    "X.SCR" (started once, from the Windows directory) or false
      "watch"            {"GLOMInst": {"seen": true, "ever_visible": false}}
      "contained"        true: nothing in C: changed but files directly in the
                         Windows directory and the data directory
                         QUILLFEN\\GLIMLOOM\\<name> with its two outer folders;
                         the program's folder holds the program alone, unchanged
      "no_crash"         true: no sign of a crash (see wineharness.crash_evidence)
      "start_refused"    true: Wine refuses to start the program (no PE file,
                         headers cut short, a DOS program); no window appears
    Expected texts may contain {total}: the thousands-grouped sum of the input
    sizes, which is what the installer reports.
    "after":     steps run one by one in the same prefix once the program and
                 everything it started have ended (see run_after_step):
      {"run": C:\\path, "args": [...], "robot": [...], "seconds": N, "exit_code": N}
          runs a program with the robot beside it; with "seconds" the program
          must still run after N s (the robot ends it) and is stopped if needed
      {"write": C:\\path, "text": ...}          writes a file
      {"edit": C:\\path, "set": {key: value}}  changes key=value lines of a file
      {"lines": C:\\path, "expect": [line, ...]}  each line must be in the file
      {"extract_matches": C:\\path}  the same glimpack extracts the package, and
          each file it writes must be the same bytes as the one installed
          under that Windows directory
    "expect_problems": [text, ...] makes a scenario that proves the checks: it
    passes only when the problems reported are exactly those that contain
    these texts.

Each scenario gets its own copy of the base prefix, its own virtual display and
its own wineserver, all torn down at the end whatever happens; the runs of a
batch (hostile_batch.py) share one wh.Session instead, restored after each.
Screenshots and the robot's log are kept under ARTIFACTS/<scenario>/.

--program FILE starts FILE instead of building the package (its inputs are
still those the scenario names). --report prints what the run installed.
--interactive uses the display in $DISPLAY and leaves the program's windows to
the person in front of it: the robot only waits for them and takes the
screenshots (the "after" steps still run as written)."""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import time

import wineharness as wh

SCENARIO_TIMEOUT = 120
PROGRAM_GRACE = 8
# Longer than any expect-none of a scenario.
ROBOT_GRACE = 10
SAVER_RECORD = "C:\\GLIMSAVER.RUN"
# A person clicking through the windows gets more time.
INTERACTIVE_TIMEOUT = 1800
PERSON_WAIT = 600
# The robot's steps that answer a window; a person does that in interactive mode.
ROBOT_ACTIONS = ("press", "command", "key", "close", "expect-none", "expect-open")


def person_script(steps):
    """The robot script for a run where a person answers the windows: the
    robot only waits for each window, logs it and asks for its screenshot."""
    out = []
    for step in steps:
        words = step.split()
        if words and words[0] in ROBOT_ACTIONS:
            continue
        if words and words[0] == "window":
            step = " ".join(w for w in step.split(" ") if not w.startswith("timeout="))
            step += " timeout=%d" % PERSON_WAIT
        out.append(step)
    return out


def set_keys(text, values):
    """text with each key=value line of the given keys changed (keys compared
    without regard to case, as the saver reads them); keys not there are
    appended. Line ends are kept."""
    newline = "\r\n" if "\r\n" in text else "\n"
    lines = text.splitlines()
    left = dict((k.lower(), (k, v)) for k, v in values.items())
    for i, line in enumerate(lines):
        key = line.split("=", 1)[0].strip().lower() if "=" in line else None
        if key in left:
            k, v = left.pop(key)
            lines[i] = "%s=%s" % (line.split("=", 1)[0].strip(), v)
    lines += ["%s=%s" % kv for kv in left.values()]
    return newline.join(lines) + newline


def make_input(item, directory):
    path = os.path.join(directory, item["name"])
    if "text" in item:
        data = item["text"].encode("latin-1")
    else:
        # Compressible yet not trivial: words drawn from a small vocabulary,
        # in numbered blocks so that no block repeats the one before.
        rnd = random.Random(item["name"])
        words = [b"glimmer", b"star", b"loom", b"quill", b"fen", b"night", b"\r\n", b" "]
        block = bytearray()
        while len(block) < 65536:
            block += rnd.choice(words)
        blocks = (item["size"] + len(block)) // len(block)
        data = b"".join(b"%08d" % i + bytes(block) for i in range(blocks))[:item["size"]]
    with open(path, "wb") as f:
        f.write(data)
    return path


class LogReader:
    """Hands each complete line the robot appended to its log to a callback."""

    def __init__(self, path, callback):
        self.path = path
        self.callback = callback
        self.offset = 0
        self.pending = b""

    def poll(self):
        if not os.path.exists(self.path):
            return
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            chunk = f.read()
        self.offset += len(chunk)
        self.pending += chunk
        while b"\n" in self.pending:
            line, self.pending = self.pending.split(b"\n", 1)
            self.callback(json.loads(line.decode("latin-1")))


class Run:
    """One scenario: from a file, or given as a dict with its name. With a
    session the run takes place in the session's prefix and display, which
    it leaves restored; otherwise in a prefix and display of its own."""

    def __init__(self, args, scenario_path=None, scenario=None, name=None, session=None):
        self.args = args
        if scenario is None:
            self.name = os.path.splitext(os.path.basename(scenario_path))[0]
            with open(scenario_path) as f:
                self.sc = json.load(f)
            self.scenario_dir = os.path.dirname(os.path.abspath(scenario_path))
        else:
            self.name = name
            self.sc = scenario
            self.scenario_dir = None
        self.session = session
        self.work = os.path.join(args.work, self.name)
        self.prefix = session.prefix if session else os.path.join(self.work, "prefix")
        self.artifacts = os.path.join(args.artifacts, self.name)
        self.inputs = {}
        self.total = 0
        self.xvfb = None
        self.display = None
        self.log_lines = []
        self.problems = []
        self.procs = []
        self.output = None
        self.package = None
        self.exit_code = None
        self.robot_code = None

    # ---- preparation ----

    def prepare(self):
        if not self.session and not os.path.isfile(
                os.path.join(self.args.base_prefix, ".glim-ready")):
            raise wh.HarnessError("base prefix %s is not ready (wine_base_prefix failed?)" %
                                  self.args.base_prefix)
        if os.path.exists(self.work):
            shutil.rmtree(self.work)
        os.makedirs(self.work)
        if os.path.exists(self.artifacts):
            shutil.rmtree(self.artifacts)
        os.makedirs(self.artifacts)
        if not self.session:
            wh.clone_prefix(self.args.base_prefix, self.prefix)
        program = self.build_program()
        dest = wh.resolve(self.prefix, self.sc["install_as"], create_dirs=True)
        shutil.copyfile(program, dest)
        self.before_files = {}
        for item in self.sc.get("before", []):
            p = wh.resolve(self.prefix, item["path"], create_dirs=True)
            data = item["text"].encode("latin-1")
            with open(p, "wb") as f:
                f.write(data)
            self.before_files[item["path"].lower()] = data
        self.write_script("robot.txt", self.sc.get("robot", []), self.args.interactive)
        self.user_reg_before = self.read_prefix_file("user.reg")
        self.snap_before = wh.snapshot(os.path.join(self.prefix, "drive_c"))
        self.tree_before = wh.tree_snapshot(os.path.join(self.prefix, "drive_c"))

    def build_program(self):
        program = self.sc["program"]
        if "fixture" in program:
            path = os.path.join(self.args.fixtures, program["fixture"])
            if not os.path.isfile(path):
                raise wh.HarnessError("missing helper %s (build the win32 preset)" % path)
            return path
        if "crafted" in program:
            path = program["crafted"]
            if not os.path.isabs(path):
                path = os.path.join(self.args.crafted_dir or self.scenario_dir or ".", path)
            if not os.path.isfile(path):
                raise wh.HarnessError("missing crafted file %s" % path)
            return path
        pkg = program["package"]
        data = self.package_inputs(pkg)
        if self.args.program:
            if not os.path.isfile(self.args.program):
                raise wh.HarnessError("missing program %s" % self.args.program)
            return self.args.program
        if not self.args.glimpack or not self.args.stub:
            raise wh.HarnessError("a package scenario needs --glimpack and --stub")
        for tool in (self.args.glimpack, self.args.stub):
            if not os.path.isfile(tool):
                raise wh.HarnessError("missing %s" % tool)
        out = os.path.join(self.work, os.path.basename(self.sc["install_as"].replace("\\", "/")))
        cmd = ["pack", "-o", out, "--title", pkg["title"], "--scr", self.inputs["scr"],
               "--dat", self.inputs["dat"], "--stub", self.args.stub]
        if "first_number" in pkg:
            cmd += ["--first-number", str(pkg["first_number"])]
        cmd += pkg.get("pack_args", []) + data
        r = self.run_glimpack(cmd)
        if r.returncode != 0:
            raise wh.HarnessError("glimpack pack failed (%d): %s" % (r.returncode, r.output))
        if "sign" in pkg:
            self.sign(out, pkg["sign"])
        self.package = out
        return out

    def sign(self, package, algorithm):
        """Signs the finished package in place, as a publisher would, with a
        certificate made for this run (valid for two days)."""
        key, cert = (os.path.join(self.work, n) for n in ("sign-key.pem", "sign-cert.pem"))
        signed = package + ".signed"
        for command in (
                ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                 "-out", cert, "-subj", "/CN=Glim Test Signer", "-days", "2"],
                ["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", algorithm,
                 "-in", package, "-out", signed]):
            r = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                               timeout=120)
            if r.returncode != 0:
                raise wh.HarnessError("%s failed (%d): %s" % (command[0], r.returncode,
                                                              r.stdout + r.stderr))
        with open(signed, "rb") as f:
            head = f.read(4096)
        pe = int.from_bytes(head[60:64], "little")
        table_size = int.from_bytes(head[pe + 24 + 132:pe + 24 + 136], "little")
        if table_size == 0:
            raise wh.HarnessError("osslsigncode left %s without a certificate table" % package)
        os.replace(signed, package)

    def run_glimpack(self, args):
        """Runs the scenario's glimpack; glimpack.exe under Wine in the
        scenario's prefix (its output through a file: Wine's background
        services would keep a pipe open after it ended)."""
        command = [self.args.glimpack] + args
        env = None
        if self.args.glimpack.lower().endswith(".exe"):
            command = ["wine"] + command
            env = wh.wine_env(os.path.abspath(self.prefix))
        log = os.path.join(self.work, "glimpack-output.txt")
        with open(log, "w") as f:
            r = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=f,
                               stderr=subprocess.STDOUT, timeout=120)
        if env and not wh.wineserver(self.prefix, "-w", 60):
            raise wh.HarnessError("Wine did not settle after glimpack.exe")
        with open(log, errors="replace") as f:
            r.output = f.read()
        return r

    def package_inputs(self, pkg):
        """Fills self.inputs and self.total; returns the data files in order."""
        indir = os.path.join(self.work, "inputs")
        os.makedirs(indir, exist_ok=True)
        if pkg.get("scr") == "stars":
            samples = self.args.samples or os.path.join(self.args.fixtures, "..", "..",
                                                        "samples", "stars")
            sample = lambda n: os.path.join(samples, n)
            scr = sample("STARS.SCR")
            default_dat = sample("STARS.DAT")
            default_data = [sample("FILE0032.BMP")]
        elif "scr" in pkg:
            raise wh.HarnessError("unknown saver %r (only \"stars\")" % pkg["scr"])
        else:
            scr = os.path.join(self.args.fixtures, "fixture_saver.exe")
            default_dat = default_data = None
        for p in [scr] + (default_data or []) + ([default_dat] if default_dat else []):
            if not os.path.isfile(p):
                raise wh.HarnessError("missing %s (build the win32 preset)" % p)
        self.inputs["scr"] = scr
        if "dat" in pkg:
            self.inputs["dat"] = make_input(pkg["dat"], indir)
        elif default_dat:
            self.inputs["dat"] = default_dat
        else:
            raise wh.HarnessError("the package names no dat")
        if "data" in pkg or default_data is None:
            data = [make_input(d, indir) for d in pkg.get("data", [])]
        else:
            data = default_data
        for i, p in enumerate(data):
            self.inputs["data%d" % i] = p
        self.total = sum(os.path.getsize(p) for p in self.inputs.values())
        return data

    def write_script(self, name, steps, for_a_person=False):
        if for_a_person:
            steps = person_script(steps)
        with open(os.path.join(self.work, name), "w", newline="\r\n") as f:
            f.write("\n".join(steps) + "\n")

    def read_prefix_file(self, name):
        try:
            with open(os.path.join(self.prefix, name), encoding="latin-1") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    # ---- the run ----

    def execute(self):
        limit = self.sc.get("time_limit", SCENARIO_TIMEOUT)
        if self.args.interactive:
            limit = INTERACTIVE_TIMEOUT
        deadline = self.deadline = time.time() + limit
        # A robot that serves ends by itself once every process it follows
        # has ended, however long the saver runs; the run's limit still holds.
        serving = any(step.split()[:1] == ["serve"] for step in self.sc.get("robot", []))
        if self.session:
            self.display = self.session.display
        elif self.args.interactive:
            self.display = os.environ.get("DISPLAY")
            if not self.display:
                raise wh.HarnessError("--interactive needs a display in $DISPLAY")
        else:
            w, h = self.sc.get("screen", [800, 600])
            self.xvfb, number = wh.start_xvfb(w, h)
            self.display = ":%d" % number
        env = self.env = wh.wine_env(self.prefix, self.display)
        log_path = os.path.join(self.work, "robot.log")
        out = self.output = open(os.path.join(self.artifacts, "wine-output.txt"), "w")
        robot = subprocess.Popen(
            ["wine", self.args.robot, wh.to_windows(os.path.join(self.work, "robot.txt")),
             wh.to_windows(log_path)], env=env, cwd=self.work, stdout=out, stderr=out)
        self.procs.append(robot)
        program = None
        self.exit_code = None
        self.robot_code = None
        robot_ended = None
        program_ended = None
        finishing = False
        offset = 0
        pending = b""
        while True:
            if time.time() > deadline:
                self.dump_backtraces(env)
                raise wh.HarnessError("scenario exceeded %d s" % limit)
            if os.path.exists(log_path):
                with open(log_path, "rb") as f:
                    f.seek(offset)
                    chunk = f.read()
                offset += len(chunk)
                pending += chunk
                while b"\n" in pending:
                    line, pending = pending.split(b"\n", 1)
                    self.on_log_line(json.loads(line.decode("latin-1")))
            started = any(e["event"] == "start" for e in self.log_lines)
            if program is None and started:
                program = subprocess.Popen(
                    ["wine", self.sc["install_as"]],
                    env=self.session.program_env() if self.session else env, cwd=self.work,
                    stdout=out, stderr=out)
                self.procs.append(program)
            if program is None and robot.poll() is not None:
                raise wh.HarnessError("the robot ended before it started (code %s)" %
                                      robot.returncode)
            if program is not None and self.exit_code is None and program.poll() is not None:
                self.exit_code = program.returncode
                program_ended = time.time()
                # What a serving robot waits for besides the processes.
                open(os.path.join(self.work, "program.done"), "w").close()
            if (self.robot_code is None and program_ended is not None and not serving
                    and time.time() - program_ended > ROBOT_GRACE):
                # The robot waits for a window that can no longer come.
                self.fail("the robot was still running %d s after the program ended; "
                          "stopped it" % ROBOT_GRACE)
                robot.kill()
                robot.wait(10)
            if self.robot_code is None and robot.poll() is not None:
                self.robot_code = robot.returncode
                robot_ended = time.time()
            if (program is not None and self.exit_code is None and self.robot_code is not None
                    and time.time() - robot_ended > PROGRAM_GRACE):
                # Nobody will answer the program's windows any more. Stop it and
                # still check the rest, so one report shows every fault.
                self.dump_backtraces(env)
                self.fail("the program was still running %d s after the robot ended (robot "
                          "exit code %s); stopped it" % (PROGRAM_GRACE, self.robot_code))
                wh.wineserver(self.prefix, "-k", 20)
                program.wait(10)
                self.exit_code = "none (stopped)"
            if self.exit_code is not None and self.robot_code is not None:
                if finishing:
                    if pending.strip():
                        self.fail("the robot's log ends in an incomplete line: %r" % pending)
                    break
                # One more pass reads what the robot wrote just before it ended.
                finishing = True
                continue
            time.sleep(0.01 if self.session else 0.03)
        if self.session:
            # The session's server never exits; the serving robot has seen
            # every process of the run end.
            return
        # The installer starts the saver and ends; let everything in the
        # prefix finish before looking at the files.
        if not wh.wineserver(self.prefix, "-w", max(5, deadline - time.time())):
            raise wh.HarnessError("processes still running in the prefix at the time limit")

    def dump_backtraces(self, env):
        wh.dump_backtraces(env, os.path.join(self.artifacts, "hang-backtraces.txt"))

    def on_log_line(self, event):
        self.log_lines.append(event)
        if event["event"] == "shot":
            png = os.path.join(self.artifacts, event["name"] + ".png")
            subprocess.run(["import", "-window", "root", "-display", self.display, png],
                           timeout=20, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            open(os.path.join(self.work, event["name"] + ".done"), "w").close()
        elif event["event"] == "error":
            print("robot error, script line %s: %s" % (event["line"], event["message"]))

    # ---- steps after the program ----

    def run_after(self):
        for i, step in enumerate(self.sc.get("after", []), 1):
            label = "after step %d" % i
            if "run" in step:
                self.after_run(i, step)
            elif "write" in step:
                p = wh.resolve(self.prefix, step["write"], create_dirs=True)
                with open(p, "wb") as f:
                    f.write(step["text"].encode("latin-1"))
            elif "edit" in step:
                p = wh.resolve(self.prefix, step["edit"])
                if not os.path.isfile(p):
                    self.fail("%s: no file %s to edit" % (label, step["edit"]))
                    continue
                with open(p, "rb") as f:
                    text = f.read().decode("latin-1")
                with open(p, "wb") as f:
                    f.write(set_keys(text, step["set"]).encode("latin-1"))
            elif "extract_matches" in step:
                self.after_extract_matches(label, step["extract_matches"])
            elif "lines" in step:
                p = wh.resolve(self.prefix, step["lines"])
                if not os.path.isfile(p):
                    self.fail("%s: no file %s" % (label, step["lines"]))
                    continue
                with open(p, "rb") as f:
                    got = f.read().decode("latin-1").splitlines()
                for line in step["expect"]:
                    if line not in got:
                        self.fail("%s: %s has no line %r; its lines are %r" %
                                  (label, step["lines"], line, got))
            else:
                raise wh.HarnessError("%s: unknown step %r" % (label, step))

    def after_extract_matches(self, label, windows_dir):
        """glimpack extract against what the installer wrote: every file
        the same bytes at the same place below the Windows directory."""
        target = os.path.join(self.work, "extracted")
        r = self.run_glimpack(["extract", "-q", "-d", target, self.package])
        if r.returncode != 0:
            self.fail("%s: glimpack extract failed (%d): %s" % (label, r.returncode, r.output))
            return
        extracted = []
        for root, _, files in os.walk(target):
            extracted += [os.path.relpath(os.path.join(root, n), target) for n in files]
        if not extracted:
            self.fail("%s: glimpack extract wrote nothing" % label)
        for rel in sorted(extracted):
            win_path = windows_dir.rstrip("\\") + "\\" + rel.replace("/", "\\")
            installed = wh.resolve(self.prefix, win_path)
            if not os.path.isfile(installed):
                self.fail("%s: %s was extracted but not installed" % (label, win_path))
                continue
            with open(installed, "rb") as a, open(os.path.join(target, rel), "rb") as b:
                if a.read() != b.read():
                    self.fail("%s: %s differs from what the installer wrote" % (label, win_path))

    def after_run(self, i, step):
        """Runs one program in the prefix, with the robot beside it when the
        step has a script, and waits until everything in the prefix ended."""
        label = "after step %d (%s)" % (i, " ".join([step["run"]] + step.get("args", [])))
        out = self.output
        robot = None
        log_path = None
        if step.get("robot"):
            name = "robot-after%d" % i
            self.write_script(name + ".txt", step["robot"])
            log_path = os.path.join(self.work, name + ".log")
            robot = subprocess.Popen(
                ["wine", self.args.robot, wh.to_windows(os.path.join(self.work, name + ".txt")),
                 wh.to_windows(log_path)], env=self.env, cwd=self.work, stdout=out, stderr=out)
            self.procs.append(robot)
            while not os.path.exists(log_path) or os.path.getsize(log_path) == 0:
                if robot.poll() is not None:
                    raise wh.HarnessError("%s: the robot ended before it started" % label)
                if time.time() > self.deadline:
                    raise wh.HarnessError("%s: the robot did not start" % label)
                time.sleep(0.05)
        started = time.time()
        program = subprocess.Popen(["wine", step["run"]] + step.get("args", []), env=self.env,
                                   cwd=self.work, stdout=out, stderr=out)
        self.procs.append(program)
        reader = LogReader(log_path, self.on_log_line) if log_path else None
        seconds = step.get("seconds")
        limit = min(self.deadline, started + step.get("timeout", 60))
        robot_ended = None
        while True:
            if reader:
                reader.poll()
            if robot and robot_ended is None and robot.poll() is not None:
                robot_ended = time.time()
                reader.poll()
                if robot.returncode != 0:
                    self.fail("%s: the robot failed (exit code %s)" % (label, robot.returncode))
            code = program.poll()
            if code is not None and (robot is None or robot_ended is not None):
                break
            if code is None and seconds is not None and robot is None and \
                    time.time() - started >= seconds:
                # A timed run without a robot: it has shown what it should.
                wh.wineserver(self.prefix, "-k", 20)
                program.wait(10)
                code = "stopped"
                break
            if code is None and robot_ended is not None and \
                    time.time() - robot_ended > PROGRAM_GRACE:
                self.fail("%s: still running %d s after the robot ended; stopped it" %
                          (label, PROGRAM_GRACE))
                wh.wineserver(self.prefix, "-k", 20)
                program.wait(10)
                code = "none (stopped)"
                break
            if time.time() > limit:
                self.fail("%s: did not end within %d s; stopped it" %
                          (label, limit - started))
                wh.wineserver(self.prefix, "-k", 20)
                program.wait(10)
                code = "none (stopped)"
                break
            time.sleep(0.03)
        if robot and robot.poll() is None:
            robot.kill()
            robot.wait(10)
        ran = time.time() - started
        if seconds is not None and ran < seconds:
            self.fail("%s: ended after %.1f s, expected it to run at least %s s" %
                      (label, ran, seconds))
        if "exit_code" in step and code != step["exit_code"]:
            self.fail("%s: exit code %s, expected %s" % (label, code, step["exit_code"]))
        if not wh.wineserver(self.prefix, "-w", max(5, self.deadline - time.time())):
            raise wh.HarnessError("%s: processes still running at the time limit" % label)

    # ---- checks ----

    def subst(self, value):
        if isinstance(value, str):
            return value.replace("{total}", wh.format_thousands(self.total))
        return value

    def fail(self, message):
        self.problems.append(message)

    def check(self):
        exp = self.sc.get("expect", {})
        if self.robot_code != 0:
            errors = [e["message"] for e in self.log_lines if e["event"] == "error"]
            self.fail("the robot failed (exit code %s)%s" % (
                self.robot_code, ": " + errors[-1] if errors else ""))
        if "exit_code" in exp and self.exit_code != exp["exit_code"]:
            self.fail("exit code %s, expected %s" % (self.exit_code, exp["exit_code"]))
        windows = [e for e in self.log_lines if e["event"] == "window" and e["step"] != "unexpected"]
        for i, want in enumerate(exp.get("windows", [])):
            if i >= len(windows):
                self.fail("window %d (%r) was never seen" % (i + 1, want.get("caption")))
                continue
            self.problems += wh.window_problems(windows[i], want, self.subst)
        for cls, want in exp.get("watch", {}).items():
            got = [e for e in self.log_lines if e["event"] == "watch" and e["class"] == cls]
            if not got:
                self.fail("no watch report for class %s" % cls)
                continue
            for key, value in want.items():
                if got[0].get(key) != value:
                    self.fail("watch %s: %s is %r, expected %r" % (cls, key, got[0].get(key),
                                                                   value))
        self.check_files(exp)
        self.check_settings(exp)
        self.check_run(exp)

    def wine_output(self):
        if self.output:
            self.output.flush()
        with open(os.path.join(self.artifacts, "wine-output.txt"), encoding="latin-1") as f:
            return f.read()

    def check_run(self, exp):
        """How the program ran: whether Wine started it, whether anything
        crashed, and whether it kept to its directories."""
        drive_c = os.path.join(self.prefix, "drive_c")
        if exp.get("start_refused"):
            if not wh.start_refused(self.wine_output()):
                self.fail("Wine started the program, expected it to refuse")
            windows = [e for e in self.log_lines if e["event"] == "window"]
            if windows:
                self.fail("windows appeared although Wine refused the program: %r" %
                          [w["caption"] for w in windows])
        if exp.get("no_crash"):
            self.problems += wh.crash_evidence(self.wine_output(), self.log_lines)
        if exp.get("contained"):
            folder, _, name = self.sc["install_as"][3:].replace("\\", "/").rpartition("/")
            self.problems += wh.stray_writes(self.tree_before, wh.tree_snapshot(drive_c),
                                             folder, name)

    def expected_bytes(self, source, win_path):
        if source == "before":
            return self.before_files[win_path.lower()]
        if isinstance(source, dict):
            return source["text"].encode("latin-1")
        if isinstance(source, str) and source.startswith("input:"):
            with open(self.inputs[source[len("input:"):]], "rb") as f:
                return f.read()
        raise wh.HarnessError("bad file expectation %r" % (source,))

    def check_files(self, exp):
        drive_c = os.path.join(self.prefix, "drive_c")
        allowed = set()
        for win_path, source in exp.get("files", {}).items():
            p = wh.resolve(self.prefix, win_path)
            allowed.add(os.path.relpath(p, drive_c).lower())
            if not os.path.isfile(p):
                self.fail("missing file %s" % win_path)
                continue
            with open(p, "rb") as f:
                got = f.read()
            want = self.expected_bytes(source, win_path)
            if got != want:
                at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b),
                          min(len(got), len(want)))
                self.fail("%s: %d bytes, expected %d; first difference at byte %d" %
                          (win_path, len(got), len(want), at))
        for win_path in exp.get("absent", []):
            if os.path.exists(wh.resolve(self.prefix, win_path)):
                self.fail("%s exists but should not" % win_path)
        if exp.get("only_changes"):
            if "system_ini_boot" in exp:
                allowed.add("windows/system.ini")
            if exp.get("saver_started"):
                allowed.add(SAVER_RECORD[3:].lower())
            after = wh.snapshot(drive_c)
            extra = [n for n in wh.changed_files(self.snap_before, after) if n not in allowed
                     and not n.startswith("users/")]
            if extra:
                self.fail("unexpected changes in C:: %s" % ", ".join(extra[:20]))

    def check_settings(self, exp):
        if "system_ini_boot" in exp:
            ini_path = wh.resolve(self.prefix, "C:\\windows\\system.ini")
            with open(ini_path, encoding="latin-1") as f:
                boot = wh.parse_ini(f.read()).get("boot", {})
            for key, want in exp["system_ini_boot"].items():
                got = boot.get(key.lower())
                if want is None:
                    if got is not None:
                        self.fail("system.ini [boot] %s=%r should be absent" % (key, got))
                elif want.startswith("short:"):
                    if got is None:
                        self.fail("system.ini [boot] has no %s" % key)
                    else:
                        self.problems += ["system.ini [boot] %s: %s" % (key, p)
                                          for p in wh.check_short_path(got, want[6:])]
                elif got != want:
                    self.fail("system.ini [boot] %s=%r, expected %r" % (key, got, want))
        if "screensave_active" in exp:
            key = "Control Panel\\Desktop"
            got = wh.reg_value(self.read_prefix_file("user.reg"), key, "ScreenSaveActive")
            want = exp["screensave_active"]
            if want == "unchanged":
                want = wh.reg_value(self.user_reg_before, key, "ScreenSaveActive")
            if got != want:
                self.fail("ScreenSaveActive is %r, expected %r" % (got, want))
        if "saver_started" in exp:
            p = wh.resolve(self.prefix, SAVER_RECORD)
            lines = []
            if os.path.isfile(p):
                with open(p, encoding="latin-1") as f:
                    lines = [l for l in f.read().splitlines() if l.strip()]
            want = exp["saver_started"]
            if not want:
                if lines:
                    self.fail("the saver was started: %r" % lines)
            elif len(lines) != 1:
                self.fail("the saver started %d times, expected once: %r" % (len(lines), lines))
            else:
                module = lines[0].split(" | ")[1]
                if module.lower() != ("c:\\windows\\" + want).lower():
                    self.fail("the started saver is %s, expected C:\\windows\\%s" % (module,
                                                                                    want))

    # ---- what was installed ----

    def installed_report(self):
        """What the program left in the prefix, as lines for a person."""
        drive_c = os.path.join(self.prefix, "drive_c")
        after = wh.snapshot(drive_c)
        lines = ["Installed in the Wine prefix %s:" % self.prefix]
        for name in wh.changed_files(self.snap_before, after):
            if name.startswith("users/") or name not in after:
                continue
            path = wh.resolve(self.prefix, "C:\\" + name.replace("/", "\\"))
            win = "C:\\" + os.path.relpath(path, drive_c).replace("/", "\\")
            lines.append("  %10s bytes  %s" % (wh.format_thousands(after[name][0]), win))
        ini = wh.resolve(self.prefix, "C:\\windows\\system.ini")
        if os.path.isfile(ini):
            with open(ini, encoding="latin-1") as f:
                for raw in f.read().splitlines():
                    if raw.strip().lower().startswith("scrnsave.exe"):
                        lines.append("  system.ini [boot] %s" % raw.strip())
        active = wh.reg_value(self.read_prefix_file("user.reg"), "Control Panel\\Desktop",
                              "ScreenSaveActive")
        lines.append("  HKCU\\Control Panel\\Desktop ScreenSaveActive = %s" % active)
        return lines

    # ---- the verdict ----

    def missing_problems(self):
        return [e for e in self.sc.get("expect_problems", [])
                if not any(e in p for p in self.problems)]

    def verdict(self):
        """A normal scenario passes without problems. A scenario of the
        harness's own faults ("expect_problems") passes when exactly the faults
        it names are reported, each matched by a part of its message."""
        expected = self.sc.get("expect_problems", [])
        unknown = [p for p in self.problems if not any(e in p for e in expected)]
        return not unknown and not self.missing_problems()

    # ---- the end ----

    def cleanup(self):
        if self.session:
            if any(p.poll() is None for p in self.procs) or self.robot_code != 0:
                # The run did not end cleanly, and a process of it may still
                # be running: nothing of it may reach the next run.
                self.session.recover()
            for p in self.procs:
                if p.poll() is None:
                    p.kill()
                    p.wait(10)
        else:
            wh.stop_run(self.prefix, self.procs, self.xvfb)
        if self.output:
            self.output.close()
        if os.path.isdir(self.work):
            wh.copy_tree_files(self.work, self.artifacts, ["robot.txt", "robot.log"] + sorted(
                n for n in os.listdir(self.work) if n.startswith("robot-after")))
        saver = os.path.join(self.prefix, "drive_c", "GLIMSAVER.RUN")
        if os.path.isfile(saver):
            shutil.copy2(saver, self.artifacts)
        if self.session:
            self.session.restore()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--base-prefix", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--artifacts", required=True)
    ap.add_argument("--robot", required=True)
    ap.add_argument("--fixtures", required=True)
    ap.add_argument("--glimpack")
    ap.add_argument("--stub")
    ap.add_argument("--samples", help="the win32 build's samples/stars folder (for \"scr\": "
                    "\"stars\"); by default found from --fixtures")
    ap.add_argument("--program", help="start this file instead of building the package")
    ap.add_argument("--crafted-dir", help="where the relative files of \"crafted\" programs "
                    "are (by default the scenario's folder)")
    ap.add_argument("--report", action="store_true",
                    help="print what was installed and the screenshots taken")
    ap.add_argument("--interactive", action="store_true",
                    help="on $DISPLAY; a person answers the program's windows")
    ap.add_argument("--keep", action="store_true",
                    help="keep the work folder (prefix copy, package) also after a pass")
    ap.add_argument("scenario")
    args = ap.parse_args()
    wh.raise_on_signals()
    if not os.path.isfile(args.robot):
        print("%s: missing robot %s (build the win32 preset)" % (args.scenario, args.robot))
        return 1
    run = Run(args, args.scenario)
    start = time.time()
    ok = False
    report = []
    try:
        run.prepare()
        run.execute()
        run.check()
        report = run.installed_report()
        run.run_after()
        ok = run.verdict()
    except (wh.HarnessError, wh.Terminated, subprocess.SubprocessError, OSError,
            KeyError, ValueError) as e:
        run.problems.append("%s: %s" % (type(e).__name__, e))
    finally:
        run.cleanup()
        if ok and not args.keep:
            # The artefacts hold what is worth keeping; a failed run keeps its
            # prefix and package for a closer look.
            shutil.rmtree(run.work, ignore_errors=True)
    for e in run.log_lines:
        if e["event"] == "window":
            print("window %-40r class %-8s rect %s" % (e["caption"], e["class"], e["rect"]))
    expected = run.sc.get("expect_problems", [])
    for p in run.problems:
        known = any(e in p for e in expected)
        print("%s %s: %s" % ("EXPECTED" if known else "FAIL", run.name, p))
    for e in run.missing_problems():
        print("FAIL %s: the fault %r was not reported" % (run.name, e))
    if args.report:
        for line in report:
            print(line)
        shots = [e["name"] for e in run.log_lines if e["event"] == "shot"]
        if shots:
            print("Screenshots in %s: %s" % (run.artifacts, ", ".join(n + ".png" for n in shots)))
    print("%s: %s in %.1f s; artifacts in %s" % (run.name, "passed" if ok else "FAILED",
                                                 time.time() - start, run.artifacts))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
