#!/usr/bin/env bash
# What resilient writing costs (not part of the test suite): instructions
# under callgrind of one whole session of each workload of
# bench/mxmux_vs.sh as a host hands it over (BIG: 1.4 MB pictures at 30 fps
# with AAC; MANY: 200,000 pictures of 200 bytes), plain and resilient, counted
# inside the session only; and the largest heap in use during each. Then, for
# wall time on an idle machine (load below about 0.5), the paired rounds of
# BM_ResilientVsPlain (15 pairs, alternating which goes first): min, median
# and max of plain's time over resilient's (the goal: at least 1 / 1.05).
# Usage: bench/resilient_cost.sh [build-dir with mx_bench (default build/rel)] [--no-wall]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/rel}"
bench="$build/bin/mx_bench"
[ -x "$bench" ] || { echo "build mx_bench first (cmake --build $build -t mx_bench)"; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is not installed (scripts/install-deps --with-bench)"; exit 1; }
out=$(mktemp -d "${TMPDIR:-/tmp}/mx-resilient-cost.XXXXXX")
trap 'rm -rf "$out"' EXIT
dir=/dev/shm
[ -d "$dir" ] && [ -w "$dir" ] || dir="$out"

instructions() {  # workload (0 BIG, 1 MANY), resilient (0, 1)
  MX_BENCH_DIR="$dir" valgrind --tool=callgrind --callgrind-out-file="$out/cg" \
    --toggle-collect='*workload_session*' "$bench" \
    --benchmark_filter="BM_CallgrindSession/big0_many1:$1/resilient:$2/" >"$out/log" 2>&1 ||
    { cat "$out/log"; exit 1; }
  callgrind_annotate "$out/cg" | sed -n 's/^ *\([0-9,]*\) (100.0%) *PROGRAM TOTALS.*/\1/p' | tr -d ,
}

for w in 0 1; do
  name=$([ $w -eq 0 ] && echo BIG || echo MANY)
  plain=$(instructions $w 0)
  resilient=$(instructions $w 1)
  python3 -c "print(f'$name: {$plain:,} instructions plain, {$resilient:,} resilient: ' \
    f'resilient / plain = {$resilient / $plain:.4f}')"
done
MX_BENCH_DIR="$dir" "$bench" --benchmark_filter=BM_ResilientPeakHeap 2>/dev/null |
  sed -n 's/.*big0_many1:\([01]\).*plain_peak_MiB=\([0-9.]*\) resilient_peak_MiB=\([0-9.]*\).*/\1 \2 \3/p' |
  while read -r w plain resilient; do
    echo "$([ "$w" = 0 ] && echo BIG || echo MANY): peak heap $plain MiB plain, $resilient MiB resilient"
  done
[ "${2:-}" = "--no-wall" ] && exit 0
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
MX_BENCH_DIR="$dir" "$bench" --benchmark_filter=BM_ResilientVsPlain 2>/dev/null |
  sed -n 's/.*big0_many1:\([01]\).*ours_ms=\([0-9.a-z]*\).*ratio_max=\([0-9.]*\) ratio_min=\([0-9.]*\) speed_vs_yardstick=\([0-9.]*\).*yardstick_ms=\([0-9.a-z]*\).*/\1 \2 \6 \4 \5 \3/p' |
  while read -r w ours plain min median max; do
    echo "$([ "$w" = 0 ] && echo BIG || echo MANY): resilient $ours ms, plain $plain ms (medians);" \
      "plain / resilient per pair: min $min, median $median, max $max"
  done
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
