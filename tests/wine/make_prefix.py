#!/usr/bin/python3
"""Boots the Wine prefix that every end-to-end scenario copies.

    make_prefix.py PREFIX

Removes PREFIX, boots a fresh one on a private virtual display, waits until
Wine has settled, and applies the settings the tests rely on:
- Wine draws the window frames itself (there is no window manager, and the
  screenshots should show captions);
- windows are not handed to a window manager: with none running, Wine would
  wait 2 s for each closed window to be withdrawn, and a dialog would be shown
  later than the program asked;
- a crashing program ends without a crash dialog that would wait for a click."""

import os
import shutil
import subprocess
import sys
import time

import wineharness as wh

READY = ".glim-ready"


def main():
    if len(sys.argv) != 2:
        print("usage: make_prefix.py PREFIX", file=sys.stderr)
        return 2
    prefix = os.path.abspath(sys.argv[1])
    wh.raise_on_signals()
    if os.path.exists(prefix):
        wh.wineserver(prefix, "-k", 20)
        shutil.rmtree(prefix)
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    xvfb = None
    start = time.time()
    try:
        xvfb, display = wh.start_xvfb(800, 600)
        env = wh.wine_env(prefix, display)
        subprocess.run(["wineboot", "-i"], env=env, timeout=150, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wh.wineserver(prefix, "-w", 60):
            raise wh.HarnessError("wineserver did not settle after wineboot")
        for args in (
            [r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated", "/d", "N", "/f"],
            [r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f"],
            [r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog", "/t", "REG_DWORD",
             "/d", "0", "/f"],
        ):
            subprocess.run(["wine", "reg", "add"] + args, env=env, timeout=60, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wh.wineserver(prefix, "-w", 60):
            raise wh.HarnessError("wineserver did not settle after the registry settings")
        if not os.path.isfile(os.path.join(prefix, "drive_c", "windows", "system.ini")):
            raise wh.HarnessError("the new prefix has no C:\\windows\\system.ini")
        open(os.path.join(prefix, READY), "w").close()
        print("prefix %s ready in %.1f s" % (prefix, time.time() - start))
        return 0
    except (wh.HarnessError, subprocess.SubprocessError, wh.Terminated) as e:
        print("make_prefix: %s: %s" % (prefix, e), file=sys.stderr)
        return 1
    finally:
        wh.wineserver(prefix, "-k", 20)
        wh.kill_group(xvfb)


if __name__ == "__main__":
    sys.exit(main())
