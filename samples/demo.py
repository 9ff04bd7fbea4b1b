#!/usr/bin/python3
"""Turns the demo's screenshots into the small pictures of the README.

    demo.py SHOTS_DIR OUT_DIR

SHOTS_DIR holds the full-screen PNGs and the robot's logs of one scenario run.
Each dialog is cut out along the rectangle the robot logged for the window it
had just found, framed in black and reduced to 64 colours; a picture of a
full-screen window is scaled down to 320 pixels wide instead."""

import glob
import json
import os
import subprocess
import sys

# Shot names of the demo scenario (without their "N-" order prefix) and the
# README's file names for them.
NAMES = {
    "confirm": "install-confirm",
    "progress": "install-progress",
    "complete": "install-complete",
    "vendor": "install-vendor",
    "settings": "saver-settings",
    "starfield": "saver-running",
}
THUMB_WIDTH = 320


def shots_with_windows(shots_dir):
    """(shot name, rect of the window found just before it, screen size)."""
    result = []
    for log in sorted(glob.glob(os.path.join(shots_dir, "robot*.log"))):
        window = None
        with open(log, encoding="latin-1") as f:
            for line in f:
                event = json.loads(line)
                if event["event"] == "window":
                    window = event
                elif event["event"] == "shot" and window is not None:
                    result.append((event["name"], window["rect"], window["screen"]))
    return result


def main():
    if len(sys.argv) != 3:
        print("usage: demo.py SHOTS_DIR OUT_DIR", file=sys.stderr)
        return 2
    shots_dir, out_dir = sys.argv[1:]
    os.makedirs(out_dir, exist_ok=True)
    made = 0
    for name, rect, screen in shots_with_windows(shots_dir):
        src = os.path.join(shots_dir, name + ".png")
        if not os.path.isfile(src):
            print("demo.py: no screenshot %s" % src, file=sys.stderr)
            continue
        short = name.split("-", 1)[1] if name[:1].isdigit() and "-" in name else name
        dst = os.path.join(out_dir, NAMES.get(short, short) + ".png")
        left, top, right, bottom = rect
        if right - left >= screen[0] and bottom - top >= screen[1]:
            cmd = ["convert", src, "-resize", "%dx" % THUMB_WIDTH, "-strip", "-colors", "64",
                   "PNG8:" + dst]
        else:
            cmd = ["convert", src, "-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top),
                   "+repage", "-bordercolor", "black", "-border", "6", "-strip", "-colors", "64",
                   "PNG8:" + dst]
        subprocess.run(cmd, check=True)
        made += 1
    return 0 if made else 1


if __name__ == "__main__":
    sys.exit(main())
