"""Checks, without Wine, of what the scenario steps after the program and the
interactive mode do to their inputs: an edit that loses lines of the saver's
data file, or a robot script that still presses buttons while a person clicks,
would make the scenarios prove the wrong thing."""

import argparse
import json
import os
import shlex
import sys
import tempfile
import unittest

import hostile_batch as hb
import run_scenario as rs
import test_harness

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "samples"))
import demo  # noqa: E402  (samples/demo.py)


class EditDataFile(unittest.TestCase):
    DAT = "; Stars screen saver settings\r\nstars=200\r\nspeed=3\r\ncolour=white\r\n"

    def test_changes_only_the_named_keys_and_keeps_crlf(self):
        got = rs.set_keys(self.DAT, {"stars": "777", "colour": "red"})
        self.assertEqual(got, "; Stars screen saver settings\r\nstars=777\r\nspeed=3\r\n"
                         "colour=red\r\n")

    def test_keys_match_without_case_and_blanks_and_keep_their_spelling(self):
        got = rs.set_keys("[Stars]\nStars = 200\n", {"STARS": "10"})
        self.assertEqual(got, "[Stars]\nStars=10\n")

    def test_missing_keys_are_appended(self):
        self.assertEqual(rs.set_keys("stars=200\r\n", {"speed": "9"}),
                         "stars=200\r\nspeed=9\r\n")

    def test_comments_that_mention_a_key_stay(self):
        self.assertEqual(rs.set_keys("# stars are white\nstars=1\n", {"stars": "2"}),
                         "# stars are white\nstars=2\n")


class PersonScript(unittest.TestCase):
    def test_answers_are_left_to_the_person_and_waits_are_long(self):
        got = rs.person_script([
            "watch class=GLOMInst",
            'window caption="Stars Settings" class=#32770 timeout=30',
            "shot settings",
            "press 2",
            "key esc",
            "close nowait",
            "command 0x10001",
            "expect-none timeout=3",
            "expect-open ms=500",
        ])
        self.assertEqual(got, [
            "watch class=GLOMInst",
            'window caption="Stars Settings" class=#32770 timeout=%d' % rs.PERSON_WAIT,
            "shot settings",
        ])

    def test_a_window_step_without_timeout_gets_one(self):
        self.assertEqual(rs.person_script(["window class=X"]),
                         ["window class=X timeout=%d" % rs.PERSON_WAIT])


class AfterSteps(unittest.TestCase):
    """A misspelt key of an after step would silently drop its check."""

    KINDS = {
        "run": {"run", "args", "robot", "seconds", "exit_code", "timeout"},
        "write": {"write", "text"},
        "edit": {"edit", "set"},
        "lines": {"lines", "expect"},
        "extract_matches": {"extract_matches"},
    }

    def test_scenario_files(self):
        directory = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scenarios")
        for name in sorted(n for n in os.listdir(directory) if n.endswith(".json")):
            with open(os.path.join(directory, name)) as f:
                sc = json.load(f)
            for i, step in enumerate(sc.get("after", [])):
                with self.subTest(scenario=name, step=i):
                    kinds = [k for k in self.KINDS if k in step]
                    self.assertEqual(len(kinds), 1)
                    self.assertLessEqual(set(step), self.KINDS[kinds[0]])
                    rs.wh.split_windows(step[kinds[0]])
                    verbs = {l.split()[0] for l in step.get("robot", []) if l.strip()}
                    self.assertLessEqual(verbs, {"window", "shot", "key", "close", "sleep",
                                                 "press", "expect-none", "expect-open"})


class CraftedPrograms(unittest.TestCase):
    """A ready-made file is started as it is, found where the scenario says."""

    def run_for(self, program, crafted_dir=None, scenario_dir=None):
        args = argparse.Namespace(work=self.tmp.name, artifacts=self.tmp.name,
                                  crafted_dir=crafted_dir, fixtures=None, program=None)
        run = rs.Run(args, scenario={"program": program, "install_as": "C:\\GET\\STARS.EXE"},
                     name="crafted")
        run.scenario_dir = scenario_dir
        return run

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.cases = os.path.join(self.tmp.name, "cases")
        os.makedirs(self.cases)
        self.file = os.path.join(self.cases, "bomb__STARS.EXE")
        open(self.file, "wb").close()

    def tearDown(self):
        self.tmp.cleanup()

    def test_relative_files_are_looked_for_in_the_crafted_folder_or_beside_the_scenario(self):
        self.assertEqual(self.run_for({"crafted": "bomb__STARS.EXE"}, crafted_dir=self.cases)
                         .build_program(), self.file)
        self.assertEqual(self.run_for({"crafted": "bomb__STARS.EXE"}, scenario_dir=self.cases)
                         .build_program(), self.file)
        self.assertEqual(self.run_for({"crafted": self.file}).build_program(), self.file)

    def test_a_missing_file_is_a_harness_error(self):
        with self.assertRaises(rs.wh.HarnessError):
            self.run_for({"crafted": "nothing.EXE"}, crafted_dir=self.cases).build_program()


class HostileBatch(unittest.TestCase):
    CASE = {"id": "well-formed", "file": "well-formed__STARS.EXE", "open_as": "STARS.EXE"}

    def test_the_older_saver_has_the_name_the_existence_check_looks_for(self):
        self.assertEqual(hb.older_saver_name("STARS.EXE"), "STARS.SCR")
        self.assertEqual(hb.older_saver_name("MY.SAVER.V2.EXE"), "MY.SAVER.V2.SCR")
        self.assertEqual(hb.older_saver_name("NODOT"), "NODOT.SCR")

    def test_generated_scenarios_are_ones_the_harness_can_run(self):
        checker = test_harness.Scenarios()
        for cid in ("well-formed", "not-pe-text", "section-count-0"):
            for variant in hb.VARIANTS:
                with self.subTest(case=cid, variant=variant):
                    sc = hb.scenario(dict(self.CASE, id=cid), variant, "/cases", 60)
                    checker.check_scenario(sc)
                    self.assertTrue(sc["expect"]["contained"])
                    self.assertTrue(sc["expect"]["no_crash"])
                    self.assertEqual(sc["robot"][-1], "serve until=program timeout=55")
        for case, _variant, sc in hb.control_scenarios("/fixtures"):
            with self.subTest(control=case["open_as"]):
                checker.check_scenario(sc)
                self.assertEqual(sc["program"]["crafted"], "/fixtures/misbehave.exe")
        refused = hb.scenario(dict(self.CASE, id="not-pe-text"), "fresh", "/cases", 60)
        self.assertTrue(refused["expect"]["start_refused"])
        self.assertNotIn("exit_code", refused["expect"])
        self.assertEqual(hb.scenario(self.CASE, "fresh", "/cases", 60)["expect"]["exit_code"], 0)
        self.assertEqual(hb.scenario(self.CASE, "older", "/cases", 60)["before"][0]["path"],
                         "C:\\windows\\STARS.SCR")

    def test_every_answer_is_one_the_robot_takes(self):
        for line in hb.robot_script(60):
            words = shlex.split(line)
            if words[0] != "answer":
                continue
            action = [w for w in words[1:] if "=" not in w]
            self.assertIn(action[0], ("press", "key", "close", "none"), line)
            self.assertEqual(len(action), {"press": 2, "key": 2}.get(action[0], 1), line)

    def test_dialogs_are_read_from_the_installers_calls(self):
        box = lambda text, caption: {"function": "user32.MessageBoxA", "ret": 1,
                                     "args": [0, text, caption, 0x41]}
        calls = [
            box("There is already a screen saver", "Replace Screen Saver?"),
            box("You will need 9 kilobytes", "Disk Full"),
            box("This program will install X.SCR", "\x1b Screen Saver Installation"),
            {"function": "user32.DialogBoxParamA", "ret": 1, "args": [0x400000, 103, 0, 0, 0]},
            box("Installation Complete!\r\n", "Installation"),
            {"function": "user32.DialogBoxParamA", "ret": 1, "args": [0x400000, 104, 0, 0, 0]},
            box("Something else", "Odd"),
            {"function": "user32.DialogBoxParamA", "ret": 1, "args": [0x400000, 7, 0, 0, 0]},
            {"function": "kernel32.WinExec", "ret": 11, "args": ["X.SCR", 5]},
        ]
        self.assertEqual(hb.dialogs_called(calls), (
            ["replace", "disk full", "confirmation", "progress", "completion", "vendor",
             "message box 'Odd'", "dialog 7"], 11))
        self.assertEqual(hb.dialogs_called([]), ([], None))

    def test_outcomes(self):
        self.assertEqual(hb.outcome(["HarnessError: scenario exceeded 60 s"], ""), "hang")
        self.assertEqual(hb.outcome(["crash: Wine says 'x'"], ""), "crash")
        self.assertEqual(hb.outcome([], "Application could not be started, or no ...\n"),
                         "not started")
        self.assertEqual(hb.outcome(["exit code 3, expected 0"], ""), "ran")


class Gallery(unittest.TestCase):
    def test_each_shot_takes_the_window_found_before_it_in_its_own_log(self):
        with tempfile.TemporaryDirectory() as d:
            def log(name, events):
                with open(os.path.join(d, name), "w") as f:
                    f.write("".join(json.dumps(e) + "\n" for e in events))
            log("robot.log", [
                {"event": "start"},
                {"event": "window", "rect": [1, 2, 3, 4], "screen": [800, 600]},
                {"event": "shot", "name": "1-confirm"},
                {"event": "window", "rect": [5, 6, 7, 8], "screen": [800, 600]},
                {"event": "shot", "name": "2-complete"},
            ])
            log("robot-after1.log", [
                {"event": "shot", "name": "no-window-yet"},
                {"event": "window", "rect": [0, 0, 800, 600], "screen": [800, 600]},
                {"event": "shot", "name": "5-starfield"},
            ])
            self.assertEqual(demo.shots_with_windows(d), [
                ("5-starfield", [0, 0, 800, 600], [800, 600]),
                ("1-confirm", [1, 2, 3, 4], [800, 600]),
                ("2-complete", [5, 6, 7, 8], [800, 600]),
            ])


if __name__ == "__main__":
    unittest.main()
