#!/usr/bin/env python3
"""Checks that each folder uses only what lies below it.

The folders and what each may use (besides itself):

    base              nothing: bytes, bounded text, the Windows name rules
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
    archive           nothing: archives and disc images read member by member (a library's)
    tools             everything above but the shell: the command line
    web               the same, and the shell's texts: the browser page's glue
    samples           nothing of the installer: the sample saver
    testkit           all of the above: what tests, fuzz and bench share
    tests, fuzz, bench  all of the above and testkit, but never each other

"Uses" is every way one file can reach another: a quoted or angle-bracket
#include (resolved beside the file, then from the repository's root, with
"." and ".." applied), in every C and C++ file and resource script of these
folders, and in their CMake files a target_link_libraries of another folder's
target, an include() of another folder's CMake file, and a source file of
another folder compiled into a target.

Some files are narrower still: the shell's texts make no system calls, and
the private headers (PRIVATE) have a short list of users: the host back
end's headers are the emulated Windows' own and the package session's,
which owns its state for a package; the test fakes are for tests.

The host side reaches the operating system only through hostos/, one file
per system. In the folders of the tool and the code it shares (SYSTEM_FREE):

  - no header is included but the C and C++ standard library's (and the
    compiler's SIMD intrinsics); an operating system's or any other
    library's header is refused, whatever its name, and so are the standard
    headers that reach the system themselves: <filesystem> and <fstream>
    (files by name), <thread> and <future> (threads), <csignal> (signals),
    <ctime> and <chrono> (the clocks), <clocale> and <locale> (the process's
    locale);
  - no function is called that reaches the system although its header is
    otherwise plain: getenv and the other environment calls (<cstdlib>),
    system and popen (programs), fopen, freopen, tmpfile and tmpnam (files
    by name, <cstdio>), and std::random_device;
  - no system is tested for (_WIN32, __linux__ ...).

Ending the program (exit, abort) and the standard streams (printf, fwrite on
a stream hostos opened) are not counted as reaching the system. The
program's entry (SYSTEM_ENTRY) may test for Windows, to pick its wide entry
point and take a dropped package, and may use the standard headers and calls
above; a port to another system is then one more file in hostos/. The
installer's Windows code (platform/win32, shell, resources, samples) and the
browser page's glue are each written for one system by role.

Run with the repository's root as the argument (or from it).
"""
import os
import re
import sys

PRODUCT = {
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
    "archive": set(),
    "tools": {"base", "format", "decoder", "encoder", "hostos", "payload", "pe", "platform",
              "package", "archive"},
    "web": {"base", "format", "decoder", "encoder", "hostos", "payload", "pe", "platform",
            "package", "shell"},
    "samples": set(),
}
ALLOWED = dict(PRODUCT)
ALLOWED["testkit"] = set(PRODUCT)
for _folder in ("tests", "fuzz", "bench"):
    ALLOWED[_folder] = set(PRODUCT) | {"testkit"}

# file (or folder prefix) -> folders it may not use although its folder may
NARROWER = {
    "shell/texts.": {"payload", "platform"},
}

# header (or folder prefix) -> the only files or folders that may include it
PRIVATE = {
    # The emulated Windows' world: set up by the package session for the
    # package it holds, and by the tests and fuzz targets for theirs.
    "platform/host/": {"platform", "package/session.h", "package/session.cpp", "tests", "fuzz",
                       "testkit"},
    # Its internal state, which only the fakes reach into.
    "platform/host/host_state.h": {"platform", "tests", "testkit"},
    "decoder/decode_engine.h": {"decoder", "payload", "tests", "bench", "fuzz", "testkit"},
    "testkit/fakes/": {"tests", "fuzz", "testkit"},
    # The shell's user interface is the installer's; others may show its texts.
    "shell/shell.h": {"shell", "tests", "fuzz", "testkit"},
}
# CMake targets -> the only folders that may link them
PRIVATE_TARGETS = {
    "glim_fakes": {"tests", "fuzz", "testkit"},
}

SOURCES = (".c", ".cc", ".cpp", ".cxx", ".c++", ".cp", ".h", ".hh", ".hpp", ".hxx", ".h++",
           ".inc", ".inl", ".ipp", ".tcc", ".tpp", ".ixx", ".cppm", ".rc", ".rc2")
CMAKE_FILES = ("cmakelists.txt", ".cmake")
SKIPPED_DIRECTORIES = {"build", "node_modules"}

SYSTEM_FREE = ("base/", "format/", "decoder/", "encoder/", "payload/", "pe/", "package/",
               "tools/", "platform/host/")
# file -> (system macros it may test for, whether it may use the standard
# library's system-facing headers and calls)
SYSTEM_ENTRY = {"tools/glimpack/main.cpp": ({"_WIN32"}, True)}

# The C and C++ standard headers that do not reach the system.
PLAIN_STANDARD = set("""
algorithm any array atomic barrier bit bitset cassert ccomplex cctype cerrno cfenv cfloat
charconv cinttypes ciso646 climits cmath codecvt compare complex concepts condition_variable
coroutine csetjmp cstdalign cstdarg cstdbool cstddef cstdint cstdio cstdlib cstring ctgmath
cuchar cwchar cwctype deque exception execution expected format forward_list functional
initializer_list iomanip ios iosfwd iostream istream iterator latch limits list map
memory memory_resource mutex new numbers numeric optional ostream queue random ranges ratio
regex scoped_allocator semaphore set shared_mutex source_location span sstream stack
stdexcept stop_token streambuf string string_view strstream syncstream system_error tuple
type_traits typeindex typeinfo unordered_map unordered_set utility valarray variant vector
version
assert.h complex.h ctype.h errno.h fenv.h float.h inttypes.h iso646.h limits.h math.h
setjmp.h stdalign.h stdarg.h stdatomic.h stdbool.h stddef.h stdint.h stdio.h stdlib.h
stdnoreturn.h string.h tgmath.h uchar.h wchar.h wctype.h
""".split())
# Standard headers that are the system's: only hostos/ and the entry.
SYSTEM_STANDARD = {
    "filesystem": "files by name", "fstream": "files by name", "thread": "threads",
    "future": "threads", "csignal": "signals", "signal.h": "signals", "ctime": "the clock",
    "time.h": "the clock", "chrono": "the clock", "clocale": "the process's locale",
    "locale.h": "the process's locale", "locale": "the process's locale",
}
INTRINSICS = re.compile(r"^[a-z0-9]*intrin\.h$")
# Called as a function, as the standard library's own (std::name or ::name)
# or unqualified, not as a member or another namespace's function.
SYSTEM_CALL = re.compile(
    r"(?<![\w.>:])(?:std\s*::\s*|::\s*)?\b(getenv|secure_getenv|_wgetenv|setenv|unsetenv|"
    r"putenv|_putenv|_wputenv|system|_wsystem|popen|_popen|_wpopen|fopen|_wfopen|freopen|"
    r"_wfreopen|tmpfile|tmpnam)\s*\(|\b(random_device)\b")
SYSTEM_MACRO = re.compile(r'^\s*#\s*(?:if|ifdef|ifndef|elif)\b.*?\b(_WIN32|_WIN64|__linux__|'
                          r'__APPLE__|__unix__|__MINGW32__|_MSC_VER|__FreeBSD__)\b', re.M)
INCLUDE = re.compile(r'^[ \t]*#[ \t]*(?:include|include_next|import)[ \t]*'
                     r'(?:"([^"\n]*)"|<([^>\n]*)>|([A-Za-z_]\w*))', re.M)


def strip_comments(text, strings_too=False):
    """The C/C++ text without its comments (each kept as one blank, its line
    breaks kept); with `strings_too` also without the contents of string and
    character literals, so that what is left is code."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            i = n if end < 0 else end
            out.append(" ")
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(" " + "\n" * text.count("\n", i, end))
            i = end
        elif c == "R" and i + 1 < n and text[i + 1] == '"' and (i == 0 or not (
                text[i - 1].isalnum() or text[i - 1] == "_")):
            opening = text.find("(", i + 2)
            delimiter = text[i + 2:opening] if opening >= 0 else ""
            end = text.find(")" + delimiter + '"', opening) if opening >= 0 else -1
            end = n if end < 0 else end + len(delimiter) + 2
            out.append('""' if strings_too else text[i:end])
            i = end
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(c + c if strings_too else text[i:j])
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


def relative(root, path):
    return os.path.relpath(path, root).replace(os.sep, "/")


def top_folder(path):
    return path.split("/", 1)[0]


def walk(root, folders, suffixes):
    """Every file below the given folders whose name ends with one of
    `suffixes`, as a path relative to `root` with "/" separators."""
    for folder in folders:
        for directory, dirs, names in os.walk(os.path.join(root, folder)):
            dirs[:] = sorted(d for d in dirs
                             if not d.startswith(".") and d not in SKIPPED_DIRECTORIES)
            for name in sorted(names):
                lowered = name.lower()
                if lowered.endswith(".in"):
                    lowered = lowered[:-3]  # a configured header (version.h.in)
                if lowered.endswith(suffixes):
                    yield relative(root, os.path.join(directory, name))


def resolve(root, path, included, quoted):
    """The repository path `included` (as written in `path`) names, or None
    for a header that is not the repository's. A quoted name is looked for
    beside the file first; both kinds then from the root, which is the one
    include directory. A name that leaves the repository stays as written."""
    def normal(candidate):
        return os.path.normpath(candidate).replace(os.sep, "/")

    beside = normal(os.path.join(os.path.dirname(path), included)) if quoted else None
    from_root = normal(included)
    for candidate in (beside, from_root):
        if candidate and os.path.isfile(os.path.join(root, candidate)):
            return candidate
    # Not there (a generated header, or one still to be written): a name
    # that starts with a folder of the table is that folder's all the same.
    relative_name = included.startswith(("./", "../"))
    candidate = beside if relative_name and quoted else from_root
    if candidate == ".." or candidate.startswith("../"):
        return candidate
    if "/" in candidate and top_folder(candidate) in ALLOWED:
        return candidate
    return None  # quoted or not, a header of the system or another library


def may_use(user, users):
    """Whether the file `user` is one of `users` (folders or files)."""
    return any(user == u or user.startswith(u.rstrip("/") + "/") for u in users)


def use_problems(path, used, how):
    """What is wrong with the file `path` using the repository file `used`."""
    folder = top_folder(path)
    if used == ".." or used.startswith("../"):
        return [f"{path}: {how}, which lies outside the repository"]
    problems = []
    target = top_folder(used)
    if target != folder:
        if target not in ALLOWED:
            problems.append(f"{path}: {how}, which belongs to no folder of the table")
        elif target not in ALLOWED[folder]:
            problems.append(f"{path}: {how}, but {folder}/ may not use {target}/")
    for prefix, banned in NARROWER.items():
        if path.startswith(prefix) and target in banned:
            problems.append(f"{path}: {how}, which it may not")
    for header, users in PRIVATE.items():
        if used.startswith(header) and not may_use(path, users):
            problems.append(f"{path}: {how}, which only {sorted(users)} may use")
    return problems


def system_problems(path, text, code, system_headers):
    """What `path` (a file of a SYSTEM_FREE folder) asks of the system itself."""
    macros, standard_allowed = SYSTEM_ENTRY.get(path, (set(), False))
    problems = []
    for header in system_headers:
        if header in SYSTEM_STANDARD:
            if not standard_allowed:
                problems.append(f"{path}: includes <{header}> ({SYSTEM_STANDARD[header]}); only "
                                f"hostos/ and the program's entry reach the system")
        elif header not in PLAIN_STANDARD and not INTRINSICS.match(header):
            problems.append(f"{path}: includes <{header}>, not a header of the standard "
                            f"library; only hostos/ calls the system")
    if not standard_allowed:
        for call in sorted({a or b for a, b in SYSTEM_CALL.findall(code)}):
            problems.append(f"{path}: calls {call}, which reaches the system; only hostos/ "
                            f"and the program's entry do")
    for macro in SYSTEM_MACRO.findall(text):
        if macro not in macros:
            problems.append(f"{path}: tests for {macro}; only hostos/ (and the program's entry) "
                            f"may depend on the system")
    return problems


def source_problems(root, path):
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
        raw = f.read()
    text = strip_comments(raw)
    problems = []
    system_headers = []
    for quoted, angled, macro in INCLUDE.findall(text):
        if macro:
            problems.append(f"{path}: includes through the macro {macro}, which this check "
                            f"cannot follow; name the header")
            continue
        included = quoted or angled
        used = resolve(root, path, included, bool(quoted))
        if used is None:
            system_headers.append(included)
            continue
        problems += use_problems(path, used, f"includes {included}")
    if path.startswith(SYSTEM_FREE):
        problems += system_problems(path, text, strip_comments(raw, strings_too=True),
                                    system_headers)
    return problems


# --- CMake ---------------------------------------------------------------------

CMAKE_COMMAND = re.compile(r"\b([A-Za-z_]\w*)\s*\(")
CMAKE_KEYWORDS = {"PUBLIC", "PRIVATE", "INTERFACE", "STATIC", "SHARED", "MODULE", "OBJECT",
                  "WIN32", "MACOSX_BUNDLE", "EXCLUDE_FROM_ALL", "IMPORTED", "GLOBAL", "ALIAS",
                  "LINK_PUBLIC", "LINK_PRIVATE", "LINK_INTERFACE_LIBRARIES", "debug",
                  "optimized", "general", "OPTIONAL", "NO_POLICY_SCOPE", "RESULT_VARIABLE"}
SOURCE_VARIABLES = ("${CMAKE_SOURCE_DIR}/", "${PROJECT_SOURCE_DIR}/",
                    "${CMAKE_CURRENT_SOURCE_DIR}/", "${CMAKE_CURRENT_LIST_DIR}/")


def cmake_commands(text):
    """(name, arguments) of every command call, comments left out."""
    text = re.sub(r"#[^\n]*", "", text)
    commands = []
    for match in CMAKE_COMMAND.finditer(text):
        depth, i = 1, match.end()
        while i < len(text) and depth:
            depth += {"(": 1, ")": -1}.get(text[i], 0)
            i += 1
        arguments = re.findall(r'"[^"]*"|[^\s"]+', text[match.end():i - 1])
        commands.append((match.group(1).lower(), [a.strip('"') for a in arguments]))
    return commands


def target_pattern(name):
    """A regular expression for a target name that may hold variables
    (glim_shell${suffix} stands for glim_shell, glim_shell_win32 ...)."""
    parts = re.split(r"\$\{[^}]*\}", name)
    return re.compile("^" + r"\w*".join(re.escape(p) for p in parts) + "$")


def cmake_path(root, cmake_file, argument, variables):
    """The repository path a CMake argument names as a file, or None."""
    for name, value in variables.items():
        argument = argument.replace("${" + name + "}", value)
    directory = os.path.dirname(cmake_file)
    for prefix in SOURCE_VARIABLES:
        if argument.startswith(prefix):
            base = directory if "CURRENT" in prefix else ""
            argument = os.path.join(base, argument[len(prefix):])
            break
    else:
        if "$" in argument or os.path.isabs(argument):
            return None
        argument = os.path.join(directory, argument)
    return os.path.normpath(argument).replace(os.sep, "/")


def cmake_problems(root, cmake_files):
    """Links, included CMake files and compiled sources of other folders."""
    defined = []  # (pattern, folder)
    parsed = []
    for path in cmake_files:
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            commands = cmake_commands(f.read())
        parsed.append((path, commands))
        for name, arguments in commands:
            if name in ("add_library", "add_executable") and arguments:
                defined.append((target_pattern(arguments[0]), top_folder(path)))

    def folder_of(target):
        # A name written out wins over one made with variables.
        for exact in (True, False):
            for pattern, folder in defined:
                if ("\\w*" not in pattern.pattern) == exact and pattern.match(target):
                    return folder
        return None  # a library of the system or of another project

    def link_problems(path, folder, item):
        used = folder_of(item)
        if used is None:
            return []
        problems = []
        if used != folder and used not in ALLOWED[folder]:
            problems.append(f"{path}: links {item}, but {folder}/ may not use {used}/")
        users = PRIVATE_TARGETS.get(item)
        if users is not None and folder not in users:
            problems.append(f"{path}: links {item}, which only {sorted(users)} may link")
        return problems

    problems = []
    for path, commands in parsed:
        folder = top_folder(path)
        variables = {}
        for name, arguments in commands:
            if name == "set" and len(arguments) >= 2:
                variables[arguments[0]] = arguments[1]
            for argument in arguments:
                for item in re.findall(r"\$<TARGET_OBJECTS:([^>]+)>", argument):
                    problems += link_problems(path, folder, item)
            if name == "target_link_libraries":
                for item in arguments[1:]:
                    if item in CMAKE_KEYWORDS or item.startswith(("-", "$<")) or "::" in item:
                        continue
                    problems += link_problems(path, folder, item)
            elif name in ("add_library", "add_executable", "target_sources", "include"):
                for argument in arguments[1:] if name != "include" else arguments[:1]:
                    wanted = ".cmake" if name == "include" else SOURCES
                    if not argument.lower().endswith(wanted):
                        continue
                    used = cmake_path(root, path, argument, variables)
                    if used is not None:
                        what = "includes" if name == "include" else "compiles"
                        problems += use_problems(path, used, f"{what} {argument}")
    return problems


def check(root):
    problems = []
    for path in walk(root, sorted(ALLOWED), SOURCES):
        problems += source_problems(root, path)
    problems += cmake_problems(root, list(walk(root, sorted(ALLOWED), CMAKE_FILES)))
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
