#!/usr/bin/python3
"""glimpack.exe in a console window of its own, under Wine on a virtual display.

Windows starts a console program dropped onto from the desktop in a new
console window, which closes the moment the program ends; the user may press
Ctrl-Break or close the window while it works. console_driver.exe (win32
build) starts glimpack.exe that way, reads the window and types into it:

- a dropped package is extracted beside itself, the progress line is
  redrawn without escape sequences (Wine's console, like Windows' own before
  Windows 10, shows them as text), and the window waits for a key;
- Ctrl-C and Ctrl-Break typed during an extraction leave nothing behind and
  end the program as the console ends one (STATUS_CONTROL_C_EXIT).

Not tried: closing the window while the program works. Windows tells the
program (CTRL_CLOSE_EVENT, which glimpack.exe handles as it handles Ctrl-C);
Wine 8's console ends the programs in it without a word, so under Wine there
is nothing to try.

Environment: GLIMPACK_EXE, GLIMPACK (the native tool, to pack), GLIMPACK_STUB,
GLIM_CONSOLE_DRIVER, GLIM_WINE_BASE_PREFIX (the settled prefix of the
wine_prefix fixture, copied) and GLIM_WINE_WORK.
"""
import os
import shutil
import subprocess
import time
import unittest

import wineharness as wh

GLIMPACK_EXE = os.environ.get("GLIMPACK_EXE", "")
GLIMPACK = os.environ.get("GLIMPACK", "")
STUB = os.environ.get("GLIMPACK_STUB", "")
DRIVER = os.environ.get("GLIM_CONSOLE_DRIVER", "")
BASE_PREFIX = os.environ.get("GLIM_WINE_BASE_PREFIX", "")
WORK = os.path.join(os.environ.get("GLIM_WINE_WORK", "/tmp"), "console_check")
DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data")
CONTROL_C_EXIT = 0xC000013A
# Only a backstop: each wait ends as soon as what it waits for is there.
BACKSTOP = 120


class Console(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.prefix = wh.fresh_work_prefix(BASE_PREFIX, WORK)
        cls.xvfb, display = wh.start_xvfb(800, 600)
        cls.env = wh.wine_env(cls.prefix, display)
        # Stored, and large enough for the progress line and for an
        # interruption midway.
        with open(os.path.join(WORK, "big.bin"), "wb") as f:
            block = bytes(range(256)) * 4096
            for _ in range(64):
                f.write(block)
        with open(os.path.join(WORK, "stars.dat"), "wb") as f:
            f.write(b"speed=5\r\n")
        cls.package = os.path.join(WORK, "BIG.EXE")
        subprocess.run([GLIMPACK, "pack", "-q", "--store", "--stub", STUB, "-o", cls.package,
                        "--title", "Big", "--scr", os.path.join(DATA, "stars.scr"), "--dat",
                        os.path.join(WORK, "stars.dat"), os.path.join(WORK, "big.bin")],
                       check=True)

    @classmethod
    def tearDownClass(cls):
        wh.stop_run(cls.prefix, [], cls.xvfb)

    def setUp(self):
        self.dir = os.path.join(WORK, self._testMethodName)
        os.makedirs(self.dir)
        shutil.copyfile(self.package, os.path.join(self.dir, "BIG.EXE"))
        self.driver = None

    def tearDown(self):
        if self.driver and self.driver.poll() is None:
            self.driver.kill()
            self.driver.wait(10)
        wh.wineserver(self.prefix, "-k", 20)

    def start(self, *args):
        self.driver = subprocess.Popen(
            ["wine", DRIVER, wh.to_windows(GLIMPACK_EXE), *args], env=self.env, cwd=self.dir,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            text=True, errors="replace")
        self.assertEqual(self.reply(), "started")

    def reply(self):
        line = self.driver.stdout.readline()
        self.assertTrue(line, "the console driver ended")
        return line.rstrip("\n")

    def ask(self, command):
        self.driver.stdin.write(command + "\n")
        self.driver.stdin.flush()
        if command != "screen":
            return self.reply()
        lines = []
        while True:
            line = self.reply()
            if line == "end":
                return lines
            self.assertTrue(line.startswith("line "), line)
            lines.append(line[5:])

    def wait_for(self, what, condition):
        deadline = time.monotonic() + BACKSTOP
        while not condition():
            if self.driver.poll() is not None or time.monotonic() > deadline:
                self.fail("gave up waiting for " + what)
            time.sleep(0.005)

    def leftovers(self):
        return sorted(n for n in os.listdir(self.dir) if n != "BIG.EXE")

    def test_a_dropped_package_is_extracted_and_the_window_waits_for_a_key(self):
        self.start(wh.to_windows(os.path.join(self.dir, "BIG.EXE")))
        folder = os.path.join(self.dir, "BIG")
        self.wait_for("the extracted folder", lambda: os.path.isdir(folder))
        screen = []

        def prompt_shown():
            screen[:] = self.ask("screen")
            return any("Press any key" in line for line in screen)

        self.wait_for("the prompt", prompt_shown)
        text = "\n".join(screen)
        self.assertIn("Extracted 3 files", text)
        self.assertNotIn("\\x1b", text)  # no escape sequence shown as text
        self.assertNotIn("%  ", text)  # the progress line was blanked
        self.assertIsNone(self.driver.poll())
        self.assertEqual(self.ask("key"), "typed")
        self.assertEqual(self.ask("wait"), "exit 0")
        with open(os.path.join(WORK, "big.bin"), "rb") as want, \
                open(os.path.join(folder, "QUILLFEN", "GLIMLOOM", "BIG", "FILE0000.BIN"),
                     "rb") as got:
            self.assertEqual(got.read(), want.read())

    def interrupted_by(self, keys):
        self.start("extract", "BIG.EXE")
        self.wait_for("the scratch folder",
                      lambda: any(n.startswith(".BIG.") for n in os.listdir(self.dir)))
        self.assertEqual(self.ask(keys), "typed")
        self.assertEqual(self.ask("wait"), "exit %d" % CONTROL_C_EXIT)
        self.assertEqual(self.leftovers(), [])

    def test_ctrl_c_typed_at_the_console_leaves_nothing_behind(self):
        self.interrupted_by("ctrl-c")

    def test_ctrl_break_typed_at_the_console_leaves_nothing_behind(self):
        self.interrupted_by("ctrl-break")

if __name__ == "__main__":
    wh.raise_on_signals()
    unittest.main()
