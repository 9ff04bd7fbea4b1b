#!/usr/bin/python3
"""Packs a package on the real stub with glimpack and reads it back with pefile,
independently of the installer's code: the payload must start at the data of
LASTRES/1000/1033, the records must describe the inputs in order, stored
bodies must equal their inputs, and glimpack extract must give every input back.

    check_package.py GLIMPACK STUB WORKDIR"""

import os
import random
import shutil
import struct
import subprocess
import sys

import pefile


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def main():
    glimpack, stub, work = sys.argv[1:4]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    rnd = random.Random(7)
    inputs = {
        "STARS.SCR": bytes(rnd.getrandbits(8) for _ in range(30000)),
        "STARS.DAT": b"stars=150\r\nspeed=4\r\n" * 40,
        "SKY.BMP": bytes(rnd.getrandbits(8) for _ in range(5000)),
        "NOTES.TXT": b"a line of notes about the stars\r\n" * 300,
    }
    for name, data in inputs.items():
        with open(os.path.join(work, name), "wb") as f:
            f.write(data)
    package = os.path.join(work, "STARS.EXE")
    p = lambda n: os.path.join(work, n)
    subprocess.run([glimpack, "pack", "-q", "-o", package, "--title", "Stars", "--scr",
                    p("STARS.SCR"), "--dat", p("STARS.DAT"), "--first-number", "32", "--stub",
                    stub, p("SKY.BMP"), p("NOTES.TXT")], check=True)

    pe = pefile.PE(package)
    rsrc = [s for s in pe.sections if s.Name.rstrip(b"\0") == b".rsrc"]
    if not rsrc or pe.sections[-1] is not rsrc[0]:
        fail(".rsrc is not the last section of the package")
    position = None
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if t.name is not None and str(t.name) == "LASTRES":
            for n in t.directory.entries:
                for lang in n.directory.entries:
                    if n.id == 1000 and lang.id == 1033:
                        position = pe.get_offset_from_rva(lang.data.struct.OffsetToData)
    if position is None:
        fail("no LASTRES/1000/1033 in the package")
    data = open(package, "rb").read()
    if data[position:position + 5] != b"Stars" or any(data[position + 5:position + 32]):
        fail("no title at the LASTRES data (%d)" % position)
    if struct.unpack_from("<H", data, position + 32)[0] != 32:
        fail("first_file_number is not 32")

    order = ["STARS.SCR", "STARS.DAT", "SKY.BMP", "NOTES.TXT"]
    table = position + 34
    expected_offset = table + 16 * (len(order) + 1)
    methods = []
    for i, name in enumerate(order):
        offset, stored, unpacked = struct.unpack_from("<III", data, table + 16 * i)
        ext = data[table + 16 * i + 12:table + 16 * i + 16].rstrip(b"\0")
        if offset != expected_offset:
            fail("record %d body at %d, expected %d" % (i, offset, expected_offset))
        if ext != b"." + name.split(".")[1].encode():
            fail("record %d extension %r" % (i, ext))
        body = data[offset:offset + stored]
        if unpacked == 0:
            if body != inputs[name]:
                fail("stored body of %s differs from its input" % name)
        elif unpacked != len(inputs[name]) or stored >= unpacked:
            fail("compressed record %s has sizes %d/%d" % (name, stored, unpacked))
        methods.append("stored" if unpacked == 0 else "compressed")
        expected_offset = offset + stored
    if data[table + 16 * len(order):table + 16 * len(order) + 16] != b"\0" * 16:
        fail("no 16-byte terminator after the records")
    if methods != ["stored", "compressed", "stored", "compressed"]:
        fail("unexpected methods %s" % methods)
    end = rsrc[0].PointerToRawData + rsrc[0].SizeOfRawData
    if len(data) < end:
        fail("package ends inside the resource section's raw data")

    out = os.path.join(work, "out")
    subprocess.run([glimpack, "extract", "-q", "-d", out, package], check=True)
    where = {"STARS.SCR": "STARS.SCR", "STARS.DAT": "QUILLFEN/GLIMLOOM/STARS/STARS.DAT",
             "SKY.BMP": "QUILLFEN/GLIMLOOM/STARS/FILE0032.BMP",
             "NOTES.TXT": "QUILLFEN/GLIMLOOM/STARS/FILE0033.TXT"}
    for name, rel in where.items():
        if open(os.path.join(out, rel), "rb").read() != inputs[name]:
            fail("extracted %s differs from its input" % rel)
    print("package on the real stub: payload at %d, %d records, all bodies as packed"
          % (position, len(order)))


if __name__ == "__main__":
    main()
