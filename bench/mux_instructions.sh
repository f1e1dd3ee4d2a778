#!/usr/bin/env bash
# Instructions that mxmux and the plug-in execute, counted by callgrind (not
# part of the test suite). Counts are exact, so unlike wall time they can be
# taken on a busy machine. Two workloads (inputs from bench/bench_inputs.sh):
#   BIG  the first 100 MiB of the BIG H.264 input: instructions per input byte
#   MANY 200,000 small H.264 frames: instructions per sample
# Each is split into:
#   whole process  every user-space instruction of the run (start-up included)
#   mxmux          everything outside the plug-in: its readers, its copies
#   plug-in        the slot calls mxmux makes into mx_mp4.so, with everything
#                  they call (the logging library, the C library)
#   conversion     the plug-in's Annex-B conversion alone (finding the units,
#                  writing their lengths), without the sample's hand-over
#   memcpy         the C library's copies, by who called them
# Goals: BIG at most 0.25 per input byte for the whole process and at most
# 0.10 in the conversion.
# Usage: bench/mux_instructions.sh [build-dir (default build/run)] [work-dir (default build/bench-mxmux)]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/run}"
work="${2:-build/bench-mxmux}"
mxmux="$build/bin/mxmux"
[ -x "$mxmux" ] || { echo "build mxmux first (scripts/run builds $build)"; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is not installed (scripts/install-deps --with-bench)"; exit 1; }

. bench/bench_inputs.sh
make_bench_inputs "$work"

out=$(mktemp -d "${TMPDIR:-/tmp}/mux-instructions.XXXXXX")
trap 'rm -rf "$out"' EXIT

profile() {  # name, input
  valgrind --tool=callgrind --callgrind-out-file="$out/$1.cg" \
    "$mxmux" -q -o "$out/$1.mp4" --video "$2" >"$out/$1.log" 2>&1 || { cat "$out/$1.log"; exit 1; }
  rm -f "$out/$1.mp4"
}
profile big "$work/big-100m.h264"
profile many "$work/many.h264"

python3 - "$out/big.cg" "$(stat -c %s "$work/big-100m.h264")" "$out/many.cg" <<'PY'
import collections, re, sys

def read_profile(path):
    """Self cost per function and the calls between functions (inclusive
    cost, count) from a callgrind output file. A function is (object, name);
    names may be compressed to "(id)" after their first use, and a call's
    target lies in the caller's object unless a cob= line names another."""
    names = {"ob": {}, "fn": {}}
    def name(kind, text):
        m = re.match(r"\((\d+)\)\s*(.*)", text)
        if not m:
            return text
        if m.group(2):
            names[kind][m.group(1)] = m.group(2)
        return names[kind][m.group(1)]
    self_cost = collections.Counter()
    calls = collections.Counter()
    call_counts = collections.Counter()
    ob = fn = callee = callee_ob = None
    pending_call = None
    total = None
    for line in open(path):
        line = line.rstrip("\n")
        if line.startswith("ob="):
            ob = name("ob", line[3:])
        elif line.startswith("fn="):
            fn = (ob, name("fn", line[3:]))
        elif line.startswith("cob="):
            callee_ob = name("ob", line[4:])
        elif line.startswith("cfn="):
            callee = (callee_ob or ob, name("fn", line[4:]))
        elif line.startswith("calls="):
            pending_call = int(line[6:].split()[0])
        elif line.startswith("totals:") or line.startswith("summary:"):
            total = int(line.split()[1])
        elif line and (line[0].isdigit() or line[0] in "+-*"):
            fields = line.split()
            cost = int(fields[1]) if len(fields) > 1 else 0
            if pending_call is not None:
                calls[(fn, callee)] += cost
                call_counts[(fn, callee)] += pending_call
                pending_call = None
                callee_ob = None
            else:
                self_cost[fn] += cost
    return total, self_cost, calls, call_counts

def report(path, unit, divisor_of):
    total, self_cost, calls, call_counts = read_profile(path)
    def is_plugin(f):
        return (f[0] or "").endswith("/mx_mp4.so")
    def is_mxmux(f):
        return (f[0] or "").endswith("/mxmux")
    plugin = sum(c for (a, b), c in calls.items() if is_mxmux(a) and is_plugin(b))
    # The conversion's own functions (a large frame's units are written as
    # they are found, by UnitsAsFound) and what they call, but not the
    # sample's hand-over: recording it, or writing its bytes.
    conversion_functions = {f for f in self_cost if re.search(
        r"CMp4Writer::(convert_|collect_units|write_units_as_found)|UnitsAsFound", f[1])}
    def hands_over(f):
        return re.match(r"(mux_|put_|CMp4Writer::add_video_units|XQ_Log)", f[1]) is not None
    conversion = sum(self_cost[f] for f in conversion_functions) + sum(
        c for (a, b), c in calls.items()
        if a in conversion_functions and b not in conversion_functions and not hands_over(b))
    copies = collections.Counter()
    for (a, b), c in calls.items():
        if re.search(r"mem(cpy|move)", b[1]):
            copies["plug-in" if is_plugin(a) else "mxmux" if is_mxmux(a) else "other"] += c
    frames = sum(n for (a, b), n in call_counts.items()
                 if is_mxmux(a) and is_plugin(b) and re.search(r"WriteVideoFrame", b[1]))
    divisor = divisor_of(frames)
    def line(label, count, note=""):
        print(f"  {label:<24}{count / 1e6:9.2f} M {count / divisor:10.3f} {unit}  {note}")
    line("whole process", total)
    line("mxmux", total - plugin, "(everything outside the plug-in)")
    line("  memcpy by mxmux", copies["mxmux"])
    line("plug-in", plugin, "(its slots, with all they call)")
    line("  conversion", conversion, "(Annex-B to lengths)")
    line("  memcpy by the plug-in", copies["plug-in"])
    print(f"  largest self costs ({frames} frames written):")
    for f, c in self_cost.most_common(6):
        where = "plug-in" if is_plugin(f) else "mxmux" if is_mxmux(f) else "library"
        print(f"    {c / 1e6:8.2f} M {c / divisor:9.3f}  {where:<8} {f[1][:80]}")
    return total / divisor, conversion / divisor

big_path, big_bytes, many_path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
print(f"BIG: first {big_bytes / 1048576:.0f} MiB, instructions per input byte")
big_total, big_conversion = report(big_path, "/ byte", lambda frames: big_bytes)
print("MANY: instructions per sample")
report(many_path, "/ sample", lambda frames: frames)
print()
for label, value, goal in [("BIG whole process", big_total, 0.25),
                           ("BIG conversion", big_conversion, 0.10)]:
    print(f"{label}: {value:.3f} per byte, goal <= {goal}: {'met' if value <= goal else 'NOT met'}")
PY
