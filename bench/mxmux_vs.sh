#!/usr/bin/env bash
# Benchmark of mxmux (not part of the test suite). Makes its inputs with ffmpeg
# once, then runs the commands of each workload in rounds, one after the other
# (A B C A B C ...), so that a change in the machine's load touches all of them
# alike, and compares them round by round:
#   BIG  2.6 GB of 1080p H.264 (1800 frames, high bit rate) + AAC:
#        mxmux  vs  dd bs=8M of the same input bytes  vs  ffmpeg -c copy into MP4
#   MANY 200,000 small frames (160x90 H.264):
#        mxmux  vs  ffmpeg -c copy  vs  dd bs=8M of the same input
# Every command writes a fresh file; inputs and outputs go to tmpfs (/dev/shm)
# when it has room, so that neither the disk's write-back nor reads from it
# swamp the figures. Prints
# min / median / max wall time of every command, its median CPU time and peak
# memory, the median of the per-round ratios against each yardstick, and the
# load average before and after: figures taken at a load above about 0.5 on a
# small machine are noise.
# Every round also runs mxmux --resilient on BIG and MANY (the file written as
# fragments and finished at close), against the plain run: time and peak memory.
# With MXMUX_BEFORE set to another mxmux (an older build, with its plug-in
# beside it), every round runs it on BIG and MANY as well, and the summary
# gives the ratios of this build's times to its times.
# After the rounds, when valgrind is installed, bench/mux_instructions.sh gives
# the instructions of the same workloads beside them (exact on any load).
# Usage: bench/mxmux_vs.sh [build-dir] [work-dir] [rounds (default 7)]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/run}"
work="${2:-build/bench-mxmux}"
rounds="${3:-7}"
mxmux="$build/bin/mxmux"
[ -x "$mxmux" ] || { echo "build mxmux first (scripts/run builds $build)"; exit 1; }
before="${MXMUX_BEFORE:-}"
[ -z "$before" ] || [ -x "$before" ] || { echo "MXMUX_BEFORE: $before is not a program"; exit 1; }
[ "$rounds" -ge 7 ] || echo "note: $rounds rounds; the figures to report need at least 7"

# --- inputs (made once)
. bench/bench_inputs.sh
make_bench_inputs "$work"
big_bytes=$(stat -c %s "$work/big.all")
many_bytes=$(stat -c %s "$work/many.h264")
many_frames=200000

# --- where the inputs and outputs go: tmpfs when the inputs and one output of
# the largest run fit with a GiB to spare (each run's file is removed before the
# next run). The inputs are copied there because some virtual machines drop
# page-cache pages even with memory free, and a run that reads from the disk
# measures the disk.
inputs=("$work/big.all" "$work/big.h264" "$work/big.aac" "$work/many.h264"
  "$work/many-quarter.h264")
input_kib=$(du -ck "${inputs[@]}" | tail -1 | cut -f1)
in="$work"
out=""
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  free_kib=$(df -Pk /dev/shm | awk 'NR == 2 {print $4}')
  if [ "$free_kib" -gt $(( input_kib + big_bytes / 1024 + 1048576 )) ] &&
     [ "$(df --output=fstype "$work" | tail -1)" != tmpfs ]; then
    in=$(mktemp -d /dev/shm/mxmux-bench-in.XXXXXX)
    cp "${inputs[@]}" "$in/"
    echo "inputs: copied to $in (tmpfs)"
    free_kib=$(( free_kib - input_kib ))
  fi
  if [ "$free_kib" -gt $(( big_bytes / 1024 + 1048576 )) ]; then
    out=$(mktemp -d /dev/shm/mxmux-bench.XXXXXX)
  fi
fi
if [ -z "$out" ]; then
  out=$(mktemp -d "$work/out.XXXXXX")
  out_on_tmpfs=0
  echo "outputs: $out (no room on /dev/shm: on disk, whose write-back will show in the figures)"
else
  out_on_tmpfs=1
  echo "outputs: $out (tmpfs)"
fi
results="$out/results.txt"
: >"$results"
trap 'rm -rf "$out"; [ "$in" = "$work" ] || rm -rf "$in"' EXIT

# Read the inputs once ahead, so that the first round does not read them from the disk.
cat "$in/big.all" "$in/big.h264" "$in/many.h264" "$in/many-quarter.h264" >/dev/null

# --- some virtual machines hand memory that is freed back to their host after
# a few seconds, and whoever takes it again first pays for that: on tmpfs, the
# run that follows an idle spell took up to 5 times as long as the one right
# after it. So before each run the memory its output will take is taken and
# freed once by a scratch file, and every run starts alike.
warm() {  # name
  [ "$out_on_tmpfs" = 1 ] || return 0
  local bytes
  case "$1" in
    big_*) bytes=$big_bytes ;;
    many_*) bytes=$many_bytes ;;
    *) bytes=$(( many_bytes / 4 )) ;;
  esac
  fallocate -l $(( bytes + (64 << 20) )) "$out/warm" && rm -f "$out/warm"
}

# --- one timed run: wall seconds, CPU seconds (user + system) and peak
# resident memory (KiB) of the command, appended to the results as
# "name round wall cpu rss".
run() {  # name, round, output file, command...
  local name="$1" round="$2" file="$3"; shift 3
  rm -f "$file"
  warm "$name"
  python3 - "$name" "$round" "$@" >>"$results" <<'PY'
import resource, subprocess, sys, time
name, round_ = sys.argv[1], sys.argv[2]
t = time.monotonic()
r = subprocess.run(sys.argv[3:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
wall = time.monotonic() - t
if r.returncode != 0:
    sys.stderr.write(r.stderr.decode(errors="replace"))
    sys.exit(r.returncode)
u = resource.getrusage(resource.RUSAGE_CHILDREN)
print(f"{name} {round_} {wall:.4f} {u.ru_utime + u.ru_stime:.4f} {u.ru_maxrss}")
PY
  rm -f "$file"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
echo "load average before: $load_before"
for r in $(seq "$rounds"); do
  echo "round $r of $rounds"
  run big_mxmux "$r" "$out/big.mp4" "$mxmux" -q -o "$out/big.mp4" --video "$in/big.h264" \
    --audio "$in/big.aac"
  run big_dd "$r" "$out/big.bin" dd if="$in/big.all" of="$out/big.bin" bs=8M status=none
  run big_ffmpeg "$r" "$out/big-ff.mp4" ffmpeg -v error -y -r 30 -i "$in/big.h264" \
    -i "$in/big.aac" -map 0 -map 1 -c copy "$out/big-ff.mp4"
  run many_mxmux "$r" "$out/many.mp4" "$mxmux" -q -o "$out/many.mp4" --video "$in/many.h264"
  run many_ffmpeg "$r" "$out/many-ff.mp4" ffmpeg -v error -y -r 25 -i "$in/many.h264" -c copy \
    "$out/many-ff.mp4"
  run many_dd "$r" "$out/many.bin" dd if="$in/many.h264" of="$out/many.bin" bs=8M status=none
  run quarter_mxmux "$r" "$out/quarter.mp4" "$mxmux" -q -o "$out/quarter.mp4" \
    --video "$in/many-quarter.h264"
  run big_resilient "$r" "$out/big-r.mp4" "$mxmux" -q --resilient -o "$out/big-r.mp4" \
    --video "$in/big.h264" --audio "$in/big.aac"
  run many_resilient "$r" "$out/many-r.mp4" "$mxmux" -q --resilient -o "$out/many-r.mp4" \
    --video "$in/many.h264"
  if [ -n "$before" ]; then
    run big_before "$r" "$out/big-before.mp4" "$before" -q -o "$out/big-before.mp4" \
      --video "$in/big.h264" --audio "$in/big.aac"
    run many_before "$r" "$out/many-before.mp4" "$before" -q -o "$out/many-before.mp4" \
      --video "$in/many.h264"
  fi
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

python3 - "$results" "$big_bytes" "$many_bytes" "$many_frames" "$load_before" "$load_after" <<'PY'
import statistics, sys
path, big_bytes, many_bytes, many_frames = sys.argv[1], *map(int, sys.argv[2:5])
load_before, load_after = sys.argv[5], sys.argv[6]
runs = {}
for line in open(path):
    name, round_, wall, cpu, rss = line.split()
    runs.setdefault(name, {})[int(round_)] = (float(wall), float(cpu), int(rss))

def column(name, k):
    return [v[k] for _, v in sorted(runs[name].items())]

print()
print(f"{'command':<15}{'wall min':>10}{'median':>9}{'max':>9}{'cpu median':>12}{'peak MiB':>10}")
for name in ["big_mxmux", "big_dd", "big_ffmpeg", "big_before", "many_mxmux", "many_ffmpeg",
             "many_dd", "many_before", "quarter_mxmux", "big_resilient", "many_resilient"]:
    if name not in runs:
        continue
    w = column(name, 0)
    print(f"{name:<15}{min(w):>10.3f}{statistics.median(w):>9.3f}{max(w):>9.3f}"
          f"{statistics.median(column(name, 1)):>12.3f}"
          f"{statistics.median(column(name, 2)) / 1024:>10.1f}")

def ratio(a, b):
    rounds = sorted(set(runs[a]) & set(runs[b]))
    per_round = [runs[a][r][0] / runs[b][r][0] for r in rounds]
    return statistics.median(per_round), min(per_round), max(per_round), len(per_round)

print()
print("median of the per-round wall-time ratios (min - max), and the goal:")
for a, b, goal in [("big_mxmux", "big_dd", 1.25), ("big_mxmux", "big_ffmpeg", 0.35),
                   ("many_mxmux", "many_ffmpeg", 0.33), ("many_mxmux", "many_dd", 2.5),
                   ("big_resilient", "big_mxmux", 1.05), ("many_resilient", "many_mxmux", 1.05)]:
    med, lo, hi, n = ratio(a, b)
    verdict = "met" if med <= goal else "NOT met"
    print(f"  {a:>10} / {b:<12} {med:6.3f}  ({lo:.3f} - {hi:.3f}, {n} rounds)  "
          f"goal <= {goal}: {verdict}")
for a, b in [("big_mxmux", "big_before"), ("many_mxmux", "many_before")]:
    if b in runs:
        med, lo, hi, n = ratio(a, b)
        print(f"  {a:>10} / {b:<12} {med:6.3f}  ({lo:.3f} - {hi:.3f}, {n} rounds)  "
              "this build against MXMUX_BEFORE")

big_wall = statistics.median(column("big_mxmux", 0))
many_wall = statistics.median(column("many_mxmux", 0))
print()
print(f"BIG:  {big_bytes / 1048576:.0f} MiB in, mxmux {big_bytes / 1048576 / big_wall:.0f} MiB/s")
print(f"MANY: {many_frames} frames ({many_bytes / 1048576:.0f} MiB), mxmux "
      f"{many_frames / many_wall:.0f} samples/s, ffmpeg "
      f"{many_frames / statistics.median(column('many_ffmpeg', 0)):.0f} samples/s")
growth = (statistics.median(column("many_mxmux", 2)) -
          statistics.median(column("quarter_mxmux", 2))) * 1024 / (many_frames * 3 / 4)
print(f"mxmux peak memory growth: {growth:.1f} bytes per sample (50,000 -> 200,000 samples)")
for w in ["big", "many"]:
    extra = (statistics.median(column(f"{w}_resilient", 2)) -
             statistics.median(column(f"{w}_mxmux", 2))) / 1024
    print(f"{w.upper()}: --resilient peak memory {extra:+.1f} MiB against a plain run")
print()
print(f"load average before: {load_before}; after: {load_after}")
PY

if command -v valgrind >/dev/null; then
  echo
  echo "instructions under callgrind (bench/mux_instructions.sh):"
  bench/mux_instructions.sh "$build" "$work"
fi
