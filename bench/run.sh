#!/usr/bin/env bash
# Runs the benchmarks (single-threaded) and prints one table: each of our
# primitives and renders beside its OpenCV counterpart, as the ratio of
# median times ours / OpenCV (below 1: ours is faster). Renders and
# corrections are measured against the OpenCV correction that reuses its
# matrices from frame to frame, and ("fresh") against the same making new
# ones every frame. The renders also show the allocator's peak.
#
#   bench/run.sh [BUILD_DIR] [FILTER]
# BUILD_DIR defaults to build-perf; FILTER (a regular expression on the
# benchmark names) to everything. REPS (default 5) and MIN_TIME (seconds,
# default 0.3) set the repetitions and the time per repetition; the
# repetitions of all benchmarks are interleaved, so load from other
# processes spreads over both sides. TESSIVO_TARGET=AVX2 (or SSE4, ...)
# runs our primitives on that code path.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../build-perf}"
filter="${2:-.}"
reps="${REPS:-5}"
min_time="${MIN_TIME:-0.3}"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

for program in bench_primitives bench_render; do
  if [[ ! -x "$build/bin/$program" ]]; then
    echo "missing $build/bin/$program: build it first (cmake --build $build)" >&2
    exit 1
  fi
  "$build/bin/$program" --benchmark_filter="$filter" --benchmark_repetitions="$reps" \
    --benchmark_enable_random_interleaving=true --benchmark_min_time="$min_time" \
    --benchmark_out="$out/$program.json" --benchmark_out_format=json \
    >/dev/null 2>"$out/$program.log" || { cat "$out/$program.log" >&2; exit 1; }
done

python3 - "$out"/bench_primitives.json "$out"/bench_render.json <<'PY'
import collections, json, re, statistics, sys

times = collections.defaultdict(list)  # name -> real times in ms, one per repetition
counters, order = {}, {}
for program, path in enumerate(sys.argv[1:]):
    for b in json.load(open(path))["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        name = re.sub(r"(/process_time)?/real_time$", "", b["run_name"])
        times[name].append(b["real_time"])
        counters[name] = {k: b[k] for k in ("peakPlanes", "peakBuffers", "peakMB") if k in b}
        order[name] = (program, b["family_index"])

def median(name):
    return statistics.median(times[name]) if name in times else None

def counterpart(name):
    """The OpenCV benchmark that `name` (one of ours) is measured against."""
    if name.startswith("Render/"):  # Render/<depth>/<size>/<mode>/radius:r/ours
        _, _, size, _, radius, _ = name.split("/")
        return f"Correction/{size}/channel/{radius}/opencv"
    if name.startswith("Correction/"):
        _, size, _, radius, _ = name.split("/")
        return f"Correction/{size}/channel/{radius}/opencv"
    return name[: -len("/ours")] + "/opencv"

# Renders and corrections are also set beside the OpenCV correction that
# allocates its matrices anew each frame ("fresh").
print(f"{'benchmark':<48} {'ours ms':>9} {'OpenCV ms':>10} {'ratio':>6} {'fresh':>6}"
      "  peak planes/buffers/MB")
for name in sorted(times, key=order.get):
    if not name.endswith("/ours"):
        continue
    ours, theirs = median(name), median(counterpart(name))
    fresh = median(counterpart(name) + "-fresh")
    ratio = f"{ours / theirs:6.2f}" if theirs else "     -"
    ratio += f" {ours / fresh:6.2f}" if fresh else "      "
    peak = counters.get(name, {})
    ledger = (f"  {peak['peakPlanes']:.0f} / {peak['peakBuffers']:.0f} / {peak['peakMB']:.0f}"
              if peak else "")
    shown = f"{theirs:10.2f}" if theirs else f"{'-':>10}"
    print(f"{name[: -len('/ours')]:<48} {ours:9.2f} {shown} {ratio}{ledger}")
PY
