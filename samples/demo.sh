#!/usr/bin/env bash
# The demo: packs the sample saver into STARS.EXE with the freshly built tool
# and stub, shows the package with glimpack list and test, then installs it
# under Wine the way a user would, confirming each dialog with the test robot,
# and runs the installed saver for a few seconds. Every step is saved as a
# screenshot; at the end it prints what was installed and where the pictures are.
#
#   samples/demo.sh [--interactive]     (or INTERACTIVE=1 samples/demo.sh)
#
# --interactive runs on your own display ($DISPLAY): you click through the
# installer and close the saver's settings; the robot only watches and takes
# the screenshots. Without it everything happens on a private virtual display.
#
# Needs the native-release and win32 builds (`make demo` makes both first).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
glimpack="${GLIMPACK:-$top/build/native-release/tools/glimpack}"
win32="$top/build/win32"
stub="$win32/glimsetup.exe"
samples="$win32/samples/stars"
harness="$top/tests/wine"
work="$top/build/demo"
base="$work/base-prefix"
scenario="$harness/scenarios/stars_demo.json"
python=/usr/bin/python3

interactive="${INTERACTIVE:-}"
[ "$interactive" = 0 ] && interactive=
for arg in "$@"; do
    case "$arg" in
    --interactive) interactive=1 ;;
    *) echo "usage: $0 [--interactive]" >&2; exit 2 ;;
    esac
done
if [ -n "$interactive" ] && [ -z "${DISPLAY:-}" ]; then
    echo "demo: INTERACTIVE needs a display (\$DISPLAY is not set)" >&2
    exit 1
fi

for f in "$glimpack" "$stub" "$samples/STARS.SCR" "$samples/STARS.DAT" \
    "$samples/FILE0032.BMP" "$win32/tests/wine/robot.exe"; do
    if [ ! -f "$f" ]; then
        echo "demo: missing $f (run 'make demo', which builds it)" >&2
        exit 1
    fi
done
for tool in wine wineserver Xvfb import convert; do
    if ! command -v "$tool" > /dev/null; then
        echo "demo: $tool is not installed (run 'make deps')" >&2
        exit 1
    fi
done

start=$(date +%s)
# Everything but the cached base prefix is made anew.
mkdir -p "$work"
find "$work" -mindepth 1 -maxdepth 1 ! -name base-prefix -exec rm -rf {} +
cd "$work"

echo "== glimpack pack"
"$glimpack" pack -o STARS.EXE --title "Stars" --first-number 32 --stub "$stub" \
    --scr "$samples/STARS.SCR" --dat "$samples/STARS.DAT" "$samples/FILE0032.BMP"
echo
echo "== glimpack list STARS.EXE"
"$glimpack" list STARS.EXE
echo
echo "== glimpack test STARS.EXE"
"$glimpack" test STARS.EXE
echo

# Booting a Wine prefix takes a while; the booted one is kept for the next
# run as long as Wine stays the same version.
wine_version=$(wine --version 2> /dev/null || echo unknown)
if [ ! -f "$base/.glim-ready" ] || [ "$(cat "$base/.wine-version" 2> /dev/null)" != "$wine_version" ]; then
    echo "== preparing a Wine prefix in $base (once)"
    "$python" "$harness/make_prefix.py" "$base"
    echo "$wine_version" > "$base/.wine-version"
    echo
fi

if [ -n "$interactive" ]; then
    echo "== installing STARS.EXE under Wine on $DISPLAY: please click through the dialogs"
    mode=(--interactive)
else
    echo "== installing STARS.EXE under Wine on a virtual display"
    mode=()
fi
status=0
"$python" "$harness/run_scenario.py" "${mode[@]}" --keep --report \
    --base-prefix "$base" --work "$work/work" --artifacts "$work/screenshots" \
    --robot "$win32/tests/wine/robot.exe" --fixtures "$win32/tests/wine" \
    --samples "$samples" --program "$work/STARS.EXE" "$scenario" || status=$?

# Small pictures of each step, cropped to its window as the robot saw it,
# for the README's gallery (docs/screenshots/).
shots="$work/screenshots/stars_demo"
if [ -f "$shots/robot.log" ]; then
    "$python" "$top/samples/demo.py" "$shots" "$work/gallery"
fi

echo
echo "Took $(($(date +%s) - start)) s. The installed prefix is $work/work/stars_demo/prefix"
echo "(run more in it with: WINEPREFIX=$work/work/stars_demo/prefix wine ...)."
[ -d "$work/gallery" ] && echo "Cropped pictures for the README are in $work/gallery"
exit $status
