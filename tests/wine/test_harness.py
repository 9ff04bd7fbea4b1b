"""Checks of the harness's own logic, without Wine: a harness that misreads
system.ini or user.reg, or accepts a misplaced dialog, would let installer
faults through."""

import json
import os
import tempfile
import unittest

import wineharness as wh


class IniAndRegistry(unittest.TestCase):
    def test_boot_section_is_found_whatever_the_case(self):
        text = "[mci]\nMPEGVideo=mciqtz32.dll\n[Boot]\r\nSCRNSAVE.EXE=C:\\windows\\STARS.SCR\r\n"
        self.assertEqual(wh.parse_ini(text)["boot"]["scrnsave.exe"], "C:\\windows\\STARS.SCR")

    def test_value_keeps_everything_after_the_first_equals_sign(self):
        self.assertEqual(wh.parse_ini("[a]\nk = x=y \n")["a"]["k"], "x=y")

    def test_commented_lines_and_keys_outside_sections_are_ignored(self):
        self.assertEqual(wh.parse_ini("k=v\n[a]\n; j=w\n"), {"a": {}})

    def test_reg_value_of_the_desktop_key(self):
        text = ('[Control Panel\\\\Desktop] 1700000000\n#time=1\n"ScreenSaveActive"="1"\n'
                '"Wallpaper"=""\n\n[Control Panel\\\\Desktop\\\\WindowMetrics] 1\n'
                '"ScreenSaveActive"="0"\n')
        self.assertEqual(wh.reg_value(text, "Control Panel\\Desktop", "ScreenSaveActive"), "1")
        self.assertEqual(
            wh.reg_value(text, "Control Panel\\Desktop\\WindowMetrics", "screensaveactive"), "0")

    def test_reg_value_absent(self):
        self.assertIsNone(wh.reg_value('[Other] 1\n"ScreenSaveActive"="1"\n',
                                       "Control Panel\\Desktop", "ScreenSaveActive"))


class ShortPaths(unittest.TestCase):
    def test_names_that_are_already_short_must_be_kept(self):
        self.assertEqual(wh.check_short_path("C:\\windows\\STARS.SCR", "C:\\windows\\STARS.SCR"), [])
        self.assertEqual(wh.check_short_path("c:\\WINDOWS\\stars.scr", "C:\\windows\\STARS.SCR"), [])
        self.assertTrue(wh.check_short_path("C:\\windows\\OTHER.SCR", "C:\\windows\\STARS.SCR"))

    def test_long_names_must_be_replaced_by_short_ones(self):
        long_path = "C:\\windows\\LONGSAVERNAME.SCR"
        self.assertEqual(wh.check_short_path("C:\\windows\\LONGSA~1.SCR", long_path), [])
        self.assertTrue(wh.check_short_path(long_path, long_path))

    def test_relative_or_empty_values_are_refused(self):
        self.assertTrue(wh.check_short_path("", "C:\\windows\\A.SCR"))
        self.assertTrue(wh.check_short_path("A.SCR", "C:\\windows\\A.SCR"))

    def test_short_name_rules(self):
        for ok in ("A.SCR", "STARS", "LONGSA~1.SCR", "windows"):
            self.assertTrue(wh.is_short_name(ok), ok)
        for bad in ("A.B.SCR", "NINECHARS.SCR", "A.SCRX", "A B.SCR", ""):
            self.assertFalse(wh.is_short_name(bad), bad)


class Windows(unittest.TestCase):
    def window(self, rect, screen=(800, 600), controls=()):
        return {"caption": "T", "class": "#32770", "visible": True, "rect": list(rect),
                "screen": list(screen), "controls": list(controls)}

    def test_centring_uses_each_half_truncated(self):
        # 301 wide on 800: 400 - 150 = 250, not (800 - 301) / 2 = 249.
        self.assertEqual(wh.centred_problems(self.window((250, 200, 551, 400))), [])
        self.assertTrue(wh.centred_problems(self.window((249, 200, 550, 400))))
        self.assertEqual(wh.centred_problems(self.window((170, 140, 471, 341), (640, 480))), [])

    def test_control_ids_match_as_16_bit_values(self):
        controls = [{"id": -1, "class": "Static", "text": "Installing", "visible": True}]
        w = self.window((0, 0, 1, 1), controls=controls)
        self.assertEqual(wh.window_problems(w, {"controls": [{"id": 65535, "text": "Installing"}]},
                                            lambda v: v), [])
        self.assertEqual(wh.window_problems(w, {"text": "Installing"}, lambda v: v), [])

    def test_control_expectations_must_hold_on_one_control(self):
        controls = [{"id": 1, "class": "Button", "text": "OK", "visible": False},
                    {"id": 2, "class": "Button", "text": "Cancel", "visible": True}]
        w = self.window((0, 0, 1, 1), controls=controls)
        self.assertTrue(wh.window_problems(w, {"controls": [{"id": 1, "visible": True}]},
                                           lambda v: v))
        self.assertEqual(wh.window_problems(w, {"buttons": ["Cancel"]}, lambda v: v), [])
        self.assertTrue(wh.window_problems(w, {"buttons": ["OK", "Cancel"]}, lambda v: v))

    def test_placeholders_are_filled_before_comparing(self):
        controls = [{"id": 65535, "class": "Static", "text": "takes 1,234 bytes.", "visible": True}]
        w = self.window((0, 0, 1, 1), controls=controls)
        subst = lambda v: v.replace("{total}", wh.format_thousands(1234))
        self.assertEqual(wh.window_problems(w, {"text": "takes {total} bytes."}, subst), [])


class Prefixes(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = self.tmp.name

    def tearDown(self):
        self.tmp.cleanup()

    def make(self, rel, text="x"):
        p = os.path.join(self.root, rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "w") as f:
            f.write(text)
        return p

    def test_resolve_ignores_case_and_refuses_escapes(self):
        self.make("base/drive_c/windows/System.ini")
        base = os.path.join(self.root, "base")
        self.assertEqual(wh.resolve(base, "C:\\WINDOWS\\SYSTEM.INI"),
                         os.path.join(base, "drive_c", "windows", "System.ini"))
        for bad in ("C:\\windows\\..\\..\\x", "D:\\x", "windows\\x"):
            with self.assertRaises(wh.HarnessError):
                wh.resolve(base, bad)

    def test_clone_shares_only_the_library_folders(self):
        dll = self.make("base/drive_c/windows/system32/user32.dll")
        ini = self.make("base/drive_c/windows/system.ini")
        base = os.path.join(self.root, "base")
        dest = os.path.join(self.root, "copy")
        wh.clone_prefix(base, dest)
        self.assertTrue(os.path.samefile(dll, os.path.join(dest, "drive_c/windows/system32/user32.dll")))
        copy_ini = os.path.join(dest, "drive_c/windows/system.ini")
        self.assertFalse(os.path.samefile(ini, copy_ini))
        with open(copy_ini, "w") as f:
            f.write("changed")
        with open(ini) as f:
            self.assertEqual(f.read(), "x")

    def test_snapshot_sees_new_changed_and_removed_files(self):
        a = self.make("c/a.txt")
        b = self.make("c/sub/b.txt")
        before = wh.snapshot(os.path.join(self.root, "c"))
        os.remove(a)
        with open(b, "w") as f:
            f.write("longer")
        self.make("c/New.txt")
        after = wh.snapshot(os.path.join(self.root, "c"))
        self.assertEqual(wh.changed_files(before, after), ["a.txt", "new.txt", "sub/b.txt"])


if __name__ == "__main__":
    unittest.main()


class Scenarios(unittest.TestCase):
    """Every scenario file must be one the harness can run: a typo in a key
    would otherwise silently drop a check."""

    TOP = {"program", "install_as", "screen", "before", "robot", "expect", "expect_problems",
           "after"}
    EXPECT = {"exit_code", "windows", "files", "only_changes", "absent", "system_ini_boot",
              "screensave_active", "saver_started", "watch"}
    WINDOW = {"caption", "class", "visible", "text", "texts", "controls", "buttons", "centred"}
    VERBS = {"window", "shot", "press", "command", "key", "close", "expect-open",
             "expect-none", "watch", "sleep"}

    def test_scenario_files(self):
        directory = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios")
        names = sorted(n for n in os.listdir(directory) if n.endswith(".json"))
        self.assertTrue(names)
        for name in names:
            with self.subTest(scenario=name):
                with open(os.path.join(directory, name)) as f:
                    sc = json.load(f)
                self.assertLessEqual(set(sc), self.TOP)
                self.assertLessEqual(set(sc["expect"]), self.EXPECT)
                wh.split_windows(sc["install_as"])
                steps = [l.split()[0] for l in sc["robot"] if l.strip() and not l.startswith("#")]
                self.assertLessEqual(set(steps), self.VERBS)
                windows = sc["expect"].get("windows", [])
                self.assertLessEqual(len(windows), steps.count("window"))
                for w in windows:
                    self.assertLessEqual(set(w), self.WINDOW)
                for path in list(sc["expect"].get("files", {})) + sc["expect"].get("absent", []):
                    wh.split_windows(path)
