"""Deterministic, realistic-looking test arrays for the benchmarks and the demo.

`microscopy_stack(planes, size)`: 12-bit fluorescence time-lapse frames in a
uint16 array: a smooth, uneven illumination background, a few hundred cells
(Gaussian blobs of varied size and brightness, some elongated) that drift and
blink from frame to frame, and Poisson shot noise. Cells are drawn in local
windows, so a 64 x 2048 x 2048 stack takes seconds, not minutes.
"""

from __future__ import annotations

import numpy as np


def _cells(size: int, count: int, rng: np.random.Generator) -> list[tuple]:
    cells = []
    for _ in range(count):
        cells.append((rng.uniform(0, size), rng.uniform(0, size),      # centre y, x
                      rng.uniform(3.0, 16.0), rng.uniform(0.6, 1.6),   # radius, elongation
                      rng.uniform(0, np.pi), rng.uniform(300, 2600),   # angle, brightness
                      rng.normal(0, 0.6, 2)))                          # drift per frame
    return cells


def _draw(img: np.ndarray, cell: tuple, t: int, rng: np.random.Generator) -> None:
    size = img.shape[0]
    cy, cx, r, e, a, b, (dy, dx) = cell
    cy, cx = (cy + t * dy) % size, (cx + t * dx) % size
    b = b * (0.75 + 0.25 * np.sin(0.3 * t + cx))      # blinking
    half = int(4 * r * max(e, 1.0)) + 1
    y0, y1 = max(int(cy) - half, 0), min(int(cy) + half, size)
    x0, x1 = max(int(cx) - half, 0), min(int(cx) + half, size)
    if y0 >= y1 or x0 >= x1:
        return
    y, x = np.mgrid[y0:y1, x0:x1].astype(np.float32)
    u = (x - cx) * np.cos(a) + (y - cy) * np.sin(a)
    v = -(x - cx) * np.sin(a) + (y - cy) * np.cos(a)
    img[y0:y1, x0:x1] += b * np.exp(-(u * u / e + v * v * e) / (2 * r * r))


def microscopy_stack(planes: int = 16, size: int = 512, seed: int = 2) -> np.ndarray:
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:size, 0:size].astype(np.float32)
    background = 160.0 + 70.0 * np.sin(x / (size / 7.0)) * np.cos(y / (size / 5.0)) + 0.02 * x
    cells = _cells(size, max(8, size * size // 16000), rng)
    stack = np.empty((planes, size, size), dtype=np.uint16)
    for t in range(planes):
        img = background.copy()
        for cell in cells:
            _draw(img, cell, t, rng)
        np.clip(img, 0, 4095, out=img)
        stack[t] = np.minimum(rng.poisson(img), 4095)
    return stack
