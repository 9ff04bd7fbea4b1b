#!/usr/bin/env python3
"""The Debian package's copyright and changelog, made from LICENSE and
CHANGELOG.md so that each text is written once.

    debian_docs.py copyright LICENSE
    debian_docs.py changelog CHANGELOG.md PACKAGE "NAME <ADDRESS>" [EPOCH]

Both write to standard output. The copyright file is in Debian's
machine-readable format (Format 1.0), the MIT text under its Debian name,
Expat. The changelog has an entry for every dated release of CHANGELOG.md,
newest first, each timed at midnight UTC of its day, and the newest at EPOCH
(seconds since 1970, the release commit's time) when given: Debian wants every
entry later than the one before, and releases may share a day. Nothing
depends on when the package was built.
"""

import datetime
import email.utils
import re
import sys
import textwrap

COPYRIGHT_FORMAT = "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
RELEASE = re.compile(r"^## \[(?P<version>[^\]]+)\] - (?P<date>\d{4}-\d{2}-\d{2})$")


class FormatError(Exception):
    pass


def debian_copyright(license_text):
    lines = license_text.rstrip("\n").split("\n")
    if not lines or lines[0].strip() != "MIT License":
        raise FormatError("LICENSE: the first line is not 'MIT License'")
    holders = [l for l in lines if l.startswith("Copyright (c) ")]
    if len(holders) != 1:
        raise FormatError("LICENSE: expected one 'Copyright (c) YEAR HOLDER' line")
    body = lines[lines.index(holders[0]) + 1:]
    while body and not body[0].strip():
        body.pop(0)
    if not body:
        raise FormatError("LICENSE: no licence text after the copyright line")
    out = [
        f"Format: {COPYRIGHT_FORMAT}",
        "Upstream-Name: glimpack",
        "",
        "Files: *",
        "Copyright: " + holders[0][len("Copyright (c) "):],
        "License: Expat",
    ]
    # Continuation lines start with a space; an empty line is written " .".
    out += [" " + l if l.strip() else " ." for l in body]
    return "\n".join(out) + "\n"


def plain(markdown):
    """The text of a changelog item without Markdown's marks."""
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", markdown)
    return text.replace("`", "").replace("**", "")


def releases(changelog_text):
    """[(version, date, [item, ...])] for every dated release, in file order."""
    found = []
    item = None
    for number, line in enumerate(changelog_text.split("\n"), 1):
        if line.startswith("## "):
            match = RELEASE.match(line)
            if match:
                try:
                    date = datetime.date.fromisoformat(match["date"])
                except ValueError:
                    raise FormatError(f"CHANGELOG.md:{number}: no such date {match['date']}")
                found.append((match["version"], date, []))
            elif line.strip() != "## [Unreleased]":
                raise FormatError(f"CHANGELOG.md:{number}: a release heading is "
                                  "'## [VERSION] - YYYY-MM-DD' or '## [Unreleased]'")
            else:
                found.append(None)
            item = None
        elif not found or found[-1] is None:
            continue
        elif line.startswith("- "):
            item = [line[2:].strip()]
            found[-1][2].append(item)
        elif line.startswith("  ") and item is not None and line.strip():
            item.append(line.strip())
        else:
            item = None
    result = []
    for release in found:
        if release is None:
            continue
        version, date, items = release
        if not items:
            raise FormatError(f"CHANGELOG.md: release {version} lists no changes")
        result.append((version, date, [plain(" ".join(i)) for i in items]))
    return result


def debian_changelog(changelog_text, package, maintainer, newest_epoch=None):
    entries = []
    previous = None
    for version, date, items in releases(changelog_text):
        when = datetime.datetime.combine(date, datetime.time(), datetime.timezone.utc)
        if not entries and newest_epoch is not None:
            when = datetime.datetime.fromtimestamp(newest_epoch, datetime.timezone.utc)
        if previous is not None and when >= previous:
            raise FormatError(f"CHANGELOG.md: release {version} is not older than the one above it")
        previous = when
        lines = [f"{package} ({version}) unstable; urgency=medium", ""]
        for item in items:
            lines += textwrap.wrap(item, width=78, initial_indent="  * ",
                                   subsequent_indent="    ", break_on_hyphens=False)
        lines += ["", f" -- {maintainer}  {email.utils.format_datetime(when)}"]
        entries.append("\n".join(lines) + "\n")
    if not entries:
        raise FormatError("CHANGELOG.md: no dated release")
    return "\n".join(entries)


def main(argv):
    try:
        if len(argv) == 3 and argv[1] == "copyright":
            with open(argv[2], encoding="utf-8") as f:
                sys.stdout.write(debian_copyright(f.read()))
        elif len(argv) in (5, 6) and argv[1] == "changelog":
            epoch = None
            if len(argv) == 6:
                if not argv[5].isdigit():
                    raise FormatError(f"not a time in seconds since 1970: {argv[5]}")
                epoch = int(argv[5])
            with open(argv[2], encoding="utf-8") as f:
                sys.stdout.write(debian_changelog(f.read(), argv[3], argv[4], epoch))
        else:
            print(__doc__.split("\n\n")[1], file=sys.stderr)
            return 1
    except (OSError, UnicodeDecodeError, FormatError) as e:
        print(f"debian_docs.py: {e}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
