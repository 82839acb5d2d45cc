#!/usr/bin/python3
"""Makes samples/before-after.png: the sample photo beside its render with
--radius 5 (the README's first command), each scaled to 256 x 256.

    scripts/before-after.py [BUILD_DIR]    (default: build)

Needs OpenCV for Python (scripts/setup-debian bench installs it).
"""
import os
import subprocess
import sys
import tempfile

import cv2

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "build")
sample = os.path.join(root, "samples", "astronaut.png")
with tempfile.TemporaryDirectory() as work:
    rendered = os.path.join(work, "rendered.png")
    subprocess.run([os.path.join(build, "bin", "tessivo-render"), "--radius", "5", sample,
                    rendered], check=True)
    halves = [cv2.resize(cv2.imread(path), (256, 256), interpolation=cv2.INTER_AREA)
              for path in (sample, rendered)]
cv2.imwrite(os.path.join(root, "samples", "before-after.png"), cv2.hconcat(halves),
            [cv2.IMWRITE_PNG_COMPRESSION, 9])
