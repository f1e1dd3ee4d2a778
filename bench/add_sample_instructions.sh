#!/usr/bin/env bash
# Instructions per sample in mux_add_sample (not part of the test suite): runs
# the BM_CallgrindAddSample benchmark (100,000 samples of 200 bytes, H.264
# with composition offsets) under callgrind, collecting only inside
# mux_add_sample and what it calls, and prints the instructions per sample with
# and without the copy of the sample's bytes.
# Usage: bench/add_sample_instructions.sh [build-dir with mx_bench (default build/rel)]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/rel}"
bench="$build/bin/mx_bench"
[ -x "$bench" ] || { echo "build mx_bench first (cmake --build $build -t mx_bench)"; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is not installed (scripts/install-deps --with-bench)"; exit 1; }
samples=100000
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
MX_BENCH_DIR="$out" valgrind --tool=callgrind --callgrind-out-file="$out/cg.out" \
  --toggle-collect='mux_add_sample*' "$bench" --benchmark_filter=BM_CallgrindAddSample \
  >"$out/log" 2>&1 || { cat "$out/log"; exit 1; }
callgrind_annotate "$out/cg.out" >"$out/annotated"
python3 - "$out/annotated" "$samples" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
samples = int(sys.argv[2])
def count(s):
    return int(s.replace(",", ""))
total = count(re.search(r"([\d,]+) \(100\.0+%\)\s+PROGRAM TOTALS", text).group(1))
copy = sum(count(m.group(1)) for m in
           re.finditer(r"^\s*([\d,]+) \([\d.]+%\)\s+\S*(?:memcpy|memmove)\S*", text, re.M))
print(f"mux_add_sample: {total / samples:.1f} instructions per sample, "
      f"{(total - copy) / samples:.1f} without copying the sample's bytes "
      f"({samples} samples of 200 bytes; goal <= 300)")
PY
