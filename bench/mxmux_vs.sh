#!/usr/bin/env bash
# Benchmark of mxmux (not part of the test suite): makes its inputs with
# ffmpeg once, then compares side by side, alternating the tools, with every
# run writing a fresh file to the same filesystem:
#   BIG  ~1.5 GB of 1080p H.264 (1800 frames, high bit rate) + AAC:
#        mxmux  vs  dd bs=8M of the same input bytes  vs  ffmpeg -c copy into MP4
#   MANY 200,000 small frames (160x90 H.264): samples per second of mxmux vs
#        ffmpeg -c copy
# and each run's peak memory; mxmux's memory growth per sample comes from
# MANY against a quarter of it.
# Usage: bench/mxmux_vs.sh [build-dir] [work-dir] [pairs]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/run}"
work="${2:-build/bench-mxmux}"
pairs="${3:-3}"
mxmux="$build/bin/mxmux"
[ -x "$mxmux" ] || { echo "build mxmux first (scripts/run builds $build)"; exit 1; }
mkdir -p "$work"
ff() { ffmpeg -hide_banner -loglevel error -y "$@"; }

# --- inputs (made once). Long streams are a short encode repeated: every
# repetition starts with an IDR picture and its parameter sets, so the
# concatenation is one valid stream.
if [ ! -s "$work/big.h264" ]; then
  echo "making BIG input..."
  ff -f lavfi -i testsrc2=size=1920x1080:rate=30 -frames:v 120 -vf noise=alls=8:allf=t \
     -c:v libx264 -preset ultrafast -qp 10 -g 60 -f h264 "$work/big-part.h264"
  for i in $(seq 15); do cat "$work/big-part.h264"; done >"$work/big.h264"
  rm -f "$work/big-part.h264"
fi
if [ ! -s "$work/big.aac" ]; then
  ff -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=60" -ac 2 -c:a aac -b:a 128k \
     -f adts "$work/big.aac"
fi
if [ ! -s "$work/many.h264" ]; then
  echo "making MANY input..."
  ff -f lavfi -i testsrc2=size=160x90:rate=25 -frames:v 10000 -c:v libx264 -preset ultrafast \
     -g 250 -bf 0 -f h264 "$work/many-part.h264"
  for i in $(seq 20); do cat "$work/many-part.h264"; done >"$work/many.h264"
  for i in $(seq 5); do cat "$work/many-part.h264"; done >"$work/many-quarter.h264"
  rm -f "$work/many-part.h264"
fi

# --- one timed run: wall seconds and peak resident memory (KiB) of the command.
measure() {
  python3 - "$@" <<'PY'
import resource, subprocess, sys, time
t = time.monotonic()
r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
wall = time.monotonic() - t
if r.returncode != 0:
    sys.stderr.write(r.stderr.decode(errors="replace"))
    sys.exit(r.returncode)
print(f"{wall:.3f} {resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss}")
PY
}
median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

declare -A wall rss
run() {  # name, output file, command...
  local name="$1" out="$2"; shift 2
  rm -f "$out"; sync
  local m; m=$(measure "$@")
  wall[$name]+="${m% *} "; rss[$name]+="${m#* } "
  rm -f "$out"
}

big_bytes=$(( $(stat -c %s "$work/big.h264") + $(stat -c %s "$work/big.aac") ))
cat "$work/big.h264" "$work/big.aac" >"$work/big.all"   # what dd copies: the same input bytes
for i in $(seq "$pairs"); do
  run big_mxmux "$work/out.mp4" "$mxmux" -q -o "$work/out.mp4" --video "$work/big.h264" --audio "$work/big.aac"
  run big_dd "$work/out.bin" dd if="$work/big.all" of="$work/out.bin" bs=8M status=none
  run big_ffmpeg "$work/out-ff.mp4" ffmpeg -v error -y -r 30 -i "$work/big.h264" -i "$work/big.aac" \
    -map 0 -map 1 -c copy "$work/out-ff.mp4"
done
rm -f "$work/big.all"
many_frames=200000
for i in $(seq "$pairs"); do
  run many_mxmux "$work/many.mp4" "$mxmux" -q -o "$work/many.mp4" --video "$work/many.h264"
  run many_ffmpeg "$work/many-ff.mp4" ffmpeg -v error -y -r 25 -i "$work/many.h264" -c copy "$work/many-ff.mp4"
  run quarter_mxmux "$work/quarter.mp4" "$mxmux" -q -o "$work/quarter.mp4" --video "$work/many-quarter.h264"
done

med() { echo "${wall[$1]}" | tr ' ' '\n' | grep . | median; }
medrss() { echo "${rss[$1]}" | tr ' ' '\n' | grep . | median; }
echo
echo "BIG: $((big_bytes / 1048576)) MiB input (1800 frames 1080p H.264 + 60 s AAC), medians of $pairs runs"
for t in mxmux dd ffmpeg; do
  w=$(med big_$t); r=$(medrss big_$t)
  printf "  %-7s %7.3f s  %8.1f MiB/s  peak %7.1f MiB\n" "$t" "$w" "$(echo "$big_bytes / 1048576 / $w" | bc -l)" "$(echo "$r / 1024" | bc -l)"
done
printf "  mxmux/dd throughput %.2fx, mxmux/ffmpeg %.2fx\n" "$(echo "$(med big_dd) / $(med big_mxmux)" | bc -l)" \
  "$(echo "$(med big_ffmpeg) / $(med big_mxmux)" | bc -l)"
echo "MANY: $many_frames frames 160x90 H.264, medians of $pairs runs"
for t in mxmux ffmpeg; do
  w=$(med many_$t); r=$(medrss many_$t)
  printf "  %-7s %7.3f s  %10.0f samples/s  peak %7.1f MiB\n" "$t" "$w" "$(echo "$many_frames / $w" | bc -l)" "$(echo "$r / 1024" | bc -l)"
done
printf "  mxmux/ffmpeg samples per second %.2fx\n" "$(echo "$(med many_ffmpeg) / $(med many_mxmux)" | bc -l)"
printf "  mxmux peak memory growth: %.1f bytes per sample (50,000 -> 200,000 samples)\n" \
  "$(echo "($(medrss many_mxmux) - $(medrss quarter_mxmux)) * 1024 / 150000" | bc -l)"
