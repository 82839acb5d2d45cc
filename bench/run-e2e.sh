#!/usr/bin/env bash
# End-to-end benchmark of tessivo-render against the same job written with
# OpenCV (bench/opencv_render.py), whole process against whole process, file
# to file, on 3840 x 2160 frames: an 8-bit PNG, a 16-bit PNG and a float
# OpenEXR, made once in BUILD_DIR/e2e-inputs from the sample photo.
#
#   bench/run-e2e.sh [BUILD_DIR] [time|check|phases] [OPTIONS...]
#
# time (the default) prints median wall times, the ratio ours / OpenCV, the
# peak memory of each process and the output sizes, beside the targets;
# check shows that both compute the same result; phases splits each run into
# read, render and write under strace. OPTIONS (--radius, --threshold,
# --intensity, --luminosity) are given to both programs. REPS (default 5)
# sets the repetitions, INPUTS (default "png8 png16 exr") the inputs.
# bench/e2e.py says more. Needs Debian's python3-opencv (/usr/bin/python3).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
exec /usr/bin/python3 "$here/e2e.py" "$@"
