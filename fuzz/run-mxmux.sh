#!/usr/bin/env bash
# Builds mxmux's fuzzers with clang (libFuzzer, ASan, UBSan) and runs each for
# a while (default 60 seconds):
#   readers  the elementary-stream readers, on a corpus seeded from samples/;
#   files    the --dump listing and the --faststart planner, on a corpus
#            seeded with small files mxmux wrote (fuzz/seeds/files/*.hex).
# Usage: fuzz/run-mxmux.sh [seconds] [readers|files]...
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(readers files)
out=build/fuzz
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I. -Iinclude)

for target in "${targets[@]}"; do
  corpus="$out/corpus-$target"
  mkdir -p "$corpus"
  case "$target" in
    readers)
      clang++ "${flags[@]}" fuzz/mxmux_readers_fuzz.cpp mxmux/bytes.cpp mxmux/readers.cpp \
        mxmux/read_h26x.cpp mxmux/read_video.cpp mxmux/read_audio.cpp -o "$out/mxmux_readers_fuzz"
      # Seeds: each sample prefixed with the byte that selects its reader.
      seed() { { printf "\\x$(printf %02x "$1")"; head -c 65536 "$2"; } >"$corpus/seed-$(basename "$2")"; }
      seed 0 samples/testsrc.h264
      seed 1 samples/testsrc.hevc
      seed 4 samples/testsrc.263
      seed 5 samples/tone.aac
      seed 6 samples/tone.ac3
      seed 7 samples/tone.flac
      ;;
    files)
      clang++ "${flags[@]}" fuzz/mxmux_files_fuzz.cpp mxmux/dump.cpp mxmux/faststart.cpp \
        isobox/box_reader.cpp -o "$out/mxmux_files_fuzz"
      for seed in fuzz/seeds/files/*.hex; do
        xxd -r -p "$seed" >"$corpus/seed-$(basename "$seed" .hex)"
      done
      ;;
    *)
      echo "unknown target $target (readers or files)" >&2
      exit 2
      ;;
  esac
  echo "== mxmux_${target}_fuzz: ${seconds}s"
  "$out/mxmux_${target}_fuzz" -max_total_time="$seconds" -max_len=70000 -rss_limit_mb=2048 \
    -timeout=10 -artifact_prefix="$out/mxmux_${target}-" "$corpus"
done
