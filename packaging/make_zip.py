#!/usr/bin/env python3
"""A zip archive whose bytes depend only on the files' contents and names.

    make_zip.py OUTPUT.zip FOLDER EPOCH NAME=PATH... [--text NAME=PATH...]

Every member goes under FOLDER/ in name order, dated EPOCH (seconds since
1970, taken as UTC), with no owner, mode or extra field from the machine
that packs. Members after --text are text for Windows: their line ends become
CRLF. The archive is written beside OUTPUT and renamed onto it, so a failed
run leaves no half archive.
"""

import datetime
import os
import sys
import zipfile

# Zip dates are MS-DOS dates: 1980 at the earliest, in steps of two seconds.
ZIP_EARLIEST = datetime.datetime(1980, 1, 1, tzinfo=datetime.timezone.utc)


class UsageError(Exception):
    pass


def zip_date(epoch):
    when = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc)
    when = max(when, ZIP_EARLIEST)
    return (when.year, when.month, when.day, when.hour, when.minute, when.second // 2 * 2)


def crlf(data):
    return data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


def write_zip(output, folder, epoch, members):
    """members: [(name, path, is_text)]."""
    names = [name for name, _, _ in members]
    if len(set(names)) != len(names):
        raise UsageError("a member name is given twice")
    for name in names:
        if not name or "/" in name or "\\" in name or name in (".", ".."):
            raise UsageError(f"not a plain file name: {name!r}")
    date = zip_date(epoch)
    partial = output + ".partial"
    try:
        with zipfile.ZipFile(partial, "w") as archive:
            for name, path, is_text in sorted(members):
                with open(path, "rb") as f:
                    data = f.read()
                info = zipfile.ZipInfo(f"{folder}/{name}", date_time=date)
                info.compress_type = zipfile.ZIP_DEFLATED
                # Made on MS-DOS as far as the archive says: no Unix owner or
                # mode bits, only the archive attribute every Windows file has.
                info.create_system = 0
                info.external_attr = 0x20
                archive.writestr(info, crlf(data) if is_text else data, compresslevel=9)
        os.replace(partial, output)
    except BaseException:
        if os.path.exists(partial):
            os.remove(partial)
        raise


def main(argv):
    try:
        if len(argv) < 5:
            raise UsageError("usage: make_zip.py OUTPUT.zip FOLDER EPOCH NAME=PATH... [--text NAME=PATH...]")
        output, folder, epoch = argv[1], argv[2], argv[3]
        if not epoch.isdigit():
            raise UsageError(f"not a time in seconds since 1970: {epoch}")
        members = []
        is_text = False
        for arg in argv[4:]:
            if arg == "--text":
                is_text = True
                continue
            name, sep, path = arg.partition("=")
            if not sep or not path:
                raise UsageError(f"not NAME=PATH: {arg}")
            members.append((name, path, is_text))
        write_zip(output, folder, int(epoch), members)
    except UsageError as e:
        print(f"make_zip.py: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"make_zip.py: {e.filename or output}: {e.strerror}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
