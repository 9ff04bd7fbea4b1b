#!/usr/bin/env bash
# The libFuzzer programs (clang build in GLIM_FUZZ_BUILD, default build/fuzz).
#
#   fuzz/run.sh SECONDS [TARGET...]   explore: each target for SECONDS, from the
#                                     checked-in corpus, fresh seeds and the
#                                     working corpus kept in the build folder
#   fuzz/run.sh --replay [TARGET...]  replay only: every checked-in input
#                                     (fuzz/corpus/TARGET, tests/regress/TARGET)
#                                     once, no mutation; the same result on
#                                     every run
#   fuzz/run.sh --replay-regress      the same for tests/regress/TARGET alone
#                                     (part of `make test`, whose sanitized
#                                     native tests replay the whole corpus)
#   fuzz/run.sh --merge [TARGET...]   fold the working corpus into the
#                                     checked-in one, minimised (-merge=1)
#
# Exploration is random and open-ended, so it never gates the test command.
# Inputs that crash are saved as BUILD/crashes/TARGET-crash-*; copy them into
# tests/regress/TARGET/ so that every test run replays them. Exit code 1 when
# any target broke a property.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
mode=explore
regress_only=0
case "${1:-}" in
  --replay) mode=replay; shift ;;
  --replay-regress) mode=replay; regress_only=1; shift ;;
  --merge) mode=merge; shift ;;
  ''|-*) echo "usage: fuzz/run.sh SECONDS|--replay|--merge [TARGET...]" >&2; exit 2 ;;
  *) seconds="$1"; shift ;;
esac
build="${GLIM_FUZZ_BUILD:-$here/build/fuzz}"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(payload_walk decoder differential glimpack installer finder)
fi

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DGLIM_FUZZ=ON >/dev/null
fi
cmake --build "$build" -j2 >/dev/null

if [ "$mode" = explore ]; then
  rm -rf "$build/seeds"
  "$build/fuzz/fuzz_make_seeds" "$build/seeds"
fi
mkdir -p "$build/crashes"

failed=0
for target in "${targets[@]}"; do
  program="$build/fuzz/fuzz_$target"
  if [ ! -x "$program" ]; then
    echo "fuzz: no target '$target'" >&2
    exit 2
  fi
  kept="$here/fuzz/corpus/$target"
  regress="$here/tests/regress/$target"
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  [ "$mode" = replay ] || mkdir -p "$kept"
  log="$build/fuzz-$target.log"
  extra=()
  case "$target" in
    # The commands print a line for every refused package; keep them quiet.
    glimpack|installer) extra+=(-close_fd_mask=3) ;;
  esac
  common=(-timeout=30 -rss_limit_mb=2560 -max_len=65536 -print_final_stats=1
          -artifact_prefix="$build/crashes/$target-" "${extra[@]}")
  set +e
  case "$mode" in
    replay)
      dirs=()
      [ $regress_only -eq 0 ] && dirs+=("$kept")
      [ -d "$regress" ] && dirs+=("$regress")
      if [ ${#dirs[@]} -eq 0 ]; then
        echo "fuzz: $target: nothing to replay"
        set -e
        continue
      fi
      "$program" "${dirs[@]}" -runs=0 "${common[@]}" >"$log" 2>&1
      rc=$?
      ;;
    merge)
      fresh="$build/merged/$target"
      rm -rf "$fresh"
      mkdir -p "$fresh"
      "$program" -merge=1 "$fresh" "$kept" "$corpus" "${common[@]}" >"$log" 2>&1
      rc=$?
      if [ $rc -eq 0 ]; then
        rm -rf "$kept"
        mv "$fresh" "$kept"
      fi
      ;;
    explore)
      echo "fuzz: $target for ${seconds}s"
      "$program" "$corpus" "$kept" "$build/seeds/$target" -max_total_time="$seconds" \
        "${common[@]}" >"$log" 2>&1
      rc=$?
      ;;
  esac
  set -e
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  case "$mode" in
    replay) echo "fuzz: $target: replayed ${runs:-?} inputs, exit code $rc" ;;
    merge) echo "fuzz: $target: $(ls "$kept" | wc -l) inputs kept, exit code $rc" ;;
    explore) echo "fuzz: $target: ${runs:-?} executions, exit code $rc" ;;
  esac
  if [ $rc -ne 0 ]; then
    failed=1
    grep -E "ERROR|property broken|SUMMARY|Test unit written|  fd " "$log" | head -20 >&2 || true
  fi
done
exit $failed
