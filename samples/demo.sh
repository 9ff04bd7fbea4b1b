#!/usr/bin/env bash
# The demo: packs a small screen-saver package with the freshly built tool and
# stub, then lists, tests and unpacks it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
glimpack="${GLIMPACK:-$top/build/native-release/tools/glimpack}"
stub="$top/build/win32/glimsetup.exe"
work="$top/build/demo"

rm -rf "$work"
mkdir -p "$work/in"
cd "$work"

# Stand-ins for a saver and its data: text compresses, random bytes do not,
# so the package shows both a compressed and a stored record.
saver="$top/build/win32/tests/wine/fixture_saver.exe"
if [ -f "$saver" ]; then cp "$saver" in/STARS.SCR; else head -c 20000 /dev/urandom > in/STARS.SCR; fi
printf 'stars=200\nspeed=3\ncolour=white\n' > in/STARS.DAT
for i in $(seq 1 400); do echo "line $i of the readme that comes with the stars"; done > in/README.TXT
head -c 3000 /dev/urandom > in/NOISE.BMP

echo "== glimpack pack"
"$glimpack" pack -o STARS.EXE --title "Stars" --scr in/STARS.SCR --dat in/STARS.DAT \
    --first-number 32 --stub "$stub" in/NOISE.BMP in/README.TXT
echo
echo "== glimpack list STARS.EXE"
"$glimpack" list STARS.EXE
echo
echo "== glimpack test STARS.EXE"
"$glimpack" test STARS.EXE
echo
echo "== glimpack extract -d windows STARS.EXE"
"$glimpack" extract -d windows STARS.EXE
find windows -type f | sort | while read -r f; do printf '  %8d  %s\n' "$(stat -c %s "$f")" "$f"; done
echo
echo "Demo files are in $work"
