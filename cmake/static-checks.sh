#!/usr/bin/env bash
# Static checks and a memcheck run, as `make static` and CI run them:
#
#   cmake/static-checks.sh [BUILD_DIR]
#
# 1. clang-format --dry-run -Werror on every C++ file of the repository;
# 2. clang-tidy (.clang-tidy) on the project's code, and on the Windows-only
#    files with the win32 build's compile commands;
# 3. cppcheck (suppressions in cmake/cppcheck-suppressions.txt);
# 4. the native tests that exercise glimpack, once under Valgrind memcheck.
#
# BUILD_DIR (default build/native-plain) is a Debug build without
# sanitizers: Valgrind cannot run sanitized programs, and clang-tidy reads its
# compile_commands.json. It is configured and built when missing.
set -uo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build/native-plain}"
cd "$here"
failed=()

step() { echo; echo "== static: $*"; }

# The code clang-tidy and cppcheck look at: what ships, the fuzz programs and
# targets, the test fakes and the reference decoder the tests hold the
# production decoder to.
code_dirs=(base format decoder encoder hostos platform payload shell pe package tools fuzz
  testkit/fuzz_targets testkit/fakes testkit/reference)

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DGLIM_SANITIZE=OFF \
    -DGLIM_TESTS=ON -DGLIM_WIN32_BUILD_DIR="$here/build/win32" >/dev/null || exit 1
fi
cmake --build "$build" -j2 --target unit_tests hostile_tests regress_tests glimpack >/dev/null ||
  { echo "static: build of $build failed" >&2; exit 1; }

step "clang-format"
mapfile -t sources < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h')
if ! clang-format --dry-run -Werror "${sources[@]}"; then
  failed+=(clang-format)
fi

step "clang-tidy"
regex="^$here/($(IFS='|'; echo "${code_dirs[*]}"))/.*\.cpp\$"
if ! run-clang-tidy -p "$build" -j 2 -quiet "$regex" >"$build/clang-tidy.log" 2>&1 ||
   grep -qE '(warning|error): ' "$build/clang-tidy.log"; then
  grep -E '(warning|error): ' "$build/clang-tidy.log" | sort -u
  failed+=(clang-tidy)
fi

# The files only the win32 build compiles (the Windows system layer with its
# crypto, and the program's Windows entry), with that build's compile
# commands and clang aimed at MinGW, whose C++ headers it is given.
step "clang-tidy (Windows code)"
win32_build="$here/build/win32"
if [ ! -f "$win32_build/compile_commands.json" ]; then
  cmake --preset win32 >/dev/null || exit 1
fi
mingw_args=(--extra-arg=--target=i686-w64-mingw32 --extra-arg=-nostdinc++)
while read -r dir; do
  mingw_args+=("--extra-arg=-isystem$dir")
done < <(i686-w64-mingw32-g++-win32 -E -x c++ -v - </dev/null 2>&1 |
         sed -n '/#include <...> search starts here/,/End of search list/p' | grep '^ /')
if ! clang-tidy -p "$win32_build" --quiet "${mingw_args[@]}" hostos/windows.cpp \
     hostos/cleanup_windows.cpp hostos/crypto_windows.cpp tools/glimpack/main.cpp \
     >"$build/clang-tidy-win32.log" 2>&1; then
  grep -E '(warning|error): ' "$build/clang-tidy-win32.log" | sort -u
  failed+=("clang-tidy (Windows code)")
fi

step "cppcheck"
if ! cppcheck -q -j 2 --std=c++17 --language=c++ --enable=warning,performance,portability \
     --library=googletest --inline-suppr --suppressions-list=cmake/cppcheck-suppressions.txt \
     -I . --error-exitcode=1 --template='{file}:{line}: {severity} [{id}] {message}' \
     "${code_dirs[@]}" testkit/packages tests/support tests/hostile tests/regress; then
  failed+=(cppcheck)
fi

step "valgrind memcheck of the glimpack tests"
vg=(valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite
    --track-fds=no --trace-children=no)
run_vg() {
  echo "-- $*"
  if ! "${vg[@]}" "$@" >"$build/valgrind.log" 2>&1; then
    tail -40 "$build/valgrind.log"
    failed+=("valgrind $(basename "$1")")
  fi
}
run_vg "$build/tests/unit_tests" \
  --gtest_filter='PackListTest.*:BuildTest.*:CodecCommand.*:ExtractToolTest.*:FixStubLayout.*:PayloadTest.*:Naming.*-BuildTest.SameBytesAsBefore*'
GLIM_REAL_STUB="$here/build/win32/glimsetup.exe" run_vg "$build/tests/hostile/hostile_tests"
GLIM_REPLAY_REGRESS_ONLY=1 run_vg "$build/tests/regress/regress_tests"

echo
if [ ${#failed[@]} -ne 0 ]; then
  echo "static: FAILED: ${failed[*]}"
  exit 1
fi
echo "static: all checks passed"
