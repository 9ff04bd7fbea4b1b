"""Checks, without Wine, of what the scenario steps after the program and the
interactive mode do to their inputs: an edit that loses lines of the saver's
data file, or a robot script that still presses buttons while a person clicks,
would make the scenarios prove the wrong thing."""

import json
import os
import sys
import tempfile
import unittest

import run_scenario as rs

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
