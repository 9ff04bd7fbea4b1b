"""Checks of the harness's own logic, without Wine: a harness that misreads
system.ini or user.reg, or accepts a misplaced dialog, would let installer
faults through."""

import json
import os
import shutil
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


class DriveChanges(unittest.TestCase):
    """What a run may change in drive_c: a harness that let a stray write
    through would hide the worst fault a hostile package can cause."""

    BEFORE = {"windows": None, "windows/system.ini": (100, 1), "windows/win.ini": (50, 1),
              "windows/system32": None, "windows/system32/user32.dll": (9, 1),
              "GET": None, "GET/STARS.EXE": (30000, 5)}

    def stray(self, added=(), changed=(), removed=(), name="STARS.EXE"):
        after = dict(self.BEFORE)
        for path in added:
            after[path] = None if path.endswith("/") else (1, 9)
        after = {k.rstrip("/"): v for k, v in after.items()}
        for path in changed:
            after[path] = (after[path][0] + 1, 9)
        for path in removed:
            del after[path]
        return wh.stray_writes(self.BEFORE, after, "GET", name)

    def test_an_installation_stays_in_the_windows_and_data_directories(self):
        self.assertEqual(self.stray(
            added=["windows/STARS.SCR", "windows/QUILLFEN/", "windows/QUILLFEN/GLIMLOOM/",
                   "windows/QUILLFEN/GLIMLOOM/STARS/", "windows/QUILLFEN/GLIMLOOM/STARS/STARS.DAT",
                   "windows/QUILLFEN/GLIMLOOM/STARS/FILE0001.BMP"],
            changed=["windows/system.ini"]), [])

    def test_writes_anywhere_else_are_reported(self):
        for added in (["STRAY.TXT"], ["windows/system32/evil.dll"], ["windows/sub/"],
                      ["windows/QUILLFEN/GLIMLOOM/OTHER/", "windows/QUILLFEN/GLIMLOOM/OTHER/x"],
                      ["windows/QUILLFEN/x.txt"]):
            with self.subTest(added=added):
                problems = self.stray(added=added)
                self.assertTrue(any("outside the installer's directories" in p for p in problems),
                                problems)
        self.assertTrue(self.stray(changed=["windows/system32/user32.dll"]))
        self.assertTrue(self.stray(removed=["windows/win.ini"]))

    def test_the_package_folder_must_hold_the_package_alone_unchanged(self):
        self.assertIn("created beside the package: GET/STARS.TMP",
                      self.stray(added=["GET/STARS.TMP"]))
        self.assertIn("the package itself was changed: GET/STARS.EXE",
                      self.stray(changed=["GET/STARS.EXE"]))
        self.assertIn("the package itself was removed: GET/STARS.EXE",
                      self.stray(removed=["GET/STARS.EXE"]))

    def test_the_data_directory_is_named_by_the_last_dot_without_regard_to_case(self):
        self.assertEqual(wh.data_directory_name("MY.SAVER.V2.EXE"), "MY.SAVER.V2")
        self.assertEqual(wh.data_directory_name("NODOT"), "NODOT")
        for none in ("..EXE", ".EXE", "...EXE"):
            self.assertIsNone(wh.data_directory_name(none), none)
        data = ["windows/quillfen/", "windows/quillfen/glimloom/",
                "windows/quillfen/glimloom/my.saver.v2/",
                "windows/quillfen/glimloom/my.saver.v2/MY.SAVER.V2.DAT"]
        self.assertEqual(self.stray(added=data, name="MY.SAVER.V2.EXE"), [])
        self.assertTrue(self.stray(added=["windows/QUILLFEN/", "windows/QUILLFEN/GLIMLOOM/",
                                          "windows/QUILLFEN/GLIMLOOM/MY/"],
                                   name="MY.SAVER.V2.EXE"))

    def test_without_a_data_directory_name_nothing_may_go_below_glimloom(self):
        problems = self.stray(added=["windows/QUILLFEN/", "windows/QUILLFEN/GLIMLOOM/",
                                     "windows/QUILLFEN/GLIMLOOM/x.DAT"], name="..EXE")
        self.assertEqual(problems,
                         ["created outside the installer's directories: "
                          "windows/QUILLFEN/GLIMLOOM/x.DAT"])


class Trees(unittest.TestCase):
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

    def test_a_new_empty_folder_is_a_change(self):
        self.make("c/windows/system.ini")
        before = wh.tree_snapshot(os.path.join(self.root, "c"))
        os.makedirs(os.path.join(self.root, "c", "windows", "New"))
        after = wh.tree_snapshot(os.path.join(self.root, "c"))
        self.assertEqual(wh.tree_changes(before, after), (["windows/New"], [], []))

    def test_restore_undoes_every_kind_of_change(self):
        for tree in ("pristine", "live"):
            self.make(tree + "/windows/system.ini", "[boot]\n")
            self.make(tree + "/windows/win.ini", "w")
            self.make(tree + "/windows/old/keep.txt", "k")
        live = os.path.join(self.root, "live")
        pristine = os.path.join(self.root, "pristine")
        before = wh.tree_snapshot(live)
        self.make("live/windows/system.ini", "[boot]\nSCRNSAVE.EXE=X\n")
        os.remove(os.path.join(live, "windows", "win.ini"))
        self.make("live/windows/QUILLFEN/GLIMLOOM/STARS/STARS.DAT")
        self.make("live/GET/STARS.EXE")
        shutil.rmtree(os.path.join(live, "windows", "old"))
        wh.restore_tree(live, pristine, before, wh.tree_snapshot(live))
        self.assertEqual(sorted(wh.tree_snapshot(live)), sorted(before))
        with open(os.path.join(live, "windows", "system.ini")) as f:
            self.assertEqual(f.read(), "[boot]\n")
        with open(os.path.join(live, "windows", "old", "keep.txt")) as f:
            self.assertEqual(f.read(), "k")


class WineOutput(unittest.TestCase):
    """Reading what Wine wrote: the installer's calls (which dialogs a run
    reached), a refused start and the signs of a crash."""

    RELAY = "\n".join([
        '0120:trace:relay:load_list L"RelayInclude" = L"user32.MessageBoxA"',
        '0120:Call PE DLL (proc=6890BC10,module=68880000 L"user32.dll",reason=PROCESS_ATTACH,'
        'res=0061FD24)',
        '0120:Call user32.MessageBoxA(00000000,0061ef70 "Install \\x1b]0;t\\x07 to C:\\\\WINDOWS'
        '\\r\\n\\"q\\"",0061ec68 "T, x Installation",00000041) ret=00404ed8',
        '0120:Call window proc 688E2520 (hwnd=00010058,msg=WM_NCCREATE,wp=00000000,lp=0061f65c)',
        '0120:Ret  window proc 688E2520 (hwnd=00010058,msg=WM_NCCREATE,wp=00000000,lp=0061f65c)'
        ' retval=00000001',
        '0120:Ret  user32.MessageBoxA() retval=00000001 ret=00404ed8',
        '0120:Call user32.DialogBoxParamA(00400000,00000067,00000000,00403f0c,00000000) '
        'ret=00404f42',
        '0120:Call KERNEL32.WinExec(00409180 "LLLL"...,00000005) ret=00405013',
        '0120:Ret  KERNEL32.WinExec() retval=0000000b ret=00405013',
    ]) + "\n"

    def test_relayed_calls_with_strings_numbers_and_results(self):
        calls = wh.relay_calls(self.RELAY)
        self.assertEqual(calls, [
            {"function": "user32.MessageBoxA", "ret": 1,
             "args": [0, 'Install \x1b]0;t\x07 to C:\\WINDOWS\r\n"q"', "T, x Installation",
                      0x41]},
            # Never returned: the program ended inside it.
            {"function": "user32.DialogBoxParamA", "ret": None,
             "args": [0x400000, 103, 0, 0x403F0C, 0]},
            {"function": "kernel32.WinExec", "ret": 11, "args": ["LLLL...", 5]},
        ])

    def test_relay_noise_is_dropped_and_the_calls_kept(self):
        kept = wh.without_relay_noise(self.RELAY)
        self.assertNotIn("window proc", kept)
        self.assertEqual(wh.relay_calls(kept), wh.relay_calls(self.RELAY))

    def test_refused_starts(self):
        for line in ("Application could not be started, or no application associated with the "
                     "specified file.", 'wine: failed to start L"C:\\GET\\STARS.EXE"',
                     "winevdm: C:\\GET\\STARS.EXE is a DOS application, you need to install "
                     "DOSBox."):
            self.assertEqual(wh.start_refused("x\n" + line + "\ny\n"), line)
        self.assertIsNone(wh.start_refused("wine: Unhandled page fault\n"))

    def test_each_sign_of_a_crash_is_reported(self):
        events = [
            {"event": "process", "pid": 32, "parent": 0, "name": "STARS.EXE"},
            {"event": "process", "pid": 40, "parent": 32, "name": "winedbg.exe"},
            {"event": "window", "caption": "C:\\windows\\system32\\winedbg.exe",
             "class": "WineConsoleClass"},
            {"event": "exit", "pid": 32, "name": "STARS.EXE", "code": 0xC0000005},
        ]
        found = wh.crash_evidence("wine: Unhandled page fault on read access to 00000000 at "
                                  "address 00401000 (thread 0024), starting debugger...\n", events)
        self.assertEqual(len(found), 4, found)
        self.assertIn("crash: Wine's debugger was started for STARS.EXE", found)
        self.assertIn("crash: STARS.EXE ended with exception code 0xC0000005 (access violation)",
                      found)
        self.assertEqual(wh.crash_evidence("", [{"event": "window", "caption": "Program Error",
                                                 "class": "#32770"}]),
                         ["crash: Wine showed 'Program Error' (#32770)"])

    def test_status_codes_of_programs_wine_would_not_load_are_no_crash(self):
        events = [{"event": "exit", "pid": 7, "name": "", "code": 0xC000007B},
                  {"event": "exit", "pid": 8, "name": "start.exe", "code": 0xC0000034},
                  {"event": "exit", "pid": 9, "name": "STARS.EXE", "code": 0},
                  {"event": "window", "caption": "winedbg.exe notes", "class": "#32770"}]
        self.assertEqual(wh.crash_evidence("Application could not be started\n", events), [])


if __name__ == "__main__":
    unittest.main()


class Scenarios(unittest.TestCase):
    """Every scenario file must be one the harness can run: a typo in a key
    would otherwise silently drop a check."""

    TOP = {"program", "install_as", "screen", "time_limit", "before", "robot", "expect",
           "expect_problems", "after"}
    EXPECT = {"exit_code", "windows", "files", "only_changes", "absent", "system_ini_boot",
              "screensave_active", "saver_started", "watch", "contained", "no_crash",
              "start_refused"}
    WINDOW = {"caption", "class", "visible", "text", "texts", "controls", "buttons", "centred"}
    VERBS = {"window", "shot", "press", "command", "key", "close", "expect-open",
             "expect-none", "watch", "sleep", "answer", "serve"}

    def test_scenario_files(self):
        directory = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios")
        names = sorted(n for n in os.listdir(directory) if n.endswith(".json"))
        self.assertTrue(names)
        for name in names:
            with self.subTest(scenario=name):
                with open(os.path.join(directory, name)) as f:
                    sc = json.load(f)
                self.check_scenario(sc)

    def check_scenario(self, sc):
        """Keys and robot verbs a scenario may use; hostile_batch's generated
        scenarios are held to the same (test_steps)."""
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
        for item in sc.get("before", []):
            wh.split_windows(item["path"])
