#!/usr/bin/env bash
# Runs every fuzz target (or the ones named) for SECONDS each, one after the
# other, from seeds that fuzz_make_seeds writes and a corpus kept between runs.
#
#   fuzz/run.sh SECONDS [TARGET...]
#
# Builds the clang configuration first (GLIM_FUZZ_BUILD, default build/fuzz).
# Inputs that crash are saved as BUILD/crashes/TARGET-crash-*; copy them into
# tests/regress/TARGET/ so that the native tests replay them. Exit code 1 when
# any target found a crash.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:?usage: fuzz/run.sh SECONDS [TARGET...]}"
shift
build="${GLIM_FUZZ_BUILD:-$here/build/fuzz}"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(payload_walk decoder differential glimpack installer)
fi

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DGLIM_FUZZ=ON >/dev/null
fi
cmake --build "$build" -j2 >/dev/null

rm -rf "$build/seeds"
"$build/fuzz/fuzz_make_seeds" "$build/seeds"
mkdir -p "$build/crashes"

failed=0
for target in "${targets[@]}"; do
  program="$build/fuzz/fuzz_$target"
  if [ ! -x "$program" ]; then
    echo "fuzz: no target '$target'" >&2
    exit 2
  fi
  corpus="$build/corpus/$target"
  mkdir -p "$corpus" "$build/seeds/$target"
  log="$build/fuzz-$target.log"
  extra=()
  case "$target" in
    # The commands print a line for every refused package; keep them quiet.
    glimpack|installer) extra+=(-close_fd_mask=3) ;;
  esac
  echo "fuzz: $target for ${seconds}s"
  set +e
  "$program" "$corpus" "$build/seeds/$target" -max_total_time="$seconds" -timeout=30 \
    -rss_limit_mb=2560 -max_len=65536 -print_final_stats=1 \
    -artifact_prefix="$build/crashes/$target-" "${extra[@]}" >"$log" 2>&1
  rc=$?
  set -e
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  echo "fuzz: $target: ${runs:-?} executions, exit code $rc"
  if [ $rc -ne 0 ]; then
    failed=1
    grep -E "ERROR|property broken|SUMMARY|Test unit written" "$log" | head -20 >&2 || true
  fi
done
exit $failed
