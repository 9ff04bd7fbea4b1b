#!/usr/bin/env python3
"""Checks that each folder includes only what lies below it.

The folders and what each may use (besides itself):

    base              nothing: bytes and bounded text
    format            base: the package format, every derived name
    decoder           nothing: the codec's decoding half, bytes only
    encoder           decoder: the codec's encoding half, bytes only
    hostos            base: the host's system calls, one file per system
    platform          base format hostos: the Win32 surface, real or over real folders
    payload           base format decoder platform: the installer reading its file
    shell             base format payload platform: the installer's user interface
    resources         format shell: the stub's resource script
    pe                base format hostos: the checked PE reader, the stub layout
    package           base format decoder encoder hostos payload pe platform
    tools             everything above but the shell: the command line
    web               the same, and the shell's texts: the browser page's glue
    samples           nothing of the installer: the sample saver

Some files are narrower still: the shell's texts make no system calls, the
host back end's internal state is its own, and the test fakes are for tests.

The host side reaches the operating system only through hostos/, one file
per system: in the folders of the tool and the code it shares (SYSTEM_FREE)
no system header is included and no system is tested for (_WIN32,
__linux__ ...), but for the program's entry, which picks Windows' wide
entry point and takes a dropped package (SYSTEM_ENTRY). A port to another
system is then one more file in hostos/. The installer's Windows code
(platform/win32, shell, resources, samples) and the browser page's glue are
each written for one system by role.
Run with the repository's root as the argument (or from it).
"""
import os
import re
import sys

ALLOWED = {
    "base": set(),
    "format": {"base"},
    "decoder": set(),
    "encoder": {"decoder"},
    "hostos": {"base"},
    "platform": {"base", "format", "hostos"},
    "payload": {"base", "format", "decoder", "platform"},
    "shell": {"base", "format", "payload", "platform"},
    "resources": {"format", "shell"},
    "pe": {"base", "format", "hostos"},
    "package": {"base", "format", "decoder", "encoder", "hostos", "payload", "pe", "platform"},
    "tools": {"base", "format", "decoder", "encoder", "hostos", "payload", "pe", "platform",
              "package"},
    "web": {"base", "format", "decoder", "encoder", "hostos", "payload", "pe", "platform",
            "package", "shell"},
    "samples": set(),
}

# file (or folder prefix) -> folders it may not use although its folder may
NARROWER = {
    "shell/texts.": {"payload", "platform"},
    "format/": {"platform"},
}

# headers -> the only folders that may include them
PRIVATE = {
    "platform/host/host_state.h": {"platform", "tests"},
    "decoder/decode_engine.h": {"decoder", "payload", "tests", "bench", "fuzz"},
    "testkit/fakes/": {"tests", "fuzz"},
    # The shell's user interface is the installer's; others may show its texts.
    "shell/shell.h": {"shell", "tests", "fuzz"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
SOURCES = (".cpp", ".h", ".rc")

SYSTEM_FREE = ("base/", "format/", "decoder/", "encoder/", "payload/", "pe/", "package/",
               "tools/", "platform/host/")
SYSTEM_ENTRY = {"tools/glimpack/main.cpp": {"_WIN32"}}
SYSTEM_HEADER = re.compile(
    r'^\s*#\s*include\s*<((?:windows|winioctl|io|direct|conio|process|unistd|fcntl|dirent|'
    r'signal|termios|pwd|grp|dlfcn|sys/[^>]+)\.h)>', re.M)
SYSTEM_MACRO = re.compile(r'^\s*#\s*(?:if|ifdef|ifndef|elif)\b.*?\b(_WIN32|_WIN64|__linux__|'
                          r'__APPLE__|__unix__|__MINGW32__|_MSC_VER|__FreeBSD__)\b', re.M)


def system_problems(path, text):
    """What `path` (a file of a SYSTEM_FREE folder) asks of the system itself."""
    problems = []
    for header in SYSTEM_HEADER.findall(text):
        problems.append(f"{path}: includes <{header}>; only hostos/ calls the system")
    for macro in SYSTEM_MACRO.findall(text):
        if macro not in SYSTEM_ENTRY.get(path, set()):
            problems.append(f"{path}: tests for {macro}; only hostos/ (and the program's entry) "
                            f"may depend on the system")
    return problems


def top_folder(path):
    return path.split("/", 1)[0]


def check(root):
    problems = []
    for folder in ALLOWED:
        for directory, _, names in os.walk(os.path.join(root, folder)):
            for name in names:
                if not name.endswith(SOURCES):
                    continue
                path = os.path.relpath(os.path.join(directory, name), root).replace(os.sep, "/")
                with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                    text = f.read()
                if path.startswith(SYSTEM_FREE):
                    problems += system_problems(path, text)
                for included in INCLUDE.findall(text):
                    if "/" not in included:
                        continue  # a header beside the file (resource scripts)
                    used = top_folder(included)
                    if used == folder:
                        pass
                    elif used not in ALLOWED[folder]:
                        problems.append(f"{path}: includes {included}, but {folder}/ may use "
                                        f"only {sorted(ALLOWED[folder]) or 'nothing'}")
                        continue
                    for prefix, banned in NARROWER.items():
                        if path.startswith(prefix) and used in banned:
                            problems.append(f"{path}: includes {included}, which it may not")
    # Private headers, over the whole tree (tests and fuzz included).
    for directory, dirs, names in os.walk(root):
        dirs[:] = [d for d in dirs if not d.startswith(".") and d not in ("build", "node_modules")]
        for name in names:
            if not name.endswith(SOURCES):
                continue
            path = os.path.relpath(os.path.join(directory, name), root).replace(os.sep, "/")
            with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                text = f.read()
            for included in INCLUDE.findall(text):
                for header, users in PRIVATE.items():
                    if included.startswith(header) and top_folder(path) not in users:
                        problems.append(f"{path}: includes {included}, which only "
                                        f"{sorted(users)} may use")
    return problems


def main(argv):
    root = argv[1] if len(argv) > 1 else "."
    problems = check(root)
    for p in problems:
        print(p)
    if not problems:
        print("every folder uses only what lies below it")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
