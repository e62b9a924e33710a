"""varnel's htj2k codec against imagecodecs' (OpenJPH inside), single thread.

Three deterministic synthetic images, each coded losslessly by both sides
with the same settings (reversible 5/3, 5 decomposition levels, 64x64
code-blocks, RPCL); each side decodes its own stream:

  a) 2048x2048 uint16, 12-bit microscopy-like: background with a slow
     gradient, cells with brighter rims and nuclei, small bright spots,
     Poisson shot noise and read noise;
  b) 2048x2048 uint8 natural-photograph-like mosaic: patches of smooth
     gradients, oriented stripes, smoothed noise textures and checkers,
     with hard edges between patches and mild sensor noise;
  c) 16x512x512 uint16 stack of microscopy-like planes. varnel codes the
     stack as one 3-D chunk (one codestream per plane in its container);
     imagecodecs codes and decodes each plane's own codestream, and its time
     is the sum over the 16 planes.

Time is the calling thread's CPU time (time.thread_time: both codecs run on
the calling thread). The two codecs alternate call by call; each round
measures every operation once per side, and the ratio printed is the median
over rounds of imagecodecs time / varnel time (> 1: varnel is faster).

    python bench/bench_htj2k_imagecodecs.py [--rounds N] [--only a,b,c]

Needs Python >= 3.12 with numpy and imagecodecs installed.
"""

from __future__ import annotations

import argparse
import os
import statistics
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import imagecodecs  # noqa: E402
import numpy as np  # noqa: E402

import varnel  # noqa: E402

LEVELS = 5


def _blob(img: np.ndarray, cy: float, cx: float, r: float, amp: float) -> None:
    """Adds a Gaussian blob of radius r, evaluated only on its own window."""
    h, w = img.shape
    k = int(3 * r) + 1
    y0, y1 = max(int(cy) - k, 0), min(int(cy) + k + 1, h)
    x0, x1 = max(int(cx) - k, 0), min(int(cx) + k + 1, w)
    if y0 >= y1 or x0 >= x1:
        return
    y = np.arange(y0, y1)[:, None] - cy
    x = np.arange(x0, x1)[None, :] - cx
    img[y0:y1, x0:x1] += amp * np.exp(-(y * y + x * x) / (2 * r * r))


def microscopy(seed: int, h: int, w: int, ncells: int) -> np.ndarray:
    """12-bit fluorescence-like plane in uint16."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    img = 110.0 + 40.0 * (x / w) + 25.0 * np.sin(y / 211.0 + seed) * np.cos(x / 173.0)
    for _ in range(ncells):
        cy, cx = rng.uniform(0, h), rng.uniform(0, w)
        r = rng.uniform(6.0, 22.0)
        amp = rng.uniform(200, 1500)
        _blob(img, cy, cx, r, amp)  # cytoplasm
        _blob(img, cy, cx, r * 0.8, -0.4 * amp)  # darker inside: a rim
        _blob(img, cy + rng.normal(0, 2), cx + rng.normal(0, 2), r * 0.35, 1.2 * amp)  # nucleus
    for _ in range(ncells * 2):  # small bright spots
        _blob(img, rng.uniform(0, h), rng.uniform(0, w), rng.uniform(0.8, 2.0),
              rng.uniform(300, 1800))
    img = rng.poisson(np.clip(img, 0, 4000)) + rng.normal(0, 3.0, img.shape)
    return np.clip(np.rint(img), 0, 4095).astype(np.uint16)


def photo_mosaic(seed: int, h: int, w: int) -> np.ndarray:
    """8-bit natural-photograph-like mosaic of textured patches."""
    rng = np.random.default_rng(seed)
    img = np.empty((h, w), np.float64)
    ys = np.concatenate(([0], np.sort(rng.choice(np.arange(64, h - 64), 14, replace=False)), [h]))
    for y0, y1 in zip(ys[:-1], ys[1:]):
        xs = np.concatenate(([0], np.sort(rng.choice(np.arange(64, w - 64), 13, replace=False)), [w]))
        for x0, x1 in zip(xs[:-1], xs[1:]):
            ph, pw = y1 - y0, x1 - x0
            yy, xx = np.mgrid[0:ph, 0:pw].astype(np.float64)
            base = rng.uniform(30, 220)
            kind = rng.integers(0, 4)
            if kind == 0:  # smooth gradient (sky, walls)
                p = base + rng.uniform(-0.3, 0.3) * yy + rng.uniform(-0.3, 0.3) * xx
            elif kind == 1:  # oriented stripes (fabric, fences)
                a = rng.uniform(0, np.pi)
                f = rng.uniform(0.05, 0.6)
                p = base + rng.uniform(10, 60) * np.sin(f * (np.cos(a) * xx + np.sin(a) * yy))
            elif kind == 2:  # smoothed noise (foliage, gravel)
                n = rng.normal(0, 1, (ph // 4 + 2, pw // 4 + 2))
                n = np.kron(n, np.ones((4, 4)))[:ph, :pw]
                n = (n + np.roll(n, 1, 0) + np.roll(n, 1, 1) + np.roll(n, 2, 0)) / 4
                p = base + rng.uniform(10, 40) * n
            else:  # checkers with shading (tiles, windows)
                s = int(rng.integers(6, 24))
                c = ((yy // s + xx // s) % 2) * rng.uniform(20, 80)
                p = base - 40 + c + 0.1 * yy
            img[y0:y1, x0:x1] = p
    img += rng.normal(0, 2.0, img.shape)
    return np.clip(np.rint(img), 0, 255).astype(np.uint8)


def stack(seed: int, n: int, size: int) -> np.ndarray:
    return np.stack([microscopy(seed + z, size, size, 60) for z in range(n)])


class Side:
    """One codec's encode and decode of an image (2-D, or a stack of planes)."""

    def __init__(self, name, encode, decode):
        self.name, self.encode, self.decode = name, encode, decode


def varnel_side(img: np.ndarray) -> Side:
    raw, shape, dtype = img.tobytes(), img.shape, img.dtype.name

    def enc():
        return varnel.htj2k_encode(raw, shape, dtype, xy_levels=LEVELS, reversible=True,
                                   progression="RPCL")

    blob = enc()

    def dec():
        return varnel.htj2k_decode(blob, shape, dtype)

    out = np.frombuffer(dec(), dtype=img.dtype).reshape(shape)
    assert np.array_equal(out, img), "varnel round trip differs"
    s = Side("varnel", enc, dec)
    s.size = len(blob)
    return s


def imagecodecs_side(img: np.ndarray) -> Side:
    planes = [img] if img.ndim == 2 else list(img)
    bits = 12 if img.dtype == np.uint16 else 8

    def enc_plane(p):
        return imagecodecs.htj2k_encode(p, level=0, reversible=True, resolutions=LEVELS + 1,
                                        block_size=(64, 64), prog_order="RPCL",
                                        bitspersample=bits if img.dtype == np.uint16 else None)

    def enc():
        return [enc_plane(p) for p in planes]

    blobs = enc()

    def dec():
        return [imagecodecs.htj2k_decode(b) for b in blobs]

    for p, o in zip(planes, dec()):
        assert np.array_equal(np.asarray(o, dtype=img.dtype), p), "imagecodecs round trip differs"
    s = Side("imagecodecs", enc, dec)
    s.size = sum(len(b) for b in blobs)
    return s


def timed(fn) -> float:
    t0 = time.thread_time()
    fn()
    return time.thread_time() - t0


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--rounds", type=int, default=9)
    ap.add_argument("--only", default="a,b,c")
    args = ap.parse_args()
    images = {
        "a": ("2048x2048 uint16 12-bit microscopy", lambda: microscopy(1, 2048, 2048, 900)),
        "b": ("2048x2048 uint8 photo mosaic", lambda: photo_mosaic(2, 2048, 2048)),
        "c": ("16x512x512 uint16 stack", lambda: stack(3, 16, 512)),
    }
    print(f"varnel {varnel.__version__}, imagecodecs {imagecodecs.__version__} "
          f"({imagecodecs.htj2k_version()}), {args.rounds} rounds, thread CPU time, "
          f"ratio = imagecodecs time / varnel time (> 1: varnel faster)")
    for key in args.only.split(","):
        title, make = images[key]
        img = make()
        v, ic = varnel_side(img), imagecodecs_side(img)
        mb = img.nbytes / 1e6
        diff = 100.0 * (v.size - ic.size) / ic.size
        print(f"({key}) {title}: varnel {v.size} B, imagecodecs {ic.size} B ({diff:+.3f} %)")
        for op in ("decode", "encode"):
            tv, ti, ratio = [], [], []
            for r in range(args.rounds):
                # Alternate which side goes first.
                if r % 2 == 0:
                    a, b = timed(getattr(v, op)), timed(getattr(ic, op))
                else:
                    b, a = timed(getattr(ic, op)), timed(getattr(v, op))
                tv.append(a)
                ti.append(b)
                ratio.append(b / a)
            print(f"    {op}: varnel {mb / statistics.median(tv):7.1f} MB/s  imagecodecs "
                  f"{mb / statistics.median(ti):7.1f} MB/s  ratio {statistics.median(ratio):.3f} "
                  f"(rounds {min(ratio):.3f}..{max(ratio):.3f})")


if __name__ == "__main__":
    main()
