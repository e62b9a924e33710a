"""What `levels(a, smooth=True)` costs and what it gives, level by level.

Two uint16 images, stored with varnel.zarr.Htj2k (chunks 1024 x 1024,
xy_levels 5) on local disk:
- "microscopy": frames of bench_levels.py's stack (bench/synthetic.py:
  cells as Gaussian blobs on a smooth background, Poisson noise, 12-bit);
- "labels": a label-like image with sharp edges: filled discs and rectangles
  of constant values 1 ... 4000 on a 0 background (a segmentation, a mask,
  a rendered overlay).

For each level k = 1 ... 5 it reads the whole image through
`varnel.zarr.levels` twice: the reduced decode (the default: the 5/3
low-pass at k) and the smooth level (2 x 2 means of the reduced decode at
k - 1), and compares each with the block means of level 0 over 2**k x 2**k
blocks (what a stored mean pyramid holds): Pearson correlation, RMS
difference, and zeros introduced (samples 0 where the block mean is not).
Bytes are counted where the store is read (`MultiscaleStore.stats`).

    python bench/bench_smooth.py [--planes 2] [--size 2048]
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import zarr

import varnel.zarr

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
from synthetic import microscopy_stack  # noqa: E402


def label_image(planes: int, size: int, seed: int = 5) -> np.ndarray:
    """Discs and rectangles of constant values on 0: edges a sample wide."""
    rng = np.random.default_rng(seed)
    out = np.zeros((planes, size, size), np.uint16)
    y, x = np.ogrid[0:size, 0:size]
    for t in range(planes):
        for _ in range(size * size // 6000):
            value = int(rng.integers(1, 4001))
            cy, cx = rng.uniform(0, size, 2)
            r = rng.uniform(2, 40)
            if rng.random() < 0.6:
                out[t][(y - cy) ** 2 + (x - cx) ** 2 <= r * r] = value
            else:
                h, w = rng.uniform(2, 60, 2)
                out[t, int(cy):int(cy + h), int(cx):int(cx + w)] = value
    return out


def block_means(a: np.ndarray, k: int) -> np.ndarray:
    """Means of 2**k x 2**k blocks of the trailing axes (edges: the samples there are)."""
    f = 1 << k
    ny, nx = -(-a.shape[-2] // f), -(-a.shape[-1] // f)
    pad = [(0, 0)] * (a.ndim - 2) + [(0, ny * f - a.shape[-2]), (0, nx * f - a.shape[-1])]
    s = np.pad(a.astype(np.float64), pad).reshape(a.shape[:-2] + (ny, f, nx, f)).sum(axis=(-3, -1))
    n = np.pad(np.ones(a.shape[-2:]), pad[-2:]).reshape(ny, f, nx, f).sum(axis=(1, 3))
    return s / n


def fidelity(level: np.ndarray, ref: np.ndarray) -> tuple[float, float, float]:
    """Correlation and RMS difference against `ref`, and the share of
    samples that are 0 where `ref` is not (in %)."""
    a, b = level.astype(np.float64).ravel(), ref.ravel()
    corr = float(np.corrcoef(a, b)[0, 1])
    rms = float(np.sqrt(np.mean((a - b) ** 2)))
    zeros = float(100 * np.mean((a == 0) & (b > 0)))
    return corr, rms, zeros


def measure(name: str, data: np.ndarray, work: Path, xy_levels: int) -> list[dict]:
    path = work / f"{name}.zarr"
    a = zarr.create_array(str(path), shape=data.shape, chunks=(1, 1024, 1024), dtype=data.dtype,
                          serializer=varnel.zarr.Htj2k(xy_levels=xy_levels), compressors=None,
                          dimension_names=("t", "y", "x"))
    a[...] = data
    stored = sum(f.stat().st_size for f in path.rglob("c/**/*") if f.is_file())
    rows = []
    for smooth in (False, True):
        for k in range(1, xy_levels + 1):
            array = zarr.open_array(str(path), mode="r")
            level = varnel.zarr.levels(array, smooth=smooth)[k]
            t0 = time.perf_counter()
            got = level[...]
            dt = time.perf_counter() - t0
            stats = level.store.stats
            corr, rms, zeros = fidelity(got, block_means(data, k))
            rows.append(dict(image=name, k=k, smooth=smooth, bytes=stats.bytes_fetched, stored=stored,
                             seconds=dt, corr=corr, rms=rms, zeros=zeros))
    return rows


def report(rows: list[dict]) -> None:
    print("| image | level | read | bytes fetched (% of stored) | time | correlation | RMS | zeros introduced |")
    print("|---|---|---|---|---|---|---|---|")
    for r in sorted(rows, key=lambda r: (r["image"] != "microscopy", r["k"], r["smooth"])):
        kind = "smooth (2 x 2 means of k - 1)" if r["smooth"] else "reduced (default)"
        print(f"| {r['image']} | {r['k']} | {kind} | {r['bytes'] / 2**20:.2f} MiB "
              f"({100 * r['bytes'] / r['stored']:.1f} %) | {r['seconds']:.3f} s | {r['corr']:.4f} | "
              f"{r['rms']:.1f} | {r['zeros']:.3f} % |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--planes", type=int, default=2)
    parser.add_argument("--size", type=int, default=2048)
    parser.add_argument("--xy-levels", type=int, default=5)
    args = parser.parse_args()
    images = {"microscopy": microscopy_stack(args.planes, args.size),
              "labels": label_image(args.planes, args.size)}
    print(f"{args.planes} x {args.size} x {args.size} uint16, chunks 1 x 1024 x 1024, "
          f"xy_levels {args.xy_levels}, local disk")
    with tempfile.TemporaryDirectory(prefix="varnel-smooth-") as work:
        rows = []
        for name, data in images.items():
            rows += measure(name, data, Path(work), args.xy_levels)
    report(rows)


if __name__ == "__main__":
    main()
