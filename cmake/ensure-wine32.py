#!/usr/bin/python3
"""Makes sure this machine runs 32-bit (i386) Linux programs.

    ensure-wine32.py [auto|native|emulated]     (default: $WINE32, else auto)

The installer and glimpack.exe are 32-bit Windows programs, and Wine runs
them in 32-bit Linux processes. Some kernels refuse every i386 executable
("Exec format error") although nothing in uname or the kernel configuration
says so, so the only trustworthy test is to run one: a tiny i386 program
made here that exits with 42.

auto      If the probe runs, nothing changes. If it does not, qemu's
          user-mode emulator is installed from bookworm-backports (Debian
          12's own qemu is about 200 times slower at starting Wine) and
          registered for i386 programs with binfmt_misc.
emulated  Registers the emulator even where the kernel runs i386 programs
          itself (a binfmt_misc entry is tried before the kernel's own
          loader), to try the emulated path on purpose. It stays registered
          until the machine restarts or `WINE32=native` is asked for.
native    Removes our registration again; fails where the kernel cannot
          run i386 programs itself.

Either way it ends with one line saying how 32-bit programs run, with the
emulator's version, and re-registers when the emulator on disk is not the
one the kernel holds (the F flag keeps the old binary open after an
upgrade). Without root it prints the commands to run and fails.
"""

import os
import re
import struct
import subprocess
import sys
import tempfile

BINFMT = "/proc/sys/fs/binfmt_misc"
ENTRY = "qemu-i386"
QEMU = "/usr/bin/qemu-i386-static"
BACKPORTS = "bookworm-backports"
BACKPORTS_FILE = "/etc/apt/sources.list.d/glim-bookworm-backports.sources"
# Matches i386 ELF executables and shared objects (e_type 2 or 3), as the
# register file expects it: magic, then mask.
REGISTRATION = (
    r":qemu-i386:M::"
    r"\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:"
    r"\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:"
    + QEMU + ":F")
PROBE_EXIT = 42
# Oldest emulator that starts Wine's 32-bit side in reasonable time.
MIN_QEMU_MAJOR = 10


class SetupError(Exception):
    pass


def probe_elf():
    """A static i386 program of one segment: exit(42) by int 0x80."""
    code = bytes([0xB8, 1, 0, 0, 0,  # mov eax, 1 (exit)
                  0xBB, PROBE_EXIT, 0, 0, 0,  # mov ebx, 42
                  0xCD, 0x80])  # int 0x80
    base, ehsize, phsize = 0x08048000, 52, 32
    ident = b"\x7fELF" + bytes([1, 1, 1, 0]) + bytes(8)
    header = ident + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, base + ehsize + phsize, ehsize,
                                 0, 0, ehsize, phsize, 1, 0, 0, 0)
    size = ehsize + phsize + len(code)
    segment = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
    return header + segment + code


class Probe:
    """Runs the probe once as is and once asking an emulator for its version."""

    def __init__(self, runs, emulator, failure=None):
        self.runs = runs
        self.emulator = emulator  # "qemu-i386 version X" or None when native
        self.failure = failure  # how it did not run, in words

    def describe(self):
        if not self.runs:
            return "32-bit programs do not run on this machine"
        if self.emulator:
            return ("32-bit programs run through the emulator, %s, registered with binfmt_misc"
                    % self.emulator.replace(" version ", " "))
        return "32-bit programs run natively"


def run_probe():
    with tempfile.TemporaryDirectory(prefix="glim-i386-") as scratch:
        path = os.path.join(scratch, "probe")
        with open(path, "wb") as f:
            f.write(probe_elf())
        os.chmod(path, 0o755)
        env = {k: v for k, v in os.environ.items() if not k.startswith("QEMU_")}
        try:
            code = subprocess.run([path], env=env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, timeout=60).returncode
        except OSError as e:  # ENOEXEC: the kernel refused it
            return Probe(False, None, "the kernel refused it: %s" % e.strerror)
        except subprocess.TimeoutExpired:
            return Probe(False, None, "it did not end within 60 s")
        if code != PROBE_EXIT:
            return Probe(False, None, "it ended with %d instead of %d" % (code, PROBE_EXIT))
        # qemu's user-mode emulators take their options from the environment
        # too: QEMU_VERSION makes one print its version instead of running the
        # program, which the kernel never does.
        out = subprocess.run([path], env=dict(env, QEMU_VERSION="1"), capture_output=True,
                             text=True, timeout=60).stdout
        return Probe(True, first_version_line(out))


def first_version_line(text):
    for line in text.splitlines():
        m = re.match(r"qemu-\S+ version (\S+)", line.strip())
        if m:
            return line.strip()
    return None


def version_number(line):
    m = re.search(r"version (\d+)\.", line or "")
    return int(m.group(1)) if m else 0


def installed_qemu():
    if not os.access(QEMU, os.X_OK):
        return None
    out = subprocess.run([QEMU, "--version"], capture_output=True, text=True).stdout
    return first_version_line(out)


# ---- apt sources -------------------------------------------------------

def deb822_stanzas(text):
    """Yields each stanza of a deb822 .sources file as a dict of its fields."""
    stanza, last = {}, None
    for line in text.splitlines() + [""]:
        if line.startswith("#"):
            continue
        if not line.strip():
            if stanza:
                yield stanza
            stanza, last = {}, None
        elif line[0] in " \t" and last:
            stanza[last] += "\n" + line.strip()
        elif ":" in line:
            key, value = line.split(":", 1)
            last = key.strip().lower()
            stanza[last] = value.strip()


def one_line_entries(text):
    """Yields (options, uri, suite, components) of each `deb` line."""
    for line in text.splitlines():
        line = line.split("#", 1)[0].strip()
        m = re.match(r"deb\s+(?:\[([^\]]*)\]\s+)?(\S+)\s+(\S+)\s*(.*)$", line)
        if m:
            yield (m.group(1) or "", m.group(2), m.group(3), m.group(4).split())


def backports_entry(files):
    """Given {path: text} of the apt sources, returns None when a source for
    bookworm-backports exists already, else the text of a .sources file for
    it with the address, components and keyring of the bookworm entry.
    Raises SetupError when there is no bookworm entry to copy."""
    found = None
    for path, text in sorted(files.items()):
        if path.endswith(".sources"):
            for st in deb822_stanzas(text):
                if "deb" not in st.get("types", "").split() or \
                        st.get("enabled", "yes").lower() == "no":
                    continue
                suites = st.get("suites", "").split()
                if BACKPORTS in suites:
                    return None
                if "bookworm" in suites and found is None:
                    found = (st.get("uris", "").split(), st.get("components", "main").split(),
                             st.get("signed-by", ""))
        elif path.endswith(".list"):
            for options, uri, suite, components in one_line_entries(text):
                if suite == BACKPORTS:
                    return None
                if suite == "bookworm" and found is None:
                    m = re.search(r"signed-by=(\S+)", options)
                    found = ([uri], components or ["main"], m.group(1) if m else "")
    if found is None:
        raise SetupError("no apt source for bookworm to take the backports' address from")
    uris, components, signed_by = found
    lines = ["Types: deb", "URIs: " + " ".join(uris), "Suites: " + BACKPORTS,
             "Components: " + " ".join(components)]
    if signed_by:
        if "\n" in signed_by:  # an inline key, one field line per key line
            signed_by = signed_by.replace("\n", "\n ")
        lines.append("Signed-By: " + signed_by)
    return "\n".join(lines) + "\n"


def apt_source_files():
    files = {}
    candidates = ["/etc/apt/sources.list"]
    directory = "/etc/apt/sources.list.d"
    if os.path.isdir(directory):
        candidates += [os.path.join(directory, n) for n in sorted(os.listdir(directory))]
    for path in candidates:
        if path.endswith((".list", ".sources")) and os.path.isfile(path):
            with open(path, encoding="utf-8", errors="replace") as f:
                files[path] = f.read()
    return files


# ---- the steps -----------------------------------------------------------

def commands_for(install, entry, need_mount):
    """The root commands that set the emulator up, for a user without root."""
    cmds = []
    if entry:
        cmds.append("sudo tee %s > /dev/null <<'EOF'\n%sEOF" % (BACKPORTS_FILE, entry))
    if install:
        cmds += ["sudo apt-get update",
                 "sudo apt-get install -y -t %s qemu-user-static" % BACKPORTS]
    if need_mount:
        cmds.append("sudo mount -t binfmt_misc binfmt_misc %s" % BINFMT)
    cmds.append("[ -e {0}/{1} ] && echo -1 | sudo tee {0}/{1}".format(BINFMT, ENTRY))
    cmds.append("printf '%%s\\n' '%s' | sudo tee %s/register" % (REGISTRATION, BINFMT))
    return cmds


def install_qemu(entry):
    if entry:
        with open(BACKPORTS_FILE, "w") as f:
            f.write(entry)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-q"], env=env, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends",
                    "-t", BACKPORTS, "qemu-user-static"], env=env, check=True,
                   stdout=subprocess.DEVNULL)


def unregister():
    path = os.path.join(BINFMT, ENTRY)
    if os.path.exists(path):
        with open(path, "w") as f:
            f.write("-1")


def register():
    if not os.path.exists(os.path.join(BINFMT, "register")):
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT], check=True)
    unregister()
    with open(os.path.join(BINFMT, "register"), "w") as f:
        f.write(REGISTRATION)


def set_up_emulator(why):
    """Installs and registers the emulator; returns what it did, in words."""
    qemu = installed_qemu()
    install = version_number(qemu) < MIN_QEMU_MAJOR
    entry = backports_entry(apt_source_files()) if install else None
    need_mount = not os.path.exists(os.path.join(BINFMT, "register"))
    if os.geteuid() != 0:
        print("%s, and setting up the emulator for them needs root. Run:" % why, file=sys.stderr)
        for cmd in commands_for(install, entry, need_mount):
            print("  " + cmd, file=sys.stderr)
        raise SetupError("32-bit programs cannot run yet")
    did = []
    if install:
        install_qemu(entry)
        qemu = installed_qemu()
        did.append("installed qemu-user-static from %s%s" %
                   (BACKPORTS, " (added to the apt sources)" if entry else ""))
        if version_number(qemu) < MIN_QEMU_MAJOR:
            raise SetupError("%s gave %s, older than %d" % (BACKPORTS, qemu, MIN_QEMU_MAJOR))
    register()
    did.append("registered %s for i386 programs with binfmt_misc" % QEMU)
    return "%s, so %s" % (why, " and ".join(did))


def ensure(mode):
    probe = run_probe()
    installed = installed_qemu()
    if mode == "native":
        if probe.emulator:
            if os.geteuid() != 0:
                raise SetupError("the emulator is registered for 32-bit programs; remove it "
                                 "with: echo -1 | sudo tee %s/%s" % (BINFMT, ENTRY))
            unregister()
            probe = run_probe()
            print("removed the emulator's binfmt_misc entry for 32-bit programs")
        if not probe.runs or probe.emulator:
            raise SetupError("this machine's kernel does not run 32-bit programs itself (%s); "
                             "use WINE32=auto or WINE32=emulated"
                             % (probe.failure or "another emulator runs them"))
    elif not probe.runs:
        print(set_up_emulator("a 32-bit test program does not run here (%s)" % probe.failure))
        probe = run_probe()
    elif mode == "emulated" and not probe.emulator:
        print(set_up_emulator("the emulated path was asked for (WINE32=emulated)"))
        probe = run_probe()
    elif probe.emulator and installed and probe.emulator != installed:
        # The kernel still holds the emulator it opened at registration.
        print(set_up_emulator("the registered emulator (%s) is not the one installed (%s)"
                              % (probe.emulator, installed)))
        probe = run_probe()
    if not probe.runs:
        raise SetupError("32-bit programs still do not run after setting up the emulator")
    if mode == "emulated" and not probe.emulator:
        raise SetupError("32-bit programs still run without the emulator")
    print(probe.describe())


def main(argv):
    mode = argv[1] if len(argv) > 1 else (os.environ.get("WINE32") or "auto")
    if mode not in ("auto", "native", "emulated"):
        print("ensure-wine32: WINE32 must be auto, native or emulated, not %r" % mode,
              file=sys.stderr)
        return 2
    try:
        ensure(mode)
        return 0
    except (SetupError, subprocess.CalledProcessError, OSError) as e:
        print("ensure-wine32: %s" % e, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
