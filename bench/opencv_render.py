#!/usr/bin/python3
"""The local colour correction of tessivo-render, written with OpenCV.

    opencv_render.py [--radius R] [--threshold T] [--intensity L]
                     [--luminosity on|off] INPUT OUTPUT

The end-to-end benchmark's peer: it takes the tool's options and defaults
and does the same job from file to file on one thread. Each value X in the
unit range (red, green and blue, or the luminance of the tool's YUV matrices)
becomes M * X^G + (1 - M) * X with N = 1 - X, M the threshold mask of N,
B the Gaussian blur of N (sigma R, 2 * trunc(3R) + 1 taps, edges repeated)
and G = exp(2 ln 2 * (0.5 - B)); the result is scaled back, clamped (NaN to
0) and mixed with the input by L / 100. 8-bit and 16-bit files give the same
depth back, computed on the tool's host scales (0..255, 0..32768) and
truncated there as the tool's host pixels are; float OpenEXR gives float. An
alpha channel passes through. The output is written with
cv2.imwrite's default settings. Run it with Debian's /usr/bin/python3, whose
OpenCV reads and writes OpenEXR.
"""
import os

os.environ.setdefault("OPENCV_IO_ENABLE_OPENEXR", "1")  # read when cv2 loads

import argparse
import math
import sys

import cv2
import numpy as np

# Rows give the output channel, columns the input in R, G, B (Y, U, V) order.
RGB_TO_YUV = np.array([[0.299, 0.587, 0.114],
                       [-0.169, -0.331, 0.5],
                       [0.5, -0.419, -0.081]], np.float32)
YUV_TO_RGB = np.array([[1.0, -0.0009, 1.4017],
                       [1.0, -0.3437, -0.7142],
                       [1.0, 1.7722, 0.001]], np.float32)
# OpenCV holds pixels as B, G, R: reorder the RGB columns and rows.
BGR_TO_YUV = np.ascontiguousarray(RGB_TO_YUV[:, ::-1])
YUV_TO_BGR = np.ascontiguousarray(YUV_TO_RGB[::-1, :])
C2 = float(np.float32(2.0 * math.log(2.0)))


def flat(image):
    """A one-channel view of a contiguous image, so that a scalar operand
    reaches every channel (OpenCV applies a lone number to channel 0 only)."""
    return image.reshape(image.shape[0], -1)


def correct(x, radius, threshold):
    """M * X^G + (1 - M) * X for x (one or three channels, unit range); x
    itself is left unchanged."""
    xf = flat(x)
    n = cv2.subtract(1.0, xf)
    # Mask: 0 below the threshold, 1 above it, N itself where equal.
    m = cv2.threshold(n, threshold, 1.0, cv2.THRESH_BINARY)[1]
    cv2.add(m, threshold, dst=m, mask=cv2.compare(n, threshold, cv2.CMP_EQ))
    taps = 2 * int(3.0 * radius) + 1
    g = cv2.GaussianBlur(n.reshape(x.shape), (taps, taps), radius, sigmaY=radius,
                         borderType=cv2.BORDER_REPLICATE)
    gf = flat(g)
    cv2.multiply(gf, -C2, dst=gf)
    cv2.add(gf, 0.5 * C2, dst=gf)
    cv2.exp(gf, dst=gf)
    p = cv2.log(xf, dst=n)  # N is no longer needed
    cv2.multiply(p, gf, dst=p)
    cv2.exp(p, dst=p)       # X^G
    cv2.subtract(p, xf, dst=p)
    cv2.multiply(p, m, dst=p)
    cv2.add(p, xf, dst=p)   # X + M * (X^G - X)
    return p.reshape(x.shape)


# The tool hands a 16-bit file to the effect as 0..32768, round(v * 32768 /
# 65535), and writes its 0..32768 result back as round(h * 65535 / 32768).
# The result is steep in the dark (X^G with G < 1), where one step of the
# input moves the output by many, so the peer takes the same steps.
TO_HOST16 = ((np.arange(65536, dtype=np.uint64) * 32768 + 32767) // 65535).astype(np.uint16)
FROM_HOST16 = ((np.arange(32769, dtype=np.uint64) * 65535 + 16384) // 32768).astype(np.uint16)


def render(image, radius, threshold, intensity, luminosity):
    """The mixed result of three-channel `image` (8-bit, 16-bit on the
    0..32768 scale, or float), as float32 in the same range."""
    white = {np.dtype(np.uint8): 255.0, np.dtype(np.uint16): 32768.0}.get(image.dtype, 1.0)
    if white != 1.0:
        x = cv2.multiply(flat(image), 1.0 / white, dtype=cv2.CV_32F).reshape(image.shape)
    else:
        x = image
    if luminosity:
        yuv = cv2.transform(x, BGR_TO_YUV)
        cv2.insertChannel(correct(cv2.extractChannel(yuv, 0), radius, threshold), yuv, 0)
        out = cv2.transform(yuv, YUV_TO_BGR)
    else:
        out = correct(x, radius, threshold)
    of = flat(out)
    if white != 1.0:
        cv2.multiply(of, white, dst=of)
    cv2.threshold(of, 0.0, 0.0, cv2.THRESH_TOZERO, dst=of)  # NaN and below 0 to 0
    cv2.threshold(of, white, 0.0, cv2.THRESH_TRUNC, dst=of)
    return cv2.addWeighted(of, intensity, flat(image), 1.0 - intensity, 0.0,
                           dtype=cv2.CV_32F).reshape(image.shape)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--radius", type=float, default=2.0)
    parser.add_argument("--threshold", type=float, default=0.0)
    parser.add_argument("--intensity", type=float, default=50.0)
    parser.add_argument("--luminosity", choices=("on", "off"), default="on")
    parser.add_argument("input")
    parser.add_argument("output")
    args = parser.parse_args(argv)
    if not (1.0 <= args.radius <= 20.0 and 0.0 <= args.threshold <= 1.0
            and 0.0 <= args.intensity <= 100.0):
        parser.error("--radius 1 to 20, --threshold 0 to 1, --intensity 0 to 100")

    cv2.setNumThreads(1)
    image = cv2.imread(args.input, cv2.IMREAD_UNCHANGED)
    if image is None:
        sys.exit(f"opencv_render.py: {args.input}: cannot read")
    if image.dtype not in (np.uint8, np.uint16, np.float32):
        sys.exit(f"opencv_render.py: {args.input}: unsupported sample type {image.dtype}")
    alpha = None
    if image.ndim == 2:
        image = cv2.cvtColor(image, cv2.COLOR_GRAY2BGR)
    elif image.shape[2] == 4:
        alpha = cv2.extractChannel(image, 3)
        image = cv2.cvtColor(image, cv2.COLOR_BGRA2BGR)
    if image.dtype == np.uint16:
        image = TO_HOST16[image]
    # The tool's parameters are single-precision floats.
    out = render(image, float(np.float32(args.radius)), float(np.float32(args.threshold)),
                 float(np.float32(args.intensity / 100.0)), args.luminosity == "on")
    if image.dtype == np.uint16:
        out = FROM_HOST16[out.astype(np.uint16)]  # truncated, as the tool's host pixels are
    elif image.dtype == np.uint8:
        out = out.astype(np.uint8)
    if alpha is not None:
        out = cv2.merge(list(cv2.split(out)) + [alpha])
    if not cv2.imwrite(args.output, out):
        sys.exit(f"opencv_render.py: {args.output}: cannot write")


if __name__ == "__main__":
    main(sys.argv[1:])
