#!/usr/bin/python3
"""Checks of the built installer stub with an independent PE parser (pefile)
and the cross binutils' objdump.

Usage: check_stub.py STUB.EXE [LINKED.EXE] [TestClass ...]

STUB.EXE is the laid-out glimsetup.exe, LINKED.EXE the linker's output it was
made from (for the checks that the layout step kept every resource). The
class ToolImports checks glimpack.exe, given as STUB.EXE.
"""
import os
import struct
import subprocess
import sys
import unittest

import pefile

STUB = None
LINKED = None

RT_ICON, RT_DIALOG, RT_GROUP_ICON = 3, 5, 14
LANG_EN_US = 1033
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "advapi32.dll",
               "shell32.dll", "comctl32.dll", "comdlg32.dll", "ole32.dll", "oleaut32.dll"}
# glimpack.exe also checks signatures with the system's CryptoAPI.
TOOL_DLLS = SYSTEM_DLLS | {"crypt32.dll"}

# Window and control styles, spelled out so that the expectations below read
# like the dialog descriptions they come from.
WS_POPUP, WS_VISIBLE, WS_CAPTION, WS_SYSMENU = 0x80000000, 0x10000000, 0x00C00000, 0x00080000
DS_MODALFRAME, DS_SETFONT = 0x80, 0x40
BUTTON, STATIC = 0x80, 0x82

PROGRESS = {
    "style": 0x900000C0, "exstyle": 0, "rect": (0, 0, 187, 75), "menu": None, "class": None,
    "title": "", "font": (8, "MS Sans Serif"),
    "controls": [
        (1, BUTTON, 0x40010001, (131, 6, 50, 14), "OK"),
        (2, BUTTON, 0x40010000, (131, 23, 50, 14), "Cancel"),
        (0xFFFF, STATIC, 0x50020001, (50, 15, 86, 8), "Installing"),
        (0xFFFF, STATIC, 0x50020001, (48, 50, 90, 8), "Please Wait..."),
        (1001, STATIC, 0x50020081, (13, 31, 159, 8), ""),
    ],
}

VENDOR = {
    "style": 0x90C800C0, "exstyle": 0, "rect": (0, 0, 205, 154), "menu": None, "class": None,
    "title": "Glimmerloom Ordering Info", "font": (8, "MS Sans Serif"),
    "controls": [
        (0xFFFF, STATIC, 0x50020001, (23, 25, 158, 10), "*** GLIMMERLOOM ***"),
        (0xFFFF, STATIC, 0x50020000, (157, 18, 11, 8), "TM"),
        (1, BUTTON, 0x50010001, (78, 134, 50, 14), "OK"),
        (0xFFFF, STATIC, 0x50020001, (23, 7, 158, 10),
         "This custom screen saver was created with"),
        (0xFFFF, STATIC, 0x50020001, (23, 42, 158, 8), "Requires No Programming"),
        (0xFFFF, STATIC, 0x50020001, (23, 59, 158, 8), "FREE screen savers at"),
        (0xFFFF, STATIC, 0x50020001, (23, 74, 158, 8), "www.glimmerloom.example"),
        (0xFFFF, STATIC, 0x50020001, (23, 91, 158, 36),
         "Quillfen Software Ltd.\n1 Example Lane\nSpringfield, EX 00000\nTel. (555) 010-0199"),
    ],
}


def load(path):
    return pefile.PE(path, fast_load=False)


def resources(pe):
    """{(type, name, lang): (rva, bytes)}; named levels as str."""
    out = {}
    data = pe.__data__
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        tkey = str(t.name) if t.name is not None else t.id
        for n in t.directory.entries:
            nkey = str(n.name) if n.name is not None else n.id
            for l in n.directory.entries:
                rva, size = l.data.struct.OffsetToData, l.data.struct.Size
                off = pe.get_offset_from_rva(rva)
                out[(tkey, nkey, l.id)] = (rva, bytes(data[off:off + size]))
    return out


def section(pe, name):
    for s in pe.sections:
        if s.Name.rstrip(b"\0") == name:
            return s
    raise AssertionError("no section %r" % name)


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def u16(self):
        v, = struct.unpack_from("<H", self.data, self.pos)
        self.pos += 2
        return v

    def i16(self):
        v, = struct.unpack_from("<h", self.data, self.pos)
        self.pos += 2
        return v

    def u32(self):
        v, = struct.unpack_from("<I", self.data, self.pos)
        self.pos += 4
        return v

    def sz(self):
        chars = []
        while True:
            c = self.u16()
            if c == 0:
                return "".join(chars)
            chars.append(chr(c))

    def sz_or_ord(self):
        first, = struct.unpack_from("<H", self.data, self.pos)
        if first == 0:
            self.pos += 2
            return None
        if first == 0xFFFF:
            self.pos += 2
            return self.u16()
        return self.sz()

    def align4(self):
        self.pos = (self.pos + 3) & ~3


def parse_dialog(blob):
    """A plain DLGTEMPLATE with its DLGITEMTEMPLATEs."""
    r = Reader(blob)
    d = {"style": r.u32(), "exstyle": r.u32()}
    count = r.u16()
    d["rect"] = (r.i16(), r.i16(), r.i16(), r.i16())
    d["menu"], d["class"], d["title"] = r.sz_or_ord(), r.sz_or_ord(), r.sz()
    d["font"] = (r.u16(), r.sz()) if d["style"] & DS_SETFONT else None
    controls = []
    for _ in range(count):
        r.align4()
        style, exstyle = r.u32(), r.u32()
        rect = (r.i16(), r.i16(), r.i16(), r.i16())
        cid = r.u16()
        cls = r.sz_or_ord()
        # A class given by name means the same as its atom.
        if isinstance(cls, str):
            cls = {"BUTTON": BUTTON, "STATIC": STATIC}.get(cls.upper(), cls)
        text = r.sz_or_ord()
        extra = r.u16()
        r.pos += extra
        if exstyle != 0:
            raise AssertionError("control %d has extended style %#x" % (cid, exstyle))
        controls.append((cid, cls, style, rect, "" if text is None else text))
    d["controls"] = controls
    return d, r.pos


class Headers(unittest.TestCase):
    def test_pe32_i386_gui(self):
        pe = load(STUB)
        self.assertEqual(pe.FILE_HEADER.Machine, 0x14C)
        self.assertEqual(pe.OPTIONAL_HEADER.Magic, 0x10B)
        self.assertEqual(pe.OPTIONAL_HEADER.Subsystem, 2)  # Windows GUI
        # The installer's own header walk assumes exactly this size.
        self.assertEqual(pe.FILE_HEADER.SizeOfOptionalHeader, 224)
        self.assertFalse(pe.FILE_HEADER.Characteristics & 0x2000, "built as a DLL")

    def test_checksum_is_valid(self):
        pe = load(STUB)
        self.assertEqual(pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())

    def test_small(self):
        size = os.path.getsize(STUB)
        print("glimsetup.exe: %d bytes" % size, file=sys.stderr)
        self.assertLess(size, 128 * 1024)


class Imports(unittest.TestCase):
    def test_only_system_dlls_pefile(self):
        pe = load(STUB)
        dlls = {e.dll.decode().lower() for e in pe.DIRECTORY_ENTRY_IMPORT}
        self.assertTrue({"kernel32.dll", "user32.dll"} <= dlls, dlls)
        self.assertEqual(dlls - SYSTEM_DLLS, set())
        self.assertFalse(hasattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT"))

    def test_only_system_dlls_objdump(self):
        out = subprocess.run(["i686-w64-mingw32-objdump", "-p", STUB], check=True,
                             capture_output=True, text=True).stdout
        dlls = {line.split(":", 1)[1].strip().lower()
                for line in out.splitlines() if "DLL Name:" in line}
        self.assertTrue(dlls)
        self.assertEqual(dlls - SYSTEM_DLLS, set())
        for bad in ("libgcc", "libstdc++", "libwinpthread"):
            self.assertNotIn(bad, out.lower())


class ToolImports(unittest.TestCase):
    """glimpack.exe, given in place of the stub: a 32-bit console program
    that runs on a bare Windows, its runtime linked in."""

    def test_console_program_needing_only_system_dlls(self):
        pe = load(STUB)
        self.assertEqual(pe.FILE_HEADER.Machine, 0x14C)
        self.assertEqual(pe.OPTIONAL_HEADER.Subsystem, 3)  # Windows console
        dlls = {e.dll.decode().lower() for e in pe.DIRECTORY_ENTRY_IMPORT}
        self.assertIn("kernel32.dll", dlls)
        self.assertEqual(dlls - TOOL_DLLS, set())
        out = subprocess.run(["i686-w64-mingw32-objdump", "-p", STUB], check=True,
                             capture_output=True, text=True).stdout
        for bad in ("libgcc", "libstdc++", "libwinpthread"):
            self.assertNotIn(bad, out.lower())


class Resources(unittest.TestCase):
    def setUp(self):
        self.res = resources(load(STUB))

    def test_exactly_the_expected_resources(self):
        types = {k[0] for k in self.res}
        self.assertEqual(types, {"LASTRES", RT_ICON, RT_DIALOG, RT_GROUP_ICON})
        self.assertTrue(all(k[2] == LANG_EN_US for k in self.res), sorted(self.res, key=str))
        self.assertEqual({k[1] for k in self.res if k[0] == RT_DIALOG}, {103, 104})
        self.assertEqual({k[1] for k in self.res if k[0] == RT_GROUP_ICON}, {101})

    def test_lastres(self):
        self.assertIn(("LASTRES", 1000, LANG_EN_US), self.res)
        self.assertEqual(len(self.res[("LASTRES", 1000, LANG_EN_US)][1]), 4)
        self.assertEqual([k for k in self.res if k[0] == "LASTRES"],
                         [("LASTRES", 1000, LANG_EN_US)])

    def test_icon_group_101_has_16_and_32_pixel_icons(self):
        grp = self.res[(RT_GROUP_ICON, 101, LANG_EN_US)][1]
        reserved, kind, count = struct.unpack_from("<HHH", grp, 0)
        self.assertEqual((reserved, kind), (0, 1))
        sizes = set()
        for i in range(count):
            w, h, _, _, _, _, nbytes, icon_id = struct.unpack_from("<BBBBHHIH", grp, 6 + 14 * i)
            icon = self.res[(RT_ICON, icon_id, LANG_EN_US)][1]
            self.assertEqual(len(icon), nbytes)
            # Each image is a DIB whose header repeats the size (height doubled
            # for the mask).
            hdr, bw, bh = struct.unpack_from("<Iii", icon, 0)
            self.assertEqual((hdr, bw, bh), (40, w, 2 * h))
            sizes.add((w, h))
        self.assertEqual(sizes, {(16, 16), (32, 32)})

    def check_dialog(self, number, expected):
        blob = self.res[(RT_DIALOG, number, LANG_EN_US)][1]
        self.assertNotEqual(struct.unpack_from("<HH", blob, 0), (1, 0xFFFF),
                            "extended dialog template")
        got, used = parse_dialog(blob)
        self.assertLessEqual(used, len(blob))
        for key in ("style", "exstyle", "rect", "menu", "class", "title", "font"):
            self.assertEqual(got[key], expected[key], "dialog %d: %s" % (number, key))
        self.assertEqual(len(got["controls"]), len(expected["controls"]))
        for i, (g, e) in enumerate(zip(got["controls"], expected["controls"])):
            self.assertEqual(g, e, "dialog %d control #%d" % (number, i + 1))

    def test_progress_dialog_103(self):
        self.check_dialog(103, PROGRESS)
        # Hidden buttons, no title bar.
        self.assertFalse(PROGRESS["style"] & WS_CAPTION)

    def test_vendor_dialog_104(self):
        self.check_dialog(104, VENDOR)


class Layout(unittest.TestCase):
    def setUp(self):
        self.pe = load(STUB)
        self.data = open(STUB, "rb").read()
        self.rsrc = section(self.pe, b".rsrc")
        self.res = resources(self.pe)

    def test_lastres_data_ends_the_resource_section(self):
        rva, blob = self.res[("LASTRES", 1000, LANG_EN_US)]
        self.assertEqual(rva + len(blob), self.rsrc.VirtualAddress + self.rsrc.Misc_VirtualSize)
        for key, (other_rva, other) in self.res.items():
            if key[0] != "LASTRES":
                self.assertLessEqual(other_rva + len(other), rva, key)
        # The directory tables, names and data entries lie before it too.
        d = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[2]
        self.assertEqual(d.VirtualAddress, self.rsrc.VirtualAddress)

    def test_rsrc_is_the_last_section_in_memory_and_file(self):
        last_va = max(self.pe.sections, key=lambda s: s.VirtualAddress)
        self.assertEqual(last_va.Name.rstrip(b"\0"), b".rsrc")
        for s in self.pe.sections:
            if s is not self.rsrc and s.SizeOfRawData:
                self.assertLess(s.PointerToRawData, self.rsrc.PointerToRawData, s.Name)
        self.assertEqual(self.rsrc.PointerToRawData + self.rsrc.SizeOfRawData, len(self.data))
        self.assertEqual(self.rsrc.SizeOfRawData % self.pe.OPTIONAL_HEADER.FileAlignment, 0)
        self.assertNotIn(b".reloc", [s.Name.rstrip(b"\0") for s in self.pe.sections])
        self.assertEqual(self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[5].Size, 0)
        end = self.rsrc.VirtualAddress + self.rsrc.Misc_VirtualSize
        align = self.pe.OPTIONAL_HEADER.SectionAlignment
        self.assertEqual(self.pe.OPTIONAL_HEADER.SizeOfImage, (end + align - 1) // align * align)

    def test_installer_walk_reaches_the_lastres_data(self):
        # The installer's own walk: fixed header sizes, first entry at every
        # level, and the data address taken relative to the section.
        d = self.data
        pe_off, = struct.unpack_from("<I", d, 60)
        pos = pe_off + 4 + 20 + 224
        while d[pos:pos + 8].split(b"\0")[0] != b".rsrc":
            pos += 40
        va, = struct.unpack_from("<I", d, pos + 12)
        s, = struct.unpack_from("<I", d, pos + 20)
        e = s + 16
        _, off = struct.unpack_from("<II", d, s + 16)
        _, off = struct.unpack_from("<II", d, e + (off & 0x7FFFFFFF))
        _, off = struct.unpack_from("<II", d, e + (off & 0x7FFFFFFF))
        data_rva, = struct.unpack_from("<I", d, s + off)
        payload_pos = data_rva - va + s
        rva, blob = self.res[("LASTRES", 1000, LANG_EN_US)]
        self.assertEqual(payload_pos, self.pe.get_offset_from_rva(rva))
        self.assertEqual(payload_pos + len(blob),
                         self.rsrc.PointerToRawData + self.rsrc.Misc_VirtualSize)


class LayoutStepKeepsEverything(unittest.TestCase):
    def setUp(self):
        self.before, self.after = load(LINKED), load(STUB)

    def test_same_resources_same_bytes(self):
        before, after = resources(self.before), resources(self.after)
        self.assertEqual(sorted(before, key=str), sorted(after, key=str))
        for key in before:
            self.assertEqual(before[key][1], after[key][1], key)

    def test_other_sections_untouched(self):
        kept = {s.Name: s.get_data() for s in self.after.sections if s.Name != b".rsrc\0\0\0"}
        for s in self.before.sections:
            if s.Name in kept:
                self.assertEqual(s.get_data(), kept[s.Name], s.Name)
        self.assertEqual(self.before.OPTIONAL_HEADER.AddressOfEntryPoint,
                         self.after.OPTIONAL_HEADER.AddressOfEntryPoint)


def main():
    global STUB, LINKED
    args = sys.argv[1:]
    if not args:
        print(__doc__, file=sys.stderr)
        return 2
    STUB = args.pop(0)
    if args and args[0].lower().endswith(".exe"):
        LINKED = args.pop(0)
    if not os.path.exists(STUB):
        print("%s: missing; build the win32 preset first (cmake --build --preset win32)" % STUB,
              file=sys.stderr)
        return 1
    if LINKED and not os.path.exists(LINKED):
        print("%s: missing" % LINKED, file=sys.stderr)
        return 1
    if LINKED is None:
        LayoutStepKeepsEverything.__unittest_skip__ = True
        LayoutStepKeepsEverything.__unittest_skip_why__ = "no linked stub given"
    names = args or None
    module = sys.modules[__name__]
    loader = unittest.TestLoader()
    suite = (loader.loadTestsFromNames(names, module) if names
             else loader.loadTestsFromModule(module))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
