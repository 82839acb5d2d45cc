#!/usr/bin/python3
"""End-to-end benchmark: tessivo-render beside the same job in OpenCV.

    bench/run-e2e.sh [BUILD_DIR] [time|check|phases] [OPTIONS...]

BUILD_DIR (default build) holds bin/tessivo-render. OPTIONS (--radius,
--threshold, --intensity, --luminosity) go to both programs alike; without
them both run with the tool's defaults.

  time    (default) runs `tessivo-render IN OUT` and `opencv_render.py IN OUT`
          on the same input in turn, ours first, REPS times each after one
          untimed pair, and prints per input the median wall time of each
          whole process, the median of the pairwise ratios ours / OpenCV, the
          peak resident memory of each process (MiB) and the output sizes,
          with the targets beside them; then the peer's start-up alone
          (python3 loading cv2), which its figures include.
  check   shows that the two do the same job: renders the shipped sample and
          each input with both, with the given options or two sets of them,
          and reports the largest difference of the red, green and blue
          samples (in units of the last place for PNG, absolute and relative
          for OpenEXR); fails beyond 1 LSB at 8 bits, 2 at 16 bits (one step
          of the host's 0..32768 scale) or 1e-5 relative.
  phases  runs each program REPS times under strace, recording only opens,
          closes and renames, and splits each run at the file events:
          start (exec to opening the input), read (the input's first open to
          its last close: decoding), render (to the output's first open: the
          correction and the conversions around it), write (to the output's
          last close or the rename onto it: packing and encoding) and exit
          (freeing). strace slows start-up a little; the time mode gives the
          true totals.

Inputs: 3840 x 2160 RGB frames made once from samples/astronaut.png (scaled
up, cropped and given a fine grain, so that they compress like a photo
rather than like a smooth upscale) as an 8-bit PNG, a 16-bit PNG and a float
OpenEXR, written by OpenCV with its default settings and kept in
BUILD_DIR/e2e-inputs (made again when missing).

Environment: REPS (default 5) sets the repetitions; INPUTS (default
"png8 png16 exr") a subset of the inputs. The OpenCV peer runs on one thread;
the CPU time of each process (user + system) is shown beside its wall time
so that a program using more than one core shows.

Run it with Debian's /usr/bin/python3 (OpenCV 4.6 with OpenEXR support).
"""
import os

os.environ.setdefault("OPENCV_IO_ENABLE_OPENEXR", "1")  # read when cv2 loads

import re
import statistics
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join(HERE, "..", "samples", "astronaut.png")
PEER = os.path.join(HERE, "opencv_render.py")
PYTHON = "/usr/bin/python3"

WIDTH, HEIGHT = 3840, 2160
# key: (label, file name, ratio target, peak MiB target of ours)
INPUTS = {
    "png8": ("8-bit PNG", "astronaut-4k-8.png", 0.8, 600),
    "png16": ("16-bit PNG", "astronaut-4k-16.png", 0.8, 650),
    "exr": ("float OpenEXR", "astronaut-4k-float.exr", 0.5, 800),
}
# Option sets of the check when none are given: the defaults, and per-channel
# mode with a threshold that leaves some values alone, an odd tap count and
# the correction unmixed.
CHECK_OPTIONS = [[], ["--luminosity", "off", "--threshold", "0.3", "--radius", "7.5",
                      "--intensity", "100"]]


def make_inputs(directory):
    """The paths of the three inputs, made if any is missing."""
    paths = {key: os.path.join(directory, name) for key, (_, name, _, _) in INPUTS.items()}
    if all(os.path.exists(p) for p in paths.values()):
        return paths
    os.makedirs(directory, exist_ok=True)
    print(f"making the inputs in {directory}", file=sys.stderr)
    source = cv2.imread(SAMPLE, cv2.IMREAD_COLOR)
    if source is None:
        sys.exit(f"cannot read {SAMPLE}")
    # Scale to the frame's width and keep the middle rows: a square photo
    # cropped to 16:9.
    unit = cv2.resize(source.astype(np.float32) * np.float32(1.0 / 255.0), (WIDTH, WIDTH),
                      interpolation=cv2.INTER_CUBIC)
    top = (WIDTH - HEIGHT) // 2
    frame = np.ascontiguousarray(unit[top:top + HEIGHT])
    # A fine grain of about 1.5 levels of 255 (fixed seed: the same frame on
    # every machine), as a camera leaves it; the 16-bit and float frames keep
    # their low bits.
    frame += np.random.default_rng(1).normal(0.0, 1.5 / 255.0, frame.shape).astype(np.float32)
    np.clip(frame, 0.0, 1.0, out=frame)
    images = {
        "png8": np.rint(frame * 255.0).astype(np.uint8),
        "png16": np.rint(frame * 65535.0).astype(np.uint16),
        "exr": frame,
    }
    for key, path in paths.items():
        temp = path + ".part" + os.path.splitext(path)[1]
        if not cv2.imwrite(temp, images[key]):
            sys.exit(f"cannot write {temp}")
        os.replace(temp, path)
    return paths


def run(command):
    """Runs `command` to its end: (wall seconds, CPU seconds, peak RSS in MiB)."""
    with tempfile.TemporaryFile() as errors:
        start = time.perf_counter()
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=errors)
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        if process.returncode != 0:
            errors.seek(0)
            sys.exit(f"{' '.join(command)} failed ({process.returncode}):\n"
                     + errors.read().decode(errors="replace"))
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0


def commands(tool, options, source, ours_out, peer_out):
    return ([tool, *options, source, ours_out], [PYTHON, PEER, *options, source, peer_out])


def output_path(directory, key, who, source):
    return os.path.join(directory, f"{key}-{who}{os.path.splitext(source)[1]}")


def versus(value, target):
    """`value` set beside its target: 'v <= t' when met, 'v > t' when missed."""
    return f"{value} {'<=' if float(value) <= target else '>'} {target:g}"


def time_mode(tool, options, inputs, out_dir, reps):
    rows, cpu_rows = [], []
    for key, source in inputs.items():
        label, _, ratio_target, memory_target = INPUTS[key]
        ours_out, peer_out = (output_path(out_dir, key, who, source) for who in ("ours", "opencv"))
        ours_cmd, peer_cmd = commands(tool, options, source, ours_out, peer_out)
        run(ours_cmd)  # warms the page cache and the dynamic loader for both
        run(peer_cmd)
        ours, peer = [], []
        for _ in range(reps):
            ours.append(run(ours_cmd))
            peer.append(run(peer_cmd))

        def median(samples, field):
            return statistics.median(s[field] for s in samples)

        ratio = statistics.median(o[0] / p[0] for o, p in zip(ours, peer))
        rows.append([
            label,
            f"{median(ours, 0):.2f}", f"{median(peer, 0):.2f}",
            versus(f"{ratio:.2f}", ratio_target),
            versus(f"{max(o[2] for o in ours):.0f}", memory_target),
            f"{max(p[2] for p in peer):.0f}",
            f"{os.path.getsize(ours_out) / 1e6:.1f}", f"{os.path.getsize(peer_out) / 1e6:.1f}",
        ])
        cpu_rows.append([label, f"{median(ours, 1) / median(ours, 0):.2f}",
                         f"{median(peer, 1) / median(peer, 0):.2f}"])
    print(f"tessivo-render {' '.join(options) or '(defaults)'} vs opencv_render.py, "
          f"{WIDTH} x {HEIGHT}, median of {reps}")
    table(["input", "ours s", "OpenCV s", "ours/OpenCV vs target", "ours peak MiB vs target",
           "OpenCV peak MiB", "ours out MB", "OpenCV out MB"], rows)
    print()
    table(["input", "ours CPU/wall", "OpenCV CPU/wall"], cpu_rows)
    # What the peer's figures hold before it touches a pixel.
    start = [run([PYTHON, "-c", "import cv2, numpy"]) for _ in range(reps)]
    print(f"\nOpenCV's start-up alone (python3, import cv2): "
          f"{statistics.median(s[0] for s in start):.2f} s, {max(s[2] for s in start):.0f} MiB")


def table(header, rows, left=1):
    """Prints rows under a header; the first `left` columns flush left."""
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    for r in [header] + rows:
        print("  ".join(str(c).ljust(w) if i < left else str(c).rjust(w)
                        for i, (c, w) in enumerate(zip(r, widths))).rstrip())


def rgb(path):
    """The red, green and blue samples of a file (in OpenCV's B, G, R order)."""
    image = cv2.imread(path, cv2.IMREAD_UNCHANGED)
    if image is None:
        sys.exit(f"cannot read {path}")
    return image[:, :, :3] if image.ndim == 3 else cv2.cvtColor(image, cv2.COLOR_GRAY2BGR)


def check_mode(tool, options, inputs, out_dir):
    inputs = {"sample": os.path.abspath(SAMPLE), **inputs}
    option_sets = [options] if options else CHECK_OPTIONS
    rows, failed = [], False
    for opts in option_sets:
        for key, source in inputs.items():
            ours_out, peer_out = (output_path(out_dir, f"check-{key}", who, source)
                                  for who in ("ours", "opencv"))
            for command in commands(tool, opts, source, ours_out, peer_out):
                run(command)
            ours, peer = rgb(ours_out), rgb(peer_out)
            if ours.shape != peer.shape or ours.dtype != peer.dtype:
                sys.exit(f"{key}: ours is {ours.dtype} {ours.shape}, "
                         f"OpenCV's {peer.dtype} {peer.shape}")
            if ours.dtype == np.float32:
                diff = np.abs(ours.astype(np.float64) - peer)
                relative = diff / np.maximum(np.abs(peer.astype(np.float64)), 1e-3)
                worst = f"{diff.max():.2e} abs, {relative.max():.2e} rel"
                bad = relative.max() > 1e-5
            else:
                diff = np.abs(ours.astype(np.int64) - peer)
                worst = f"{diff.max()} LSB"
                # 16-bit files pass through the host's 0..32768: one step of
                # it is two of the file's.
                bad = diff.max() > (2 if ours.dtype == np.uint16 else 1)
            differ = f"{np.count_nonzero(diff) / diff.size:.2e}"
            rows.append([key, " ".join(opts) or "(defaults)", worst, differ,
                         "FAIL" if bad else "ok"])
            failed |= bad
    table(["input", "options", "largest difference", "share differing", ""], rows, left=2)
    return 1 if failed else 0


PREFIX = re.compile(r"^(\d+)\s+(\d+\.\d+)\s+(.*)$")
OPEN = re.compile(r'^open(?:at)?\((?:AT_FDCWD, )?"([^"]*)"')
RETURN = re.compile(r"= (-?\d+)")
CLOSE = re.compile(r"^close\((\d+)")
RENAME = re.compile(r'^rename(?:at2?)?\((?:AT_FDCWD, )?"[^"]*", (?:AT_FDCWD, )?"([^"]*)"')
PHASES = ["start", "read", "render", "write", "exit", "total"]


def phases_of(log, source, target):
    """Seconds of each phase of one traced run, from strace's log."""
    pending = {}  # pid -> (path, time) of an open not yet returned
    fds = {}      # fd -> path of the files that matter
    t = {}
    main_pid = None
    for line in open(log):
        m = PREFIX.match(line)
        if not m:
            continue
        pid, stamp, call = int(m.group(1)), float(m.group(2)), m.group(3)
        main_pid = main_pid or pid
        t.setdefault("exec", stamp)
        opened = OPEN.match(call)
        if opened and "<unfinished" in call:
            pending[pid] = (opened.group(1), stamp)
            continue
        if call.startswith("<... open") and pid in pending:
            path, stamp = pending.pop(pid)
            opened = True
        elif opened:
            path = opened.group(1)
        if opened:
            ret = RETURN.search(call)
            if ret and int(ret.group(1)) >= 0 and (path == source or path.startswith(target)):
                fds[int(ret.group(1))] = path
                t.setdefault("in_open" if path == source else "out_open", stamp)
            continue
        closed = CLOSE.match(call)
        if closed and int(closed.group(1)) in fds:
            path = fds.pop(int(closed.group(1)))
            t["in_close" if path == source else "out_end"] = stamp
            continue
        renamed = RENAME.match(call)
        if renamed and renamed.group(1) == target:
            t["out_end"] = max(t.get("out_end", 0.0), stamp)
        elif call.startswith("+++ exited") and pid == main_pid:
            t["exit"] = stamp
    marks = ["exec", "in_open", "in_close", "out_open", "out_end", "exit"]
    missing = [k for k in marks if k not in t]
    if missing:
        sys.exit(f"{log}: no {', '.join(missing)} event")
    spans = [t[b] - t[a] for a, b in zip(marks, marks[1:])]
    return spans + [t["exit"] - t["exec"]]


def phases_mode(tool, options, inputs, out_dir, reps):
    rows = []
    for key, source in inputs.items():
        label = INPUTS[key][0]
        ours_out, peer_out = (output_path(out_dir, key, who, source) for who in ("ours", "opencv"))
        ours_cmd, peer_cmd = commands(tool, options, source, ours_out, peer_out)
        results = {"ours": [], "OpenCV": []}
        for _ in range(reps):
            for who, command, target in (("ours", ours_cmd, ours_out),
                                         ("OpenCV", peer_cmd, peer_out)):
                log = os.path.join(out_dir, f"{key}-{who}.strace")
                run(["strace", "-f", "-q", "--seccomp-bpf", "-ttt", "-s", "4096", "-o", log,
                     "-e", "trace=execve,open,openat,close,rename,renameat,renameat2", *command])
                results[who].append(phases_of(log, source, target))
        for who, runs in results.items():
            rows.append([label if who == "ours" else "", who] +
                        [f"{statistics.median(r[i] for r in runs):.2f}"
                         for i in range(len(PHASES))])
    print(f"seconds per phase under strace, median of {reps}; "
          f"options: {' '.join(options) or '(defaults)'}")
    table(["input", "program"] + PHASES, rows, left=2)


def main(argv):
    sys.stdout.reconfigure(line_buffering=True)  # tables before a later failure's message
    modes = ("time", "check", "phases")
    build = os.path.join(HERE, "..", "build")
    if argv and argv[0] not in modes and not argv[0].startswith("-"):
        build = argv.pop(0)
    build = os.path.abspath(build)
    mode = argv.pop(0) if argv and argv[0] in modes else "time"
    options = argv
    tool = os.path.join(build, "bin", "tessivo-render")
    if not os.access(tool, os.X_OK):
        sys.exit(f"missing {tool}: build it first (cmake --build {build})")
    reps = int(os.environ.get("REPS", "5"))
    wanted = os.environ.get("INPUTS", " ".join(INPUTS)).replace(",", " ").split()
    unknown = [k for k in wanted if k not in INPUTS]
    if unknown or reps < 1:
        sys.exit(f"INPUTS takes {', '.join(INPUTS)}; REPS at least 1")
    paths = make_inputs(os.path.join(build, "e2e-inputs"))
    inputs = {k: paths[k] for k in INPUTS if k in wanted}
    out_dir = os.path.join(build, "e2e-out")
    os.makedirs(out_dir, exist_ok=True)
    if mode == "check":
        return check_mode(tool, options, inputs, out_dir)
    if mode == "phases":
        phases_mode(tool, options, inputs, out_dir, reps)
    else:
        time_mode(tool, options, inputs, out_dir, reps)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
