#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs them on corpora seeded from fuzz/seeds and samples/.
#
#   fuzz/run.sh [seconds] [target...]   each target for a while (default 60 s),
#                                       growing its corpus in build/fuzz/corpus/
#   fuzz/run.sh --ci [target...]        each target for a fixed number of runs from
#                                       its seeds alone, with a fixed random seed
#                                       (about a minute in all; scripts/test runs this)
#
# Targets: session (whole writer sessions through the slots), hevc_config,
# av1_config, start_code_scan (the vector start code searches against the
# scalar one), mxmux_readers (mxmux's stream readers), mxmux_files (its --dump
# listing and --faststart planner), mxmux_recover (its --recover of files a crash
# left as fragments). A failing input is saved as build/fuzz/<target>-crash-*
# and replays with: build/fuzz/<target>_fuzz FILE
set -euo pipefail
cd "$(dirname "$0")/.."

ci=0
if [ "${1:-}" = "--ci" ]; then
  ci=1
  shift
fi
seconds=60
if [ $ci -eq 0 ] && [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  seconds="$1"
  shift
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(session hevc_config av1_config start_code_scan mxmux_readers
  mxmux_files mxmux_recover)

# Runs per target in CI mode: about a minute of one core in all.
declare -A ci_runs=([session]=60000 [hevc_config]=150000 [av1_config]=150000
  [start_code_scan]=30000 [mxmux_readers]=20000 [mxmux_files]=30000 [mxmux_recover]=20000)
declare -A max_len=([session]=8192 [hevc_config]=4096 [av1_config]=4096 [start_code_scan]=4096
  [mxmux_readers]=70000 [mxmux_files]=70000 [mxmux_recover]=70000)

out=build/fuzz
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S fuzz -B "$out" -G Ninja -DCMAKE_CXX_COMPILER=clang++ "${launcher[@]}" >/dev/null
cmake --build "$out" -j "${MX_JOBS:-2}" -t $(printf '%s_fuzz ' "${targets[@]}")

# Seeds: hex files (a '#' starts a comment) and, for the readers, the samples
# prefixed with the byte that selects their reader.
seed_corpus() {
  local target="$1" corpus="$2" folder
  mkdir -p "$corpus"
  case "$target" in
    session) folder=session ;;
    hevc_config) folder=hevc ;;
    av1_config) folder=av1 ;;
    start_code_scan) folder=start_codes ;;
    mxmux_files) folder=files ;;
    mxmux_recover) folder=recover ;;
    mxmux_readers)
      local entry
      for entry in 0:testsrc.h264 1:testsrc.hevc 4:testsrc.263 5:tone.aac 6:tone.ac3 7:tone.flac; do
        { printf "\\x$(printf %02x "${entry%%:*}")"; head -c 65536 "samples/${entry#*:}"; } \
          >"$corpus/seed-${entry#*:}"
      done
      return
      ;;
  esac
  local seed
  for seed in fuzz/seeds/"$folder"/*.hex; do
    sed 's/#.*//' "$seed" | xxd -r -p >"$corpus/seed-$(basename "$seed" .hex)"
  done
}

export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
for target in "${targets[@]}"; do
  binary="$out/${target}_fuzz"
  log="$out/$target.log"
  if [ $ci -eq 1 ]; then
    corpus="$(mktemp -d "${TMPDIR:-/tmp}/mx-fuzz-$target.XXXXXX")"
    budget=(-runs="${ci_runs[$target]}" -seed="${MX_FUZZ_SEED:-1}")
    echo "== $target: ${ci_runs[$target]} runs"
  else
    corpus="$out/corpus/$target"
    budget=(-max_total_time="$seconds")
    echo "== $target: ${seconds}s"
  fi
  seed_corpus "$target" "$corpus"
  status=0
  start=$(date +%s%N)
  "$binary" "${budget[@]}" -max_len="${max_len[$target]}" -rss_limit_mb=2048 -timeout=20 \
    -print_final_stats=1 -artifact_prefix="$out/$target-" "$corpus" >"$log" 2>&1 || status=$?
  elapsed=$(awk -v ns=$(($(date +%s%N) - start)) 'BEGIN { printf "%.1f", ns / 1e9 }')
  [ $ci -eq 1 ] && rm -rf "$corpus"
  if [ "$status" -ne 0 ]; then
    tail -n 80 "$log"
    echo "$target: fuzzer failed (exit $status); the input is saved as $out/$target-*"
    exit "$status"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  per_second() { awk -v n="$1" -v s="$elapsed" 'BEGIN { printf "%.0f", (s > 0 ? n / s : 0) }'; }
  printf '%s: %s runs in %s s (%s per second)' "$target" "$runs" "$elapsed" "$(per_second "$runs")"
  calls=$(sed -n 's/^session_fuzz: \([0-9]*\) slot calls.*/\1/p' "$log")
  if [ -n "$calls" ]; then
    printf ', %s slot calls (%s per second), %s' "$calls" "$(per_second "$calls")" \
      "$(sed -n 's/^session_fuzz: .*inputs, //p' "$log")"
  fi
  echo
done
