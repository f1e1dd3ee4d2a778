#!/usr/bin/env bash
# Builds the mxmux reader fuzzer with clang (libFuzzer, ASan, UBSan) and runs
# it for a while (default 60 seconds) on a corpus seeded from samples/.
# Usage: fuzz/run-mxmux.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
out=build/fuzz
mkdir -p "$out/corpus"
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I. -Iinclude fuzz/mxmux_readers_fuzz.cpp mxmux/bytes.cpp mxmux/readers.cpp \
  mxmux/read_h26x.cpp mxmux/read_video.cpp mxmux/read_audio.cpp -o "$out/mxmux_readers_fuzz"
# Seeds: each sample prefixed with the byte that selects its reader.
seed() { { printf "\\x$(printf %02x "$1")"; head -c 65536 "$2"; } >"$out/corpus/seed-$(basename "$2")"; }
seed 0 samples/testsrc.h264
seed 1 samples/testsrc.hevc
seed 4 samples/testsrc.263
seed 5 samples/tone.aac
seed 6 samples/tone.ac3
seed 7 samples/tone.flac
"$out/mxmux_readers_fuzz" -max_total_time="$seconds" -max_len=70000 -rss_limit_mb=2048 \
  -timeout=10 "$out/corpus"
