#!/usr/bin/env bash
# Builds the configuration-record fuzz targets with clang's libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer, and runs each for a while (default 60 s).
#   fuzz/run.sh [seconds] [target...]     targets: hevc_config av1_config
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(hevc_config av1_config)
out="build/fuzz"
mkdir -p "$out"
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I.)
sources=(codecs/hevc_config.cpp codecs/av1_config.cpp output/byte_writer.cpp platform/platform.cpp)

for target in "${targets[@]}"; do
  clang++ "${flags[@]}" "fuzz/${target}_fuzz.cpp" "${sources[@]}" -o "$out/${target}_fuzz"
  corpus="$out/corpus/$target"
  mkdir -p "$corpus"
  # Seeds: the real parameter sets of the unit tests, one hex file per input.
  for seed in fuzz/seeds/"${target%%_*}"/*.hex; do
    xxd -r -p "$seed" > "$corpus/seed-$(basename "$seed" .hex)"
  done
  echo "== $target: ${seconds}s"
  log="$out/$target.log"
  status=0
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$out/${target}_fuzz" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$out/${target}-" "$corpus" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "$target: fuzzer failed (exit $status); the input is saved under $out/${target}-*"
    exit "$status"
  fi
  grep -E "^(Done|stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb))" "$log"
  echo "corpus: $(ls "$corpus" | wc -l) inputs in $corpus"
done
