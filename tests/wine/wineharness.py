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


def clone_prefix(base, dest):
    if os.path.exists(dest):
        shutil.rmtree(dest)

    def copy(src, dst):
        rel = os.path.relpath(src, base).replace(os.sep, "/")
        if any(rel.startswith(d + "/") for d in _SHARED_DIRS):
            os.link(src, dst)
        else:
            shutil.copy2(src, dst)

    shutil.copytree(base, dest, symlinks=True, copy_function=copy)
