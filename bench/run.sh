#!/usr/bin/env bash
# Runs the benchmarks (single-threaded) and prints three tables of median
# times:
# - each primitive beside its OpenCV counterpart, as the ratio ours / OpenCV
#   (below 1: ours is faster);
# - whole frames, host pixels in and out: our render beside the same job
#   done with OpenCV calls, and beside the floor line (for each whole-plane
#   operation of the render a plain streaming pass over the same bytes),
#   with the allocator's peak during our frame and how far OpenCV's output
#   lies from ours (LSB at 8 and 16 bits, relative in float); the ratios the
#   3840 x 2160 frames aim at stand in brackets;
# - where the time of a 3840 x 2160 frame goes: each operation of the
#   render, in its order, in ms and as a multiple of its own floor.
#
#   bench/run.sh [BUILD_DIR] [FILTER]
# BUILD_DIR defaults to build-perf; FILTER (a regular expression on the
# benchmark names) to everything. REPS (default 5) and MIN_TIME (seconds,
# default 0.3) set the repetitions and the time per repetition; the
# repetitions of all benchmarks are interleaved, so load from other
# processes spreads over every side. TESSIVO_TARGET=AVX2 (or SSE4, ...)
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

runs = collections.defaultdict(list)  # name -> one record per repetition
order, failed = {}, {}
def benchmarks(path):
    """A program's records; none when the filter selected none of its benchmarks."""
    try:
        return json.load(open(path))["benchmarks"]
    except (OSError, ValueError):
        return []

for program, path in enumerate(sys.argv[1:]):
    for b in benchmarks(path):
        if b.get("run_type") != "iteration":
            continue
        name = re.sub(r"(/iterations:\d+)?(/process_time)?/real_time$", "", b["run_name"])
        if b.get("error_occurred"):
            failed[name] = b.get("error_message", "failed")
            continue
        runs[name].append(b)
        order[name] = (program, b["family_index"])

def median(name, key="real_time"):
    values = [r[key] for r in runs.get(name, []) if key in r]
    return statistics.median(values) if values else None

def ms(value, width=9):
    return f"{value:{width}.2f}" if value is not None else f"{'-':>{width}}"

def ratio(a, b, width=6):
    return f"{a / b:{width}.2f}" if a is not None and b else f"{'-':>{width}}"

for name, why in sorted(failed.items()):
    print(f"FAILED {name}: {why}")

# --- Primitives ---------------------------------------------------------------
print(f"{'primitive':<48} {'ours ms':>9} {'OpenCV ms':>10} {'ratio':>6}")
for name in sorted((n for n in runs if order[n][0] == 0 and n.endswith("/ours")), key=order.get):
    base = name[: -len("/ours")]
    ours, theirs = median(name), median(base + "/opencv")
    print(f"{base:<48} {ms(ours)} {ms(theirs, 10)} {ratio(ours, theirs)}")

# --- Whole frames ---------------------------------------------------------------
# What the 3840 x 2160 frames aim at: ours / OpenCV by mode and radius, and
# ours / floor at radius 2.
peer_target = {("channel", "2"): 0.80, ("channel", "20"): 0.22,
               ("luminosity", "2"): 0.55, ("luminosity", "20"): 0.28}
frames = sorted((n for n in runs if n.startswith("Render/") and n.endswith("/ours")), key=order.get)
if frames:
    print()
    print(f"{'frame (host pixels in and out)':<40} {'ours ms':>9} {'OpenCV ms':>10} {'ours/OpenCV':>12}"
          f" {'floor ms':>9} {'ours/floor':>11} {'peak planes':>12} {'OpenCV off by':>14}")
for name in frames:
    _, depth, size, mode, radius, _ = name.split("/")
    base = name[: -len("/ours")]
    r = radius.split(":")[1]
    ours, theirs = median(name), median(base + "/opencv")
    floor = median(f"Floor/{depth}/{size}/{mode}")
    big = size == "3840x2160"
    aim_peer = f" (<={peer_target[(mode, r)]:.2f})" if big else ""
    aim_floor = " (<=1.10)" if big and r == "2" else ""
    planes = median(name, "peakPlanes")
    off = median(base + "/opencv", "difference")
    off = "-" if off is None else (f"{off:.1e}" if depth == "float" else f"{off:.0f} LSB")
    print(f"{base[len('Render/'):]:<40} {ms(ours)} {ms(theirs, 10)} {ratio(ours, theirs, 5) + aim_peer:>12}"
          f" {ms(floor)} {ratio(ours, floor, 5) + aim_floor:>11}"
          f" {'-' if planes is None else f'{planes:.0f}':>12} {off:>14}")

# --- Steps of one frame -------------------------------------------------------------
steps = sorted((n for n in runs if n.startswith("Steps/")), key=order.get)
for mode in ("channel", "luminosity"):
    columns = [n for n in steps if n.split("/")[3] == mode]
    if not columns:
        continue
    def step_keys(n):  # "NN <step>", in the render's order
        return sorted(k[1:] for k in runs[n][0] if k[:1] == "t" and k[1:3].isdigit())
    names = [k[3:] for k in step_keys(max(columns, key=lambda n: len(step_keys(n))))]
    heads = ["{} r{}".format(n.split("/")[1], n.split("/")[4].split(":")[1]) for n in columns]
    size = columns[0].split("/")[2]
    print()
    print(f"where the time of a {size} frame goes, {'per channel' if mode == 'channel' else 'on the luminance'}:"
          " ms per frame and the multiple of the floor (a plain streaming pass over the same bytes)")
    print(f"{'step':<26}" + "".join(f"{h:>14}" for h in heads))
    def cell(t, f):
        return f"{'-':>14}" if t is None else f"{t:8.2f} {ratio(t, f, 4)}x"
    sums = {n: [0.0, 0.0] for n in columns}
    for step in names:
        line = f"{step:<26}"
        for n in columns:
            key = next((k for k in step_keys(n) if k[3:] == step), None)
            t = median(n, "t" + key) if key else None
            f = median(n, "f" + key) if key else None
            if t is not None:
                sums[n][0] += t
                sums[n][1] += f
            line += cell(t, f)
        print(line)
    print(f"{'all steps':<26}" + "".join(cell(*sums[n]) for n in columns))
    renders = [median("Render/{}/{}/{}/{}/ours".format(*n.split("/")[1:5])) for n in columns]
    print(f"{'whole render':<26}" + "".join(f"{ms(r, 8)} {'':5}" for r in renders))
    print(f"{'render - steps':<26}" + "".join(
        f"{ms(r - sums[n][0] if r is not None else None, 8)} {'':5}" for n, r in zip(columns, renders)))
PY
