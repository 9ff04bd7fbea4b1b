#!/usr/bin/python3
"""Every package of the hostile table through the real installer under Wine.

    hostile_batch.py --base-prefix DIR --work DIR --artifacts DIR --robot ROBOT.EXE
                     --write-cases TOOL --stub GLIMSETUP.EXE [--only ID ...]
                     [--time-limit SECONDS]
    hostile_batch.py --base-prefix DIR --work DIR --artifacts DIR --robot ROBOT.EXE
                     --controls FIXTURES_DIR

write_cases builds each crafted package on the real glimsetup.exe, so that
each is a program Wine can try to start. Each runs twice: in a clean prefix,
and beside an older saver of the name the installer looks for, so that the
replace question comes up too. The robot answers whatever appears (every box
the installer can show, and Wine's crash windows) and follows every process
the run starts until all have ended. Each run must

- end within the time limit, with exit code 0 and no sign of a crash;
- change nothing in C: but files directly in the Windows directory and the
  data directory (windows/QUILLFEN/GLIMLOOM/<name>), its own folder holding
  the package alone, unchanged.

The cases Wine refuses to start at all are listed below with the reason; for
them Wine must refuse, and nothing may change. A case that fails in a known
way is listed with the problems it shows, and is reported as an expected
failure until it no longer shows them.

With --controls the batch runs a faulty stand-in instead (misbehave.exe of
the win32 build, one fault per file name): each control passes only when
exactly its fault is reported, so that a check that no longer sees what it
looks for fails.

All runs share one prefix, display and wineserver (wh.Session); the prefix's
drive_c is restored after each run. The table printed at the end gives each
run's outcome and the dialogs it reached; the artefacts of every run (the
robot's script and log, Wine's output, what changed) are kept under
ARTIFACTS/hostile/<case>.<variant>/ (ARTIFACTS/controls/ for the controls).
The work folder (the prefix, the cases) is removed after a batch that passed
unless --keep is given."""

import argparse
import csv
import os
import shutil
import subprocess
import sys
import time

import run_scenario as rs
import wineharness as wh

# Generous: a run takes about a second; only a hang comes near it.
TIME_LIMIT = 60

# Where each package is started from.
PACKAGE_FOLDER = "C:\\GET"

# The robot's standing answers: the kind of window each answers, its
# criteria and what it does. The installer's own boxes get the answer that
# goes on with the installation; Wine's crash dialog and its debugger's
# console are closed so that the run ends (the checks report the crash).
ANSWERS = [
    ("replace", 'caption="Replace Screen Saver?"', "press 6"),
    ("rename", 'caption="Rename Installer"', "press 1"),
    ("disk full", 'caption="Disk Full"', "press 1"),
    ("confirmation", 'class=#32770 has-text="This program will install"', "press 1"),
    # The progress box closes itself once the files are written.
    ("progress", 'class=#32770 child=1001 has-text="Installing"', "none"),
    ("completion", 'class=#32770 has-text="Installation Complete!"', "press 1"),
    ("vendor", 'caption="Glimmerloom Ordering Info"', "press 1"),
    ("wine crash dialog", 'caption="Program Error"', "close"),
    ("wine debugger console", "class=WineConsoleClass", "close"),
]

# The installer's windows in the order a full installation shows them.
DIALOGS = ["replace", "rename", "disk full", "confirmation", "progress", "completion", "vendor"]

# Which dialogs a run reached is read from the installer's own calls, which
# Wine writes down for these functions: the robot cannot be relied on to see
# the progress box, which is up for a few milliseconds when there is
# nothing to write.
RELAY = ["user32.MessageBoxA", "user32.DialogBoxParamA", "kernel32.WinExec"]
# The message boxes by caption or by the start of their text.
MESSAGE_BOXES = [
    ("replace", "caption", "Replace Screen Saver?"),
    ("rename", "caption", "Rename Installer"),
    ("disk full", "caption", "Disk Full"),
    ("confirmation", "text", "This program will install"),
    ("completion", "text", "Installation Complete!"),
]
# The dialogs by template (shell/resource.h).
TEMPLATES = {103: "progress", 104: "vendor"}

VARIANTS = {
    "fresh": "in a clean prefix",
    "older": "beside an older saver of the name the installer looks for",
}

# Cases Wine does not start as a program: none of the installer's code runs.
NOT_STARTED = {
    "not-pe-text": "no MZ header: Wine takes the file for no program at all",
    "empty-file": "an empty file is no program",
    "mz-only": "two bytes: no DOS header, no program",
    "cut-in-dos-header": "the DOS header ends before the PE header's position",
    "cut-in-pe-signature": "no PE signature: Wine hands the file to its 16-bit loader, "
                           "which cannot run it",
    "cut-in-file-header": "the PE file header is cut short: handed to the 16-bit loader, "
                          "which cannot run it",
    "cut-in-optional-header": "the optional header is cut short",
    "cut-in-section-table": "the section table is cut short",
    "cut-in-resource-directory": "the file ends inside the sections' raw data, which the "
                                 "loader refuses (as Windows does)",
    "cut-in-type-directory": "the file ends inside the sections' raw data",
    "cut-in-data-entry": "the file ends inside the sections' raw data",
    "section-count-65535-no-rsrc": "65535 section headers run past the headers and the file",
    "section-count-65535": "65535 section headers run past the headers and the file (the "
                           "installer's own scan would meet .rsrc first; the loader does not "
                           "get that far)",
    "pe-offset-past-end": "the PE header's position lies past the end: Wine takes the file "
                          "for a DOS program, which it cannot run",
}

# Cases that fail in a known way: the problems they show (each a part of a
# reported problem's text) and why. They pass while they fail just so.
KNOWN_FAILURES = {
    "section-count-0": {
        "problems": ["crash:"],
        "expect": {"contained": True, "no_crash": True},
        "why": "with no section headers Wine maps none of the file's code, and the "
               "process faults at its first instruction, outside the installer's code: "
               "none of the installer runs, and it cannot guard against this",
    },
}


# The controls: the file name misbehave.exe runs as, what the run is held
# to, and the faults that must be reported (each a part of a problem's text).
_FULL = {"exit_code": 0, "no_crash": True, "contained": True}
CONTROLS = [
    ("FINE.EXE", _FULL, []),
    # Wine's exit code for a crashed program is not always the same.
    ("CRASH.EXE", {"no_crash": True, "contained": True}, ["crash:"]),
    ("STRAY.EXE", _FULL, ["created outside the installer's directories: STRAY.TXT",
                          "created outside the installer's directories: "
                          "windows/system32/STRAY.DLL"]),
    ("BESIDE.EXE", _FULL, ["created beside the package: GET/BESIDE.TMP"]),
    ("EXIT3.EXE", _FULL, ["exit code 3, expected 0"]),
    ("ODDBOX.EXE", _FULL, ["no answer matched"]),
    ("HANG.EXE", _FULL, ["scenario exceeded"]),
]
# A control that hangs need not wait as long as a hostile package may take.
CONTROL_TIME_LIMIT = 10


def robot_script(time_limit):
    lines = ["watch all"]
    lines += ["answer %s %s" % (criteria, action) for _kind, criteria, action in ANSWERS]
    # The robot gives up a little before the harness does, so that its log
    # names what was still running.
    lines.append("serve until=program timeout=%d" % max(1, time_limit - 5))
    return lines


def older_saver_name(package_name):
    """The saver the installer's existence check looks for in the Windows
    directory: the package name up to its last "." (all of it without one)
    and ".SCR"."""
    base = package_name[:package_name.rfind(".")] if "." in package_name else package_name
    return base + ".SCR"


def scenario(case, variant, cases_dir, time_limit):
    sc = {
        "program": {"crafted": os.path.join(cases_dir, case["file"])},
        "install_as": PACKAGE_FOLDER + "\\" + case["open_as"],
        "time_limit": time_limit,
        "robot": robot_script(time_limit),
    }
    if variant == "older":
        sc["before"] = [{"path": "C:\\windows\\" + older_saver_name(case["open_as"]),
                         "text": "an older saver\r\n"}]
    cid = case["id"]
    if cid in NOT_STARTED:
        sc["expect"] = {"start_refused": True, "no_crash": True, "contained": True}
    elif cid in KNOWN_FAILURES:
        sc["expect"] = dict(KNOWN_FAILURES[cid]["expect"])
        sc["expect_problems"] = list(KNOWN_FAILURES[cid]["problems"])
    else:
        sc["expect"] = {"exit_code": 0, "no_crash": True, "contained": True}
    return sc


def control_scenarios(fixtures):
    """(case, variant, scenario) for every control."""
    out = []
    for name, expect, problems in CONTROLS:
        case = {"id": "control-" + name.split(".")[0].lower(), "file": "misbehave.exe",
                "open_as": name}
        sc = scenario(case, "fresh", fixtures, CONTROL_TIME_LIMIT)
        sc["expect"] = dict(expect)
        sc["expect_problems"] = list(problems)
        out.append((case, "fresh", sc))
    return out


def dialogs_called(calls):
    """The installer's dialogs in the order it opened them, from its relayed
    calls (wh.relay_calls), and what WinExec answered when it started the
    saver (None when it did not): a value of 32 or more is a started
    program, below that the reason it was not."""
    kinds = []
    started = None
    for call in calls:
        args = call["args"]
        if call["function"] == "user32.MessageBoxA":
            fields = {"text": args[1], "caption": args[2]}
            kind = next((k for k, field, start in MESSAGE_BOXES
                         if isinstance(fields[field], str) and fields[field].startswith(start)),
                        "message box %r" % (args[2],))
            kinds.append(kind)
        elif call["function"] == "user32.DialogBoxParamA":
            kinds.append(TEMPLATES.get(args[1], "dialog %s" % args[1]))
        elif call["function"] == "kernel32.WinExec":
            started = call["ret"]
    return kinds, started


def windows_unanswered(events):
    """Windows the robot found no answer for (their captions)."""
    return [e["caption"] for e in events
            if e.get("event") == "window" and e.get("step") == "unanswered"]


def outcome(problems, output):
    """What became of a run, for the table: "hang" (stopped at the time
    limit, or a process of it outlived the robot's wait), "crash", "not
    started" (Wine refused the file) or "ran"."""
    if any(("exceeded" in p or "still running" in p) for p in problems):
        return "hang"
    if any(p.startswith("crash:") for p in problems):
        return "crash"
    if wh.start_refused(output):
        return "not started"
    return "ran"


class Result:
    def __init__(self, case, variant):
        self.case = case
        self.variant = variant
        self.outcome = "?"
        self.exit_code = None
        self.dialogs = []
        self.saver_start = None
        self.problems = []
        self.verdict = "FAILED"
        self.written = []


def run_one(args, session, case, variant, sc):
    res = Result(case, variant)
    name = "%s.%s" % (case["id"], variant)
    run = rs.Run(args, scenario=sc, name=name, session=session)
    output = ""
    try:
        run.prepare()
        run.execute()
        run.check()
        drive_c = os.path.join(session.prefix, "drive_c")
        created, changed, _ = wh.tree_changes(run.tree_before, wh.tree_snapshot(drive_c))
        res.written = [p for p in created + changed if not p.lower().startswith("get/")]
    except (wh.HarnessError, subprocess.SubprocessError, OSError, KeyError, ValueError) as e:
        run.problems.append("%s: %s" % (type(e).__name__, e))
    finally:
        try:
            output = run.wine_output()
        except OSError:
            pass
        run.cleanup()
        if output:
            with open(os.path.join(run.artifacts, "wine-output.txt"), "w") as f:
                f.write(wh.without_relay_noise(output))
        with open(os.path.join(run.artifacts, "changes.txt"), "w") as f:
            f.write("".join(p + "\n" for p in res.written))
    # A control that hangs on purpose passes by the error that stopped it.
    ok = run.verdict()
    if ok and not args.keep:
        shutil.rmtree(run.work, ignore_errors=True)
    res.exit_code = run.exit_code
    res.problems = list(run.problems)
    try:
        res.dialogs, res.saver_start = dialogs_called(wh.relay_calls(output))
    except ValueError as e:
        res.problems.append("the installer's calls cannot be read: %s" % e)
        ok = False
    res.dialogs += ["unanswered %r" % c for c in windows_unanswered(run.log_lines)]
    res.outcome = outcome(res.problems, output)
    if ok:
        res.verdict = "xfail" if run.sc.get("expect_problems") else "ok"
    return res


def hostile_runs(args, work):
    """(case, variant, scenario) for every case of the hostile table built
    on the stub, or None when the table cannot be written."""
    cases_dir = os.path.join(work, "cases")
    r = subprocess.run([args.write_cases, "--stub", args.stub, cases_dir], capture_output=True,
                       text=True, timeout=120)
    if r.returncode != 0:
        print("hostile_batch: write_cases failed (%d): %s" % (r.returncode, r.stderr.strip()))
        return None
    cases = read_cases(cases_dir)
    ids = {c["id"] for c in cases}
    stale = sorted((set(NOT_STARTED) | set(KNOWN_FAILURES)) - ids)
    if stale:
        print("hostile_batch: listed here but not in the hostile table: %s" % ", ".join(stale))
        return None
    if args.only:
        unknown = sorted(set(args.only) - ids)
        if unknown:
            print("hostile_batch: no such case: %s" % ", ".join(unknown))
            return None
        cases = [c for c in cases if c["id"] in args.only]
    return [(c, v, scenario(c, v, cases_dir, args.time_limit)) for c in cases for v in VARIANTS]


def read_cases(cases_dir):
    with open(os.path.join(cases_dir, "cases.tsv"), newline="") as f:
        return list(csv.DictReader(f, delimiter="\t", quoting=csv.QUOTE_NONE))


def summary_lines(results):
    """The table of every run and the counts of the dialogs reached."""
    width = max([len(r.case["id"]) for r in results] + [4])
    lines = ["%-*s  %-7s %-12s %-5s %-5s %-6s %s" % (width, "case", "variant", "outcome", "exit",
                                                     "files", "saver", "dialogs")]
    for r in results:
        lines.append("%-*s  %-7s %-12s %-5s %-5d %-6s %s%s" % (
            width, r.case["id"], r.variant, r.outcome,
            "-" if r.exit_code is None else r.exit_code, len(r.written),
            "-" if r.saver_start is None else r.saver_start, ", ".join(r.dialogs) or "-",
            "" if r.verdict == "ok" else "   [%s]" % r.verdict))
    lines.append("")
    cases = sorted({r.case["id"] for r in results})
    lines.append("Dialogs reached (runs of %d; packages of %d, in any run):" %
                 (len(results), len(cases)))
    for kind in DIALOGS:
        runs = [r for r in results if kind in r.dialogs]
        packages = {r.case["id"] for r in runs}
        lines.append("  %-13s %3d runs  %3d packages" % (kind, len(runs), len(packages)))
    for label, pick in (("not started by Wine", "not started"), ("crashed", "crash"),
                        ("hung", "hang")):
        packages = sorted({r.case["id"] for r in results if r.outcome == pick})
        lines.append("  %-20s %d packages%s" % (label, len(packages),
                                                ": " + ", ".join(packages) if packages else ""))
    return lines


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--base-prefix", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--artifacts", required=True)
    ap.add_argument("--robot", required=True)
    ap.add_argument("--write-cases", help="the native build's write_cases")
    ap.add_argument("--stub", help="the win32 build's glimsetup.exe")
    ap.add_argument("--controls", metavar="FIXTURES_DIR",
                    help="run the faulty stand-in of this folder (misbehave.exe) instead")
    ap.add_argument("--only", nargs="+", metavar="ID", help="run only these cases")
    ap.add_argument("--time-limit", type=int, default=TIME_LIMIT,
                    help="seconds a run may take before it counts as hung")
    ap.add_argument("--keep", action="store_true",
                    help="keep the work folder (prefix, cases, every run's script and log)")
    args = ap.parse_args()
    needed = ["robot"] + (["controls"] if args.controls else ["write_cases", "stub"])
    for key in needed:
        if not getattr(args, key):
            ap.error("--%s is needed" % key.replace("_", "-"))
        path = os.path.abspath(getattr(args, key))
        setattr(args, key, path)
        if not os.path.exists(path):
            print("hostile_batch: missing %s (build the win32 and native presets)" % path)
            return 1
    wh.raise_on_signals()
    label = "controls" if args.controls else "hostile"
    work = os.path.join(os.path.abspath(args.work), label)
    # The Run of run_scenario takes its paths and options from here.
    run_args = argparse.Namespace(
        base_prefix=os.path.abspath(args.base_prefix), work=work,
        artifacts=os.path.join(os.path.abspath(args.artifacts), label), robot=args.robot,
        fixtures=None, glimpack=None, stub=None, samples=None, program=None, crafted_dir=None,
        interactive=False, keep=args.keep)
    start = time.time()
    if os.path.exists(work):
        shutil.rmtree(work)
    os.makedirs(work)
    runs = control_scenarios(args.controls) if args.controls else hostile_runs(args, work)
    if runs is None:
        return 1

    warm_up = [os.path.join(work, "warm-up.txt"), os.path.join(work, "warm-up.log")]
    open(warm_up[0], "w").close()
    session = wh.Session(run_args.base_prefix, os.path.join(work, "prefix"),
                         [args.robot] + [wh.to_windows(p) for p in warm_up], relay=RELAY)
    results = []
    try:
        session.start()
        print("session ready in %.1f s" % (time.time() - start))
        longest = (0.0, "-")
        for case, variant, sc in runs:
            began = time.time()
            res = run_one(run_args, session, case, variant, sc)
            took = time.time() - began
            results.append(res)
            if res.outcome != "hang":
                longest = max(longest, (took, "%s %s" % (case["id"], variant)))
            print("%-28s %-6s %-12s %-6s %5.1f s  %s" % (case["id"], variant, res.outcome,
                                                        res.verdict, took,
                                                        ", ".join(res.dialogs) or "-"))
            for p in res.problems:
                print("    %s %s" % ("EXPECTED" if res.verdict == "xfail" else "FAIL", p))
        # How close the slowest run that ended came to being called hung: the
        # margin that matters when Wine's 32-bit side runs emulated.
        print("longest run that ended: %.1f s (%s), hung after %d s" %
              (longest[0], longest[1], args.time_limit))
    finally:
        session.close()
    print()
    for line in summary_lines(results):
        print(line)
    ran = {r.case["id"] for r in results}
    for cid, why in sorted(NOT_STARTED.items()):
        if cid in ran:
            print("not started: %s: %s" % (cid, why))
    for cid, known in sorted(KNOWN_FAILURES.items()):
        if cid in ran:
            print("expected failure: %s: %s" % (cid, known["why"]))
    failed = [r for r in results if r.verdict == "FAILED"]
    print("%s batch: %d runs of %d packages, %d passed, %d expected failures, %d failed in "
          "%.1f s" % (label, len(results), len(ran), sum(r.verdict == "ok" for r in results),
                      sum(r.verdict == "xfail" for r in results), len(failed),
                      time.time() - start))
    if not failed and not args.keep:
        # The prefix copy alone is some 600 MB; a failed batch keeps it.
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
