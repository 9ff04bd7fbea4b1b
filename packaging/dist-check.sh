#!/usr/bin/env bash
# Checks the release archives (`make dist-check`):
#
#   packaging/dist-check.sh [--dpkg-install]
#
# 1. make dist as usual (build/dist, the tool's build in build/dist-tool
#    reused), then once more into build/dist-check from a clean build folder
#    at another path, under another umask: the checksums must be the same.
# 2. What each archive holds, unpacked the way a user would: the programs run
#    and find their stub, the licence is in every archive, the texts for
#    Windows have CRLF line ends, nothing carries a build path.
# 3. The Debian package: unpacked with dpkg -x, its copyright and changelog
#    read by Debian's own tools, and lintian without errors. With
#    --dpkg-install (as root, on a machine where glimpack is not installed)
#    it is also installed with dpkg -i, run from PATH and purged again.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
export LC_ALL=C TZ=UTC

dpkg_install=0
case "${1:-}" in
    --dpkg-install) dpkg_install=1 ;;
    "") ;;
    *) echo "usage: packaging/dist-check.sh [--dpkg-install]" >&2; exit 1 ;;
esac

check=$src/build/dist-check
rm -rf "$check"
mkdir -p "$check"
failures=0
fail() { echo "dist-check: FAIL: $*" >&2; failures=$((failures + 1)); }

echo "== make dist, first time (build/dist-tool reused)"
packaging/dist.sh build/dist build/dist-tool
echo "== make dist, second time (a clean build folder, another path, umask 077)"
(umask 077 && packaging/dist.sh "$check/dist" "$check/tool")
if cmp -s build/dist/SHA256SUMS "$check/dist/SHA256SUMS"; then
    echo "== reproducible: both runs gave the same checksums"
else
    fail "the two runs differ:"
    diff build/dist/SHA256SUMS "$check/dist/SHA256SUMS" >&2 || true
fi

dist=$src/build/dist
version=$(build/dist-tool/tools/glimpack --version | sed -n 's/^glimpack //p')
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
release_date=$(sed -n "s/^## \[$version\] - \([0-9-]*\)$/\1/p" CHANGELOG.md)
arch=$(uname -m)
linux=glimpack-$version-linux-$arch
windows=glimpack-$version-windows
deb=$(cd "$dist" && ls glimpack_"$version"_*.deb)
srcname=glimpack-$version-src
x=$check/unpacked
mkdir -p "$x"

# A package built with a released glimpack from the repository's test data,
# without --stub: the tool has to find the stub where it was installed.
pack_and_test() {
    local glimpack=$1 where=$2
    local dir
    dir=$(mktemp -d "$check/pack.XXXXXX")
    cp tests/data/prose.txt "$dir/SAVER.SCR"
    printf 'settings' > "$dir/SAVER.DAT"
    if ! (cd "$dir" && "$glimpack" pack -q -o SAVER.EXE --title "Check" --scr SAVER.SCR --dat SAVER.DAT \
            && "$glimpack" test -q SAVER.EXE > /dev/null); then
        fail "$where: glimpack cannot pack and test a package with the stub it came with"
    fi
}

no_build_paths() {
    local file=$1
    for path in "$src" "$check"; do
        if grep -q -F -- "$path" "$file"; then
            fail "$(basename "$file") holds the build path $path"
        fi
    done
}

echo "== $linux.tar.gz"
listing=$(tar --list --verbose --numeric-owner --full-time -zf "$dist/$linux.tar.gz")
expected="$linux/ $linux/CHANGELOG.md $linux/LICENSE $linux/README.md $linux/bin/ $linux/bin/glimpack
$linux/share/ $linux/share/bash-completion/ $linux/share/bash-completion/completions/
$linux/share/bash-completion/completions/glimpack $linux/share/glimpack/ $linux/share/glimpack/glimsetup.exe
$linux/share/man/ $linux/share/man/man1/ $linux/share/man/man1/glimpack.1"
[ "$(awk '{print $NF}' <<< "$listing" | tr '\n' ' ')" = "$(tr '\n' ' ' <<< "$expected")" ] \
    || fail "$linux.tar.gz holds other files than expected:"$'\n'"$listing"
awk -v when="$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S')" \
    '$2 != "0/0" || $4 " " $5 != when { bad = 1 } END { exit bad }' <<< "$listing" \
    || fail "$linux.tar.gz has members not owned by 0/0 or not dated SOURCE_DATE_EPOCH"
tar -xzf "$dist/$linux.tar.gz" -C "$x"
echo "bin/glimpack --version: $("$x/$linux/bin/glimpack" --version)"
[ "$("$x/$linux/bin/glimpack" --version)" = "glimpack $version" ] || fail "$linux: glimpack --version"
head -1 "$x/$linux/share/man/man1/glimpack.1" | grep -q -F "\"$release_date\" \"glimpack $version\"" \
    || fail "$linux: the man page does not carry the release's date $release_date and version"
cmp -s "$x/$linux/LICENSE" LICENSE || fail "$linux: LICENSE differs from the repository's"
cmp -s "$x/$linux/share/glimpack/glimsetup.exe" build/win32/glimsetup.exe || fail "$linux: not the built stub"
no_build_paths "$x/$linux/bin/glimpack"
pack_and_test "$x/$linux/bin/glimpack" "$linux"

echo "== $windows.zip"
unzip -q -t "$dist/$windows.zip" || fail "$windows.zip does not test as a zip"
unzip -q "$dist/$windows.zip" -d "$x"
[ "$(cd "$x/$windows" && ls | tr '\n' ' ')" = "LICENSE.txt README.txt glimpack.exe glimsetup.exe " ] \
    || fail "$windows.zip holds other files than expected: $(cd "$x/$windows" && ls)"
for text in README.txt LICENSE.txt; do
    # Every line ends in CRLF, and none in a doubled CR.
    if grep -q -v $'\r$' "$x/$windows/$text" || grep -q $'\r\r$' "$x/$windows/$text"; then
        fail "$windows/$text does not have CRLF line ends throughout"
    fi
done
[ "$(tr -d '\r' < "$x/$windows/LICENSE.txt")" = "$(cat LICENSE)" ] || fail "$windows/LICENSE.txt is not LICENSE"
grep -q -F "glimpack $version for Windows" "$x/$windows/README.txt" || fail "$windows/README.txt: no version"
cmp -s "$x/$windows/glimsetup.exe" build/win32/glimsetup.exe || fail "$windows: not the built stub"
cmp -s "$x/$windows/glimpack.exe" "${GLIMPACK_EXE:-build/win32/glimpack.exe}" \
    || fail "$windows: not the built glimpack.exe"

echo "== $deb"
dpkg-deb --contents "$dist/$deb"
root=$x/deb-root
dpkg-deb -x "$dist/$deb" "$root"
echo "dpkg -x, usr/bin/glimpack --version: $("$root/usr/bin/glimpack" --version)"
[ "$("$root/usr/bin/glimpack" --version)" = "glimpack $version" ] || fail "$deb: glimpack --version"
cmp -s "$root/usr/bin/glimpack" "$x/$linux/bin/glimpack" || fail "$deb and $linux carry different programs"
for f in usr/share/man/man1/glimpack.1.gz usr/share/bash-completion/completions/glimpack \
    usr/share/glimpack/glimsetup.exe usr/share/doc/glimpack/README.md.gz; do
    [ -f "$root/$f" ] || fail "$deb: no /$f"
done
pack_and_test "$root/usr/bin/glimpack" "$deb"
# The copyright file as Debian reads it: one Files paragraph under the MIT
# (Expat) licence with the whole licence text.
/usr/bin/python3 - "$root/usr/share/doc/glimpack/copyright" LICENSE <<'PY' || fail "$deb: copyright"
import re, sys
paragraphs = []
for block in re.split(r"\n\s*\n", open(sys.argv[1], encoding="utf-8").read().strip()):
    fields = {}
    for line in block.split("\n"):
        if line.startswith(" "):
            fields[name] += "\n" + line[1:]
        else:
            name, _, value = line.partition(":")
            assert name not in fields, f"field {name} twice"
            fields[name] = value.strip()
    paragraphs.append(fields)
assert paragraphs[0]["Format"] == "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
files = paragraphs[1]
assert files["Files"] == "*" and "Glimmerloom" in files["Copyright"], files
name, _, text = files["License"].partition("\n")
assert name == "Expat", name
licence = open(sys.argv[2], encoding="utf-8").read()
body = licence[licence.index("Permission is hereby granted"):].strip()
assert [l.strip() for l in text.split("\n") if l.strip() != "."] == \
    [l.strip() for l in body.split("\n") if l.strip()], "not the whole licence text"
PY
zcat "$root/usr/share/doc/glimpack/changelog.gz" > "$check/changelog"
changes=$(dpkg-parsechangelog -l "$check/changelog" -S Version || true)
[ "$changes" = "$version" ] || fail "$deb: the Debian changelog's newest version is '$changes'"
echo "== lintian $deb"
if ! lintian --fail-on error --info --pedantic "$dist/$deb"; then
    fail "lintian reports errors for $deb"
fi
echo "(lintian: end of its report)"

if [ $dpkg_install -eq 1 ]; then
    echo "== dpkg -i $deb"
    if [ "$(id -u)" -ne 0 ]; then
        fail "--dpkg-install needs root"
    elif dpkg-query -W -f='${db:Status-Status}' glimpack 2>/dev/null | grep -qx installed; then
        fail "--dpkg-install: glimpack is already installed on this machine; not replacing it"
    else
        dpkg -i "$dist/$deb"
        echo "$(command -v glimpack) --version: $(glimpack --version)"
        [ "$(glimpack --version)" = "glimpack $version" ] || fail "the installed glimpack --version"
        [ -f /usr/share/man/man1/glimpack.1.gz ] || fail "dpkg -i did not install the man page"
        pack_and_test /usr/bin/glimpack "installed $deb"
        dpkg --purge glimpack
        [ ! -e /usr/bin/glimpack ] || fail "dpkg --purge left /usr/bin/glimpack"
    fi
fi

echo "== $srcname.tar.gz"
tar --list -zf "$dist/$srcname.tar.gz" | sed -n "s|^glimpack-$version/||p" | grep -v '/$' | grep -v '^$' \
    | sort > "$check/src-files"
git ls-tree -r --name-only HEAD | sort > "$check/git-files"
cmp -s "$check/src-files" "$check/git-files" || fail "$srcname.tar.gz is not HEAD's files"
tar -xzf "$dist/$srcname.tar.gz" -C "$x" "glimpack-$version/LICENSE" || fail "$srcname.tar.gz holds no LICENSE"
cmp -s "$x/glimpack-$version/LICENSE" LICENSE || fail "$srcname: LICENSE"

if [ $failures -ne 0 ]; then
    echo "dist-check: $failures problem(s)" >&2
    exit 1
fi
echo "dist-check: OK, the same bytes twice:"
sed 's/^/  /' "$check/dist/SHA256SUMS"
