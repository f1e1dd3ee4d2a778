#!/usr/bin/env bash
# Instructions the plug-in spends on H.264 frames of 64 KiB, 1 MiB and 8 MiB
# handed over through the slots (not part of the test suite): runs
# BM_SlotH264Frames of mx_bench (one 256 MiB file per size) under callgrind,
# collecting only inside CMp4Writer::WriteVideoFrame and what it calls (the
# conversion, the sample's hand-over, the gathered write up to the system
# call), and prints the instructions per frame and per byte, and the start
# code search's part of them.
# Usage: bench/slot_instructions.sh [build-dir with mx_bench (default build/rel)]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/rel}"
bench="$build/bin/mx_bench"
[ -x "$bench" ] || { echo "build mx_bench first (cmake --build $build -t mx_bench)"; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is not installed (scripts/install-deps --with-bench)"; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for size in 65536 1048576 8388608; do
  MX_BENCH_DIR="$out" valgrind --tool=callgrind --callgrind-out-file="$out/cg.out" \
    --toggle-collect='CMp4Writer::WriteVideoFrame*' "$bench" \
    --benchmark_filter="BM_SlotH264Frames/$size/" --benchmark_min_time=0.001 \
    >"$out/log" 2>&1 || { cat "$out/log"; exit 1; }
  callgrind_annotate "$out/cg.out" >"$out/annotated"
  python3 - "$out/annotated" "$size" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
size = int(sys.argv[2])
frames = (256 << 20) // size
def count(s):
    return int(s.replace(",", ""))
total = count(re.search(r"([\d,]+) \(100\.0+%\)\s+PROGRAM TOTALS", text).group(1))
search = sum(count(m.group(1)) for m in re.finditer(
    r"^\s*([\d,]+) \([\d.]+%\)\s+.*(?:::scan_|::confirm_|find_start_code|find_four_byte)",
    text, re.M))
print(f"{size // 1024:>5} KiB frames: {total / frames:10.0f} instructions per frame, "
      f"{total / (frames * size):.4f} per byte; the start code search "
      f"{search / (frames * size):.4f} per byte, the rest {(total - search) / frames:.0f} per frame")
PY
done
