#!/usr/bin/env bash
# The release archives, the same bytes from the same commit (`make dist`):
#
#   packaging/dist.sh [OUT_DIR [TOOL_BUILD_DIR]]
#
# writes into OUT_DIR (build/dist):
#   glimpack-VERSION-linux-ARCH.tar.gz  the tool, the stub, man page, completion, README, LICENSE, CHANGELOG
#   glimpack-VERSION-windows.zip        glimpack.exe, glimsetup.exe, README.txt and LICENSE.txt (CRLF)
#   glimpack_VERSION_DEBARCH.deb        the Debian package CPack builds (cmake/packaging.cmake)
#   glimpack-VERSION-src.tar.gz         git archive of HEAD
#   SHA256SUMS
#
# The tool is built with the dist preset (native-release, hardened, no build
# paths) in TOOL_BUILD_DIR (build/dist-tool), reused when it is up to date.
# The Windows binaries come from the win32 build (build/win32, `make win32`);
# GLIMPACK_EXE names another glimpack.exe to ship. Every date inside the
# archives is SOURCE_DATE_EPOCH, the time of the HEAD commit unless it is set.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
out=$(realpath -m "${1:-build/dist}")
tool=$(realpath -m "${2:-build/dist-tool}")
stub=$src/build/win32/glimsetup.exe
winexe=${GLIMPACK_EXE:-$src/build/win32/glimpack.exe}
export LC_ALL=C TZ=UTC

die() { echo "dist: $*" >&2; exit 1; }

# Runs a command with its output kept in a log, shown only when it fails.
quiet() {
    local log=$1; shift
    if ! "$@" > "$log" 2>&1; then
        cat "$log" >&2
        die "failed: $*"
    fi
}

[ -f "$stub" ] || die "$stub is missing: build the Windows binaries first (make win32)"
[ -f "$winexe" ] || die "$winexe is missing: the win32 build makes it once the Windows build of the \
tool is part of this tree (make win32); GLIMPACK_EXE=PATH ships another glimpack.exe"
git rev-parse --verify -q HEAD > /dev/null || die "not in a git repository: the source archive is made from HEAD"
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
fi
[[ "$SOURCE_DATE_EPOCH" =~ ^[0-9]+$ ]] || die "SOURCE_DATE_EPOCH is not a time in seconds: $SOURCE_DATE_EPOCH"
export SOURCE_DATE_EPOCH
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "dist: warning: the working tree differs from HEAD; the programs are built from the tree," \
        "the source archive from HEAD" >&2
fi

# The tool. The version is the one it was built with: project() in CMakeLists.txt.
cmake --preset dist -B "$tool" > /dev/null
cmake --build "$tool" -j2
version=$("$tool/tools/glimpack" --version | sed -n 's/^glimpack \([0-9][0-9.]*\)$/\1/p')
[ -n "$version" ] || die "cannot read the version from $tool/tools/glimpack --version"
arch=$(uname -m)

mkdir -p "$out"
rm -f "$out"/glimpack-*.tar.gz "$out"/glimpack-*.zip "$out"/glimpack_*.deb "$out/SHA256SUMS"
stage=$out/.stage
rm -rf "$stage"
mkdir -p "$stage"

# Archive members sorted, owned by root, dated SOURCE_DATE_EPOCH, with modes
# that do not depend on the umask (0755 folders and programs, 0644 the rest);
# gzip -n leaves the name and time out of its header.
reproducible_tar() {
    local dir=$1 name=$2 archive=$3
    tar --create --format=gnu --sort=name --owner=0 --group=0 --numeric-owner \
        --mtime="@$SOURCE_DATE_EPOCH" --mode='u=rwX,go=rX' -C "$dir" "$name" | gzip -9n > "$archive"
}

# Linux: an installed tree to run in place (glimpack finds the stub in
# ../share/glimpack), with the documents on top.
linux=glimpack-$version-linux-$arch
root=$stage/linux/$linux
quiet "$stage/install.log" cmake --install "$tool" --prefix "$root" --strip
# As Debian's tools do and the .deb does: the compiler's notes go too.
strip --remove-section=.comment --remove-section=.note "$root/bin/glimpack"
mv "$root/share/doc/glimpack/README.md" "$root/share/doc/glimpack/LICENSE" \
    "$root/share/doc/glimpack/CHANGELOG.md" "$root/"
rmdir "$root/share/doc/glimpack" "$root/share/doc"
[ -f "$root/share/glimpack/glimsetup.exe" ] || die "the install did not place the stub"
reproducible_tar "$stage/linux" "$linux" "$out/$linux.tar.gz"

# Windows: one folder with both programs; the texts with CRLF line ends.
windows=glimpack-$version-windows
sed "s/@VERSION@/$version/g" packaging/windows/README.txt > "$stage/README.txt"
/usr/bin/python3 packaging/make_zip.py "$out/$windows.zip" "$windows" "$SOURCE_DATE_EPOCH" \
    "glimpack.exe=$winexe" "glimsetup.exe=$stub" \
    --text "README.txt=$stage/README.txt" "LICENSE.txt=$src/LICENSE"

# Debian: CPack over the same build, laid out by packaging/deb-layout.cmake.
# CPack gives the .deb's own members (control, data) the modes of the files
# it wrote them to, so its umask must not be the caller's.
(umask 022 && quiet "$stage/cpack.log" cpack --config "$tool/CPackConfig.cmake" -B "$stage/deb")
debs=("$stage"/deb/glimpack_"$version"_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || die "CPack made no glimpack_${version}_*.deb"
cp "${debs[0]}" "$out/"
deb=$(basename "${debs[0]}")

# Source: the commit itself (git archive dates every member with its time).
git archive --format=tar --prefix="glimpack-$version/" HEAD | gzip -9n > "$out/glimpack-$version-src.tar.gz"

rm -rf "$stage"
artifacts=("$linux.tar.gz" "$windows.zip" "$deb" "glimpack-$version-src.tar.gz")
(cd "$out" && sha256sum -- "${artifacts[@]}" > SHA256SUMS)

echo "dist: glimpack $version, SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH ($(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S UTC')), in $out:"
for a in "${artifacts[@]}"; do
    printf '  %-40s %10s bytes\n' "$a" "$(stat -c %s "$out/$a")"
done
sed 's/^/  /' "$out/SHA256SUMS"
