#!/usr/bin/env bash
# Installs the Debian packages listed in debian-packages.txt that are missing,
# then makes sure 32-bit programs run (ensure-wine32.py; WINE32=auto, native
# or emulated chooses how). As root it runs apt-get itself (one update, one
# install); otherwise it prints the exact command to run and fails, so nothing
# half-works later.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
list="$here/debian-packages.txt"

mapfile -t wanted < <(grep -v -E '^[[:space:]]*(#|$)' "$list")
missing=()
for pkg in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$pkg")
done
if [ ${#missing[@]} -eq 0 ]; then
    exec /usr/bin/python3 "$here/ensure-wine32.py"
fi

need_i386=0
for pkg in "${missing[@]}"; do
    case "$pkg" in *:i386) need_i386=1 ;; esac
done
if [ $need_i386 -eq 1 ] && dpkg --print-foreign-architectures | grep -qx i386; then
    need_i386=0
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages. Install them with:" >&2
    if [ $need_i386 -eq 1 ]; then
        echo "  sudo dpkg --add-architecture i386 && sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    else
        echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    fi
    exit 1
fi

echo "Installing: ${missing[*]}"
[ $need_i386 -eq 1 ] && dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
exec /usr/bin/python3 "$here/ensure-wine32.py"
