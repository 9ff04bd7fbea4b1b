"""Shared pieces of the Wine end-to-end harness: virtual displays, Wine
environments, path mapping between Windows and the prefix, and the checks that
read what a run left behind (system.ini, user.reg, the robot's log)."""

import os
import re
import select
import shutil
import signal
import subprocess
import time

WINE_QUIET = {
    "WINEDEBUG": "-all",
    # No offers to install Mono or Gecko.
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
    # Smaller prefix, quicker to copy; our programs are all 32-bit.
    "WINEARCH": "win32",
}


class HarnessError(Exception):
    pass


# ---- processes ----------------------------------------------------------------


def wine_env(prefix, display=None):
    env = dict(os.environ)
    env.update(WINE_QUIET)
    env["WINEPREFIX"] = str(prefix)
    if isinstance(display, str):
        env["DISPLAY"] = display
    elif display is not None:
        env["DISPLAY"] = ":%d" % display
    return env


def start_xvfb(width, height, timeout=20):
    """Starts Xvfb on a free display chosen by Xvfb itself; returns
    (process, display number)."""
    rfd, wfd = os.pipe()
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(wfd), "-screen", "0", "%dx%dx24" % (width, height),
         "-nolisten", "tcp"],
        pass_fds=(wfd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        start_new_session=True)
    os.close(wfd)
    data = b""
    deadline = time.time() + timeout
    try:
        while not data.endswith(b"\n"):
            left = deadline - time.time()
            if left <= 0 or proc.poll() is not None:
                raise HarnessError("Xvfb did not start")
            ready, _, _ = select.select([rfd], [], [], left)
            if ready:
                chunk = os.read(rfd, 64)
                if not chunk:
                    raise HarnessError("Xvfb did not report its display")
                data += chunk
    except BaseException:
        kill_group(proc)
        raise
    finally:
        os.close(rfd)
    return proc, int(data.strip())


def kill_group(proc, grace=2.0):
    if proc is None or proc.poll() is not None:
        return
    try:
        os.killpg(proc.pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        proc.wait(5)


def wineserver(prefix, flag, timeout):
    """wineserver -w (wait for the prefix to settle) or -k (kill it)."""
    try:
        subprocess.run(["wineserver", flag], env=wine_env(prefix), timeout=timeout,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return True
    except subprocess.TimeoutExpired:
        return False


class Terminated(Exception):
    pass


def stop_run(prefix, procs, xvfb):
    """Ends everything a run started: the prefix's wineserver (and with it
    every Wine program in the prefix), any process of `procs` still running,
    and the run's own X server."""
    if prefix and os.path.isdir(prefix):
        wineserver(prefix, "-k", 20)
    for p in procs:
        if p.poll() is None:
            p.kill()
            p.wait(10)
    kill_group(xvfb)


def raise_on_signals():
    """SIGTERM and SIGHUP unwind like Ctrl-C, so the cleanup in finally runs."""

    def handler(signum, _frame):
        raise Terminated("signal %d" % signum)

    for s in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, handler)


class Session:
    """One prefix, one virtual display and one wineserver kept for a batch of
    runs. Starting Wine's server and its background processes costs seconds
    for every program; kept running, a program starts in a few hundredths.
    The prefix is a full copy of the base (a program under test could write
    into Wine's library folders), and restore() puts its drive_c back as it
    was before the first run."""

    def __init__(self, base, prefix, warm_up, relay=(), size=(800, 600)):
        self.base = os.path.abspath(base)
        self.prefix = os.path.abspath(prefix)
        # A program started once in the new server brings up Wine's
        # background processes, so that no run pays for them or sees them.
        self.warm_up = warm_up
        # Functions (dll.name) whose every call by the program under test
        # Wine writes to its output (see relay_calls).
        self.relay = list(relay)
        self.size = size
        self.xvfb = None
        self.display = None
        self.env = None
        self.clean = None

    def drive_c(self, prefix=None):
        return os.path.join(prefix or self.prefix, "drive_c")

    def start(self):
        if not os.path.isfile(os.path.join(self.base, ".glim-ready")):
            raise HarnessError("base prefix %s is not ready (wine_base_prefix failed?)" %
                               self.base)
        clone_prefix(self.base, self.prefix, share_libraries=False)
        self.xvfb, number = start_xvfb(*self.size)
        self.display = ":%d" % number
        self.env = wine_env(self.prefix, self.display)
        self._start_server()
        if self.relay:
            subprocess.run(["wine", "reg", "add", r"HKCU\Software\Wine\Debug", "/v",
                            "RelayInclude", "/d", ";".join(self.relay), "/f"], env=self.env,
                           timeout=60, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        self.clean = tree_snapshot(self.drive_c())

    def program_env(self):
        """The environment of the program under test: Wine's relay channel on
        when calls are to be written down (only those of self.relay are)."""
        if not self.relay:
            return self.env
        return dict(self.env, WINEDEBUG="-all,+relay")

    def _start_server(self):
        # The server and the background processes the warm-up starts live on
        # and inherit its standard handles: never a pipe anyone waits on.
        subprocess.run(["wineserver", "-p"], env=self.env, timeout=30, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wine"] + self.warm_up, env=self.env, timeout=120,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def restore(self):
        """drive_c as it was when the session started."""
        restore_tree(self.drive_c(), self.drive_c(self.base), self.clean,
                     tree_snapshot(self.drive_c()))

    def recover(self):
        """After a run that did not end: every Wine process goes, and a new
        server takes over."""
        wineserver(self.prefix, "-k", 20)
        self._start_server()

    def close(self):
        if self.env is not None:
            wineserver(self.prefix, "-k", 20)
        kill_group(self.xvfb)


# ---- paths ----------------------------------------------------------------------


def to_windows(unix_path):
    """A Linux path as Wine sees it through drive Z:."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def split_windows(win_path):
    m = re.match(r"^([A-Za-z]):\\(.*)$", win_path)
    if not m or m.group(1).upper() != "C":
        raise HarnessError("only C: paths are supported here: %r" % win_path)
    parts = [p for p in m.group(2).split("\\") if p]
    if any(p in (".", "..") for p in parts):
        raise HarnessError("path with . or ..: %r" % win_path)
    return parts


def resolve(prefix, win_path, create_dirs=False):
    """The Linux path of a C: path inside the prefix, matching each component
    without regard to case as Windows does. Missing components keep the case
    given."""
    cur = os.path.join(str(prefix), "drive_c")
    parts = split_windows(win_path)
    for i, part in enumerate(parts):
        found = None
        if os.path.isdir(cur):
            for entry in os.listdir(cur):
                if entry.lower() == part.lower():
                    found = entry
                    break
        cur = os.path.join(cur, found or part)
        if create_dirs and i < len(parts) - 1 and not os.path.isdir(cur):
            os.makedirs(cur)
    return cur


def snapshot(root):
    """Every file below root with its size and modification time."""
    result = {}
    for dirpath, _dirs, files in os.walk(root):
        for f in files:
            p = os.path.join(dirpath, f)
            try:
                st = os.lstat(p)
            except FileNotFoundError:
                continue
            result[os.path.relpath(p, root).lower()] = (st.st_size, st.st_mtime_ns)
    return result


def changed_files(before, after):
    names = set(before) | set(after)
    return sorted(n for n in names if before.get(n) != after.get(n))


# ---- what the run left behind ----------------------------------------------------


def parse_ini(text):
    """{section (lower case): {key (lower case): value}}; tolerant like the
    profile functions: no quoting, first '=' splits, later duplicates win."""
    sections = {}
    cur = None
    for raw in text.splitlines():
        line = raw.strip()
        if not line or line.startswith(";"):
            continue
        if line.startswith("[") and "]" in line:
            cur = sections.setdefault(line[1:line.index("]")].strip().lower(), {})
            continue
        if cur is not None and "=" in line:
            key, value = line.split("=", 1)
            cur[key.strip().lower()] = value.strip()
    return sections


def reg_value(text, key_path, name):
    """A string value from a Wine .reg file (user.reg): key_path as in the file
    without escaping, e.g. r"Control Panel\\Desktop". None when absent."""
    header = "[" + key_path.replace("\\", "\\\\").lower() + "]"
    in_key = False
    for raw in text.splitlines():
        line = raw.strip()
        if line.startswith("["):
            in_key = line.lower().split("]")[0] + "]" == header
            continue
        if in_key and line.startswith('"'):
            m = re.match(r'^"((?:[^"\\]|\\.)*)"=(.*)$', line)
            if m and m.group(1).lower() == name.lower():
                value = m.group(2)
                if value.startswith('"') and value.endswith('"'):
                    return value[1:-1].replace('\\"', '"').replace("\\\\", "\\")
                return value
    return None


_DOS_CHARS = re.compile(r"^[A-Za-z0-9_\-~!#$%&'(){}^@`]+$")


def is_short_name(component):
    if component.count(".") > 1:
        return False
    base, _, ext = component.partition(".")
    return (1 <= len(base) <= 8 and len(ext) <= 3 and _DOS_CHARS.match(base) is not None
            and (not ext or _DOS_CHARS.match(ext) is not None))


def check_short_path(value, long_path):
    """Problems with value as the 8.3 form of long_path (both C: paths)."""
    problems = []
    if not re.match(r"^[A-Za-z]:\\", value or ""):
        return ["%r is not a full path" % value]
    comps = value[3:].split("\\")
    bad = [c for c in comps if not is_short_name(c)]
    if bad:
        problems.append("%r is not an 8.3 path (%s)" % (value, ", ".join(bad)))
    long_comps = long_path[3:].split("\\")
    if len(comps) != len(long_comps) or value[0].lower() != long_path[0].lower():
        problems.append("%r does not name %r" % (value, long_path))
    else:
        for short, full in zip(comps, long_comps):
            if is_short_name(full) and short.lower() != full.lower():
                problems.append("%r does not name %r" % (value, long_path))
                break
    return problems


def format_thousands(n):
    return "{:,}".format(n)


def centred_problems(window):
    """The installer centres its dialogs by x = screen_w/2 - w/2 (each half
    truncated) and likewise for y."""
    left, top, right, bottom = window["rect"]
    sw, sh = window["screen"]
    w, h = right - left, bottom - top
    want = (sw // 2 - w // 2, sh // 2 - h // 2)
    if (left, top) != want:
        return ["at (%d,%d), centred would be (%d,%d) for %dx%d on %dx%d" %
                (left, top, want[0], want[1], w, h, sw, sh)]
    return []


def _norm_id(i):
    return int(i) & 0xFFFF


def control_matches(control, want):
    for key, value in want.items():
        if key == "id":
            if _norm_id(control["id"]) != _norm_id(value):
                return False
        elif control.get(key) != value:
            return False
    return True


def window_problems(window, want, subst):
    """Compares one logged window with its expectation; subst fills the
    placeholders of expected texts."""
    problems = []
    label = "window %r" % window.get("caption")
    for key in ("caption", "class", "visible"):
        if key in want:
            expected = subst(want[key])
            if window.get(key) != expected:
                problems.append("%s: %s is %r, expected %r" % (label, key, window.get(key),
                                                               expected))
    controls = window.get("controls", [])
    if "text" in want:
        texts = [c["text"] for c in controls if c["class"].lower() == "static" and
                 _norm_id(c["id"]) == 0xFFFF and c["text"]]
        expected = subst(want["text"])
        if expected not in texts:
            problems.append("%s: no text %r; static texts are %r" % (label, expected, texts))
    for text in want.get("texts", []):
        expected = subst(text)
        if expected not in [c["text"] for c in controls]:
            problems.append("%s: no control shows %r" % (label, expected))
    for wc in want.get("controls", []):
        wc = {k: subst(v) for k, v in wc.items()}
        if not any(control_matches(c, wc) for c in controls):
            problems.append("%s: no control %r among %r" %
                            (label, wc, [(c["id"], c["class"], c["text"], c["visible"])
                                         for c in controls]))
    if "buttons" in want:
        buttons = [c["text"] for c in controls
                   if c["class"].lower() == "button" and c["visible"]]
        if buttons != want["buttons"]:
            problems.append("%s: visible buttons %r, expected %r" % (label, buttons,
                                                                     want["buttons"]))
    if want.get("centred"):
        problems += ["%s: %s" % (label, p) for p in centred_problems(window)]
    return problems


def copy_tree_files(src_dir, dst_dir, names):
    os.makedirs(dst_dir, exist_ok=True)
    for n in names:
        p = os.path.join(src_dir, n)
        if os.path.isfile(p):
            shutil.copy2(p, os.path.join(dst_dir, n))


# Below these folders of a prefix lie only Wine's own libraries (hundreds of
# megabytes) that no program under test writes; a scenario's copy shares them
# with the base prefix through hard links and gets real copies of the rest.
_SHARED_DIRS = ("drive_c/windows/system32", "drive_c/windows/winsxs")


def fresh_work_prefix(base, work):
    """Empties the folder `work` and clones the ready base prefix into
    work/prefix, which it returns; a base that is not ready is the harness's
    failure, not the test's."""
    if not os.path.isfile(os.path.join(base, ".glim-ready")):
        raise HarnessError("base prefix %s is not ready (wine_base_prefix failed?)" % base)
    if os.path.exists(work):
        shutil.rmtree(work)
    os.makedirs(work)
    prefix = os.path.join(work, "prefix")
    clone_prefix(base, prefix)
    return prefix


def clone_prefix(base, dest, share_libraries=True):
    """A copy of the base prefix at dest. With share_libraries, Wine's library
    folders are hard links to the base's files: quick, but a program that
    wrote into them would change the base too, so the runs of programs that
    might do so take a full copy."""
    if os.path.exists(dest):
        shutil.rmtree(dest)

    def copy(src, dst):
        rel = os.path.relpath(src, base).replace(os.sep, "/")
        if share_libraries and any(rel.startswith(d + "/") for d in _SHARED_DIRS):
            os.link(src, dst)
        else:
            shutil.copy2(src, dst)

    shutil.copytree(base, dest, symlinks=True, copy_function=copy)


def dump_backtraces(env, path):
    """Where every thread in the prefix waits, for the artefacts of a hang.
    Each command gets 15 s, so that a run stopped at its time limit still
    ends well within the test's own."""
    with open(path, "w") as f:
        for command in ("info proc", "bt all"):
            try:
                subprocess.run(["winedbg", "--command", command], env=env, timeout=15,
                               stdout=f, stderr=subprocess.STDOUT)
            except subprocess.TimeoutExpired:
                f.write("winedbg %r timed out\n" % command)
    print("backtraces of the hung prefix in %s" % path)


# ---- what a program may have changed in drive_c --------------------------------


def tree_snapshot(root):
    """Every file and folder below root, by its path relative to root with
    "/" separators and its case as on disk: a file maps to (size, mtime_ns),
    a folder to None. Unlike snapshot(), folders count: a folder created
    where nothing may be created is a write too."""
    result = {}
    for dirpath, dirs, files in os.walk(root):
        for d in dirs:
            result[os.path.relpath(os.path.join(dirpath, d), root).replace(os.sep, "/")] = None
        for f in files:
            p = os.path.join(dirpath, f)
            try:
                st = os.lstat(p)
            except FileNotFoundError:
                continue
            result[os.path.relpath(p, root).replace(os.sep, "/")] = (st.st_size, st.st_mtime_ns)
    return result


def tree_changes(before, after):
    """(created, changed, removed) paths between two tree snapshots, sorted."""
    created = sorted(set(after) - set(before))
    removed = sorted(set(before) - set(after))
    changed = sorted(n for n in set(before) & set(after) if before[n] != after[n])
    return created, changed, removed


def data_directory_name(package_name):
    """The folder below QUILLFEN\\GLIMLOOM that an installer of this file name
    owns: the name up to its last ".", the whole name without one. None
    when that is no folder name ("", "." or "..")."""
    base = package_name[:package_name.rfind(".")] if "." in package_name else package_name
    return None if base in ("", ".", "..") else base


def stray_writes(before, after, package_dir, package_name):
    """What a run of the installer changed in drive_c outside what it may
    change: files directly in the Windows directory, the three folders of its
    data directory (windows/QUILLFEN/GLIMLOOM/<name>) and everything below
    the last. Its own folder must hold the package alone, unchanged. Paths
    compare without regard to case, as Windows names them."""
    if not package_dir:
        raise HarnessError("the program must lie in a folder of its own, not in C:\\")
    created, changed, removed = tree_changes(before, after)
    owned = ["quillfen", "quillfen/glimloom"]
    name = data_directory_name(package_name)
    if name is not None:
        owned.append("quillfen/glimloom/" + name.lower())
    package = (package_dir.rstrip("/") + "/" + package_name).lower()
    problems = []
    for what, paths in (("created", created), ("changed", changed), ("removed", removed)):
        for path in paths:
            low = path.lower()
            if low == package:
                problems.append("the package itself was %s: %s" % (what, path))
                continue
            if low.startswith(package_dir.lower().rstrip("/") + "/"):
                problems.append("%s beside the package: %s" % (what, path))
                continue
            if low.startswith("windows/"):
                rest = low[len("windows/"):]
                if what != "removed" and "/" not in rest and after.get(path) is not None:
                    continue  # a file directly in the Windows directory
                if rest in owned and what == "created":
                    continue
                if name is not None and rest.startswith(owned[-1] + "/") and what != "removed":
                    continue
            problems.append("%s outside the installer's directories: %s" % (what, path))
    return problems


def restore_tree(root, pristine, before, after):
    """Undoes the changes between the tree snapshots before and after below
    root: removes what was created (deepest first) and copies back from the
    pristine tree (the same layout, untouched) what was changed or removed."""
    created, changed, removed = tree_changes(before, after)
    for path in sorted(created, key=lambda p: p.count("/"), reverse=True):
        full = os.path.join(root, path)
        if after[path] is None:
            shutil.rmtree(full, ignore_errors=True)
        elif os.path.lexists(full):
            os.remove(full)
    for path in sorted(changed + removed, key=lambda p: p.count("/")):
        src = os.path.join(pristine, path)
        dst = os.path.join(root, path)
        if before[path] is None:
            os.makedirs(dst, exist_ok=True)
            continue
        if os.path.isdir(dst):
            shutil.rmtree(dst)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy2(src, dst)


# ---- what Wine says when a program cannot start or crashes -----------------------

# Printed when Wine will not run a file as a program at all: it is no PE
# file, its headers end early, or it is taken for a DOS program.
_START_REFUSED = re.compile(
    r"^(Application could not be started|wine: failed to start|wine: Bad EXE format|"
    r"winevdm: ).*$", re.M)
# Printed by Wine for an exception nobody handled, whether or not a crash
# dialog is shown after it.
_UNHANDLED = re.compile(r"^wine: (Unhandled|Unimplemented function|Call from).*$", re.M)
# The exception codes a process that died of an exception ends with. Other
# status codes as exit codes (0xC000007B for an image Wine would not load)
# are no crash.
EXCEPTION_CODES = {
    0x80000002: "datatype misalignment", 0x80000003: "breakpoint",
    0xC0000005: "access violation", 0xC0000006: "in-page error",
    0xC000001D: "illegal instruction", 0xC0000025: "noncontinuable exception",
    0xC000008C: "array bounds exceeded", 0xC000008E: "float divide by zero",
    0xC0000094: "integer divide by zero", 0xC0000095: "integer overflow",
    0xC0000096: "privileged instruction", 0xC00000FD: "stack overflow",
    0xC0000374: "heap corruption", 0xC0000409: "stack buffer overrun",
}
# Relay lines of window and dialog procedures, hundreds per run, of no use
# in the artefacts.
_RELAY_NOISE = re.compile(r"^[0-9a-f]+:(Call|Ret) +(window|dialog) proc ")


def without_relay_noise(text):
    return "".join(l for l in text.splitlines(True) if not _RELAY_NOISE.match(l))


def start_refused(output):
    """The line with which Wine refused to start a program, or None."""
    m = _START_REFUSED.search(output)
    return m.group(0).strip() if m else None


def crash_evidence(output, events):
    """Signs that a program crashed under Wine, each as one line: Wine's
    message on its output, its debugger started for a process (and the
    crash dialog or console it opens), and a process ending with an
    exception code as its exit code."""
    found = ["crash: Wine says %r" % m.group(0).strip() for m in _UNHANDLED.finditer(output)]
    names = {}
    for e in events:
        if e.get("event") == "process":
            names[e["pid"]] = e["name"]
    for e in events:
        if e.get("event") == "process" and e["name"].lower() == "winedbg.exe":
            found.append("crash: Wine's debugger was started for %s" %
                         names.get(e["parent"], "process %s" % e["parent"]))
        elif e.get("event") == "exit" and e.get("code") in EXCEPTION_CODES:
            found.append("crash: %s ended with exception code 0x%08X (%s)" %
                         (e["name"] or "process %s" % e["pid"], e["code"],
                          EXCEPTION_CODES[e["code"]]))
        elif e.get("event") == "window" and is_crash_window(e):
            found.append("crash: Wine showed %r (%s)" % (e["caption"], e["class"]))
    return found


_RELAY_CALL = re.compile(r"^[0-9a-f]+:Call ([A-Za-z0-9_]+)\.([A-Za-z0-9_]+)\((.*)\) ret=[0-9a-f]+$")
_RELAY_RET = re.compile(r"^[0-9a-f]+:Ret  ([A-Za-z0-9_]+)\.([A-Za-z0-9_]+)\(\) retval=([0-9a-f]+) ")


_HEX = re.compile(r"[0-9a-fA-F]+")


def _relay_args(text):
    """The arguments of one relay line: numbers as ints, a pointer followed
    by its string (as Wine writes a string argument) as that string. Wine
    escapes a string as C does (\\xNN for other characters, \\xNNNN in wide
    ones) and cuts a long one, writing "..." after its closing quote; the
    cut string ends in "..." here too."""
    args = []
    i = 0
    while i < len(text):
        m = _HEX.match(text, i)
        if not m:
            raise ValueError("unreadable relay arguments: %r" % text)
        value = int(m.group(0), 16)
        i = m.end()
        if text.startswith(' "', i) or text.startswith(' L"', i):
            digits = 4 if text[i + 1] == "L" else 2
            i = text.index('"', i) + 1
            chars = []
            while text[i] != '"':
                if text[i] == "\\":
                    nxt = text[i + 1]
                    if nxt == "x":
                        chars.append(chr(int(text[i + 2:i + 2 + digits], 16)))
                        i += 2 + digits
                        continue
                    chars.append({"n": "\n", "r": "\r", "t": "\t"}.get(nxt, nxt))
                    i += 2
                    continue
                chars.append(text[i])
                i += 1
            i += 1
            if text.startswith("...", i):
                chars.append("...")
                i += 3
            value = "".join(chars)
        args.append(value)
        if i < len(text):
            if text[i] != ",":
                raise ValueError("unreadable relay arguments: %r" % text)
            i += 1
    return args


def relay_calls(output):
    """The calls Wine's relay channel wrote to a program's output, in order:
    {"function": "dll.name", "args": [...], "ret": value or None}, the dll
    in lower case (Wine writes some in capitals). A call whose return line
    never came (the program ended inside it) has None."""
    calls = []
    open_calls = []
    for line in output.splitlines():
        m = _RELAY_CALL.match(line)
        if m:
            calls.append({"function": "%s.%s" % (m.group(1).lower(), m.group(2)),
                          "args": _relay_args(m.group(3)), "ret": None})
            open_calls.append(calls[-1])
            continue
        m = _RELAY_RET.match(line)
        if m:
            name = "%s.%s" % (m.group(1).lower(), m.group(2))
            for call in reversed(open_calls):
                if call["function"] == name:
                    call["ret"] = int(m.group(3), 16)
                    open_calls.remove(call)
                    break
    return calls


def is_crash_window(window):
    """Wine's crash dialog, or the console its debugger writes into."""
    caption = window.get("caption", "")
    return caption == "Program Error" or (window.get("class") == "WineConsoleClass" and
                                          "winedbg" in caption.lower())
