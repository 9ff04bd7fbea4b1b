#!/usr/bin/env bash
# Runs the codec benchmarks and prints one table: per corpus file and in total,
# the sizes of the three encoder modes and of zlib -9 (raw deflate), and the
# throughput of each encoder mode and of the decoders (memory to memory, the
# installer's stdio path, and the bit-by-bit test oracle), in MB/s of unpacked
# bytes (1 MB = 10^6 bytes). The ratios d/o and i/o put both production paths
# beside the oracle measured in the same run.
#
# Only the decoders, quicker:  bench/run.sh BUILD_DIR --benchmark_filter=decode/
# On a busy machine, BENCH_CLOCK=cpu rates by process CPU time instead of wall
# time; it is steadier when other jobs take the cores.
#
#   bench/run.sh [BUILD_DIR] [extra Google Benchmark options]
#
# BUILD_DIR defaults to build/native-release (what `make bench` builds). The
# corpus is found beside the source tree or through GLIM_CORPUS.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native-release}
[ $# -gt 0 ] && shift
bin=$build/bench/glim_bench
if [ ! -x "$bin" ]; then
    echo "bench/run.sh: $bin not found; build with GLIM_BENCH=ON (make native-release)" >&2
    exit 2
fi

json=$(mktemp "${TMPDIR:-/tmp}/glim_bench.XXXXXX.json")
trap 'rm -f "$json"' EXIT
echo "bench/run.sh: running $bin (about a minute or two)..." >&2
"$bin" --benchmark_format=json --benchmark_out="$json" --benchmark_out_format=json "$@" >/dev/null

python3 - "$json" "${BENCH_CLOCK:-real}" <<'PY'
import json, sys
from collections import OrderedDict

SCALE = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
runs = json.load(open(sys.argv[1]))["benchmarks"]
files = OrderedDict()
for r in runs:
    if r.get("run_type", "iteration") != "iteration" or r.get("error_occurred"):
        if r.get("error_occurred"):
            print("ERROR %s: %s" % (r["name"], r.get("error_message", "")), file=sys.stderr)
        continue
    parts = r["name"].split("/")
    if parts[0] == "zlib9":
        key, name = "zlib9", "/".join(parts[1:3])
    else:
        key, name = parts[0] + "/" + parts[1], "/".join(parts[2:4])
    f = files.setdefault(name, {})
    f["size"] = r["unpacked"]
    f[key] = (r["packed"], r[sys.argv[2] + "_time"] * SCALE[r["time_unit"]])

cols = ["encode/greedy", "encode/default", "encode/best", "decode/production", "decode/oracle"]
head = ("%-26s %10s %10s %10s %10s %6s %6s %10s | %7s %7s %7s | %7s %7s %7s %6s %6s" %
        ("file", "size", "greedy", "default", "best", "d/g", "b/g", "zlib-9",
         "enc-g", "enc-d", "enc-b", "dec", "inst", "oracle", "d/o", "i/o"))
print("sizes in bytes; d/g, b/g: default and best size over greedy size; %s time" % sys.argv[2])
print("enc-*, dec, inst, oracle: MB/s of unpacked bytes; d/o, i/o: memory-to-memory and")
print("installer-path decoder speed over the oracle's")
print(head)
print("-" * len(head))

def line(name, f):
    def size(k):
        return f[k][0] if k in f else float("nan")
    def mbs(k):
        return f["size"] / f[k][1] / 1e6 if k in f and f[k][1] > 0 else float("nan")
    def num(v, width, prec=None):
        # A column whose benchmark was filtered out (--benchmark_filter) or
        # failed shows "-" instead of breaking the table.
        if v != v:
            return "%*s" % (width, "-")
        return "%*.*f" % (width, prec, v) if prec is not None else "%*d" % (width, v)
    g, d, b = size("encode/greedy"), size("encode/default"), size("encode/best")
    print(" ".join([
        "%-26s" % name, num(f["size"], 10), num(g, 10), num(d, 10), num(b, 10),
        num(d / g if g == g and g else float("nan"), 6, 3),
        num(b / g if g == g and g else float("nan"), 6, 3), num(size("zlib9"), 10), "|",
        num(mbs("encode/greedy"), 7, 1), num(mbs("encode/default"), 7, 1),
        num(mbs("encode/best"), 7, 1), "|",
        num(mbs("decode/production"), 7, 1), num(mbs("decode/installer"), 7, 1),
        num(mbs("decode/oracle"), 7, 1),
        num(mbs("decode/production") / mbs("decode/oracle"), 6, 2),
        num(mbs("decode/installer") / mbs("decode/oracle"), 6, 2)]))

total = {"size": 0}
for name, f in files.items():
    line(name, f)
    total["size"] += f["size"]
    for k, v in f.items():
        if k != "size":
            s, t = total.get(k, (0, 0.0))
            total[k] = (s + v[0], t + v[1])
print("-" * len(head))
line("total", total)
PY
