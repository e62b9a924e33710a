"""Planes a few rows high (or columns wide) at every level count, through
every htj2k decode function: lossless at full resolution, and at every
reduced resolution the LL band of the forward 5/3 computed here (T.800
F.4.8.2, columns then rows), clipped to the component's range. Such planes
keep one row through the coarser levels, a layout the streamed decodes of
both datapaths must get right."""

from __future__ import annotations

import numpy as np
import pytest

import varnel
from peers import container_codestreams
from test_reduced import siz_depth
from varnel import _codecs

# dtype, low, high: the whole range, and 32-bit data just deep enough for the
# wavelet's growth to take the 64-bit datapath.
KINDS = [
    ("uint32", 0, 2**32 - 1),
    ("int32", -(2**31), 2**31 - 1),
    ("uint32", 0, 2**28),
    ("int32", -(2**27), 2**27),
    ("uint16", 0, 2**16 - 1),
    ("int16", -(2**15), 2**15 - 1),
]
SHAPES = sorted({s for h in range(1, 5) for w in (1, 2, 3, 4, 7, 8, 63, 64, 65, 4096)
                 for s in ((h, w), (w, h))} | {(5, 300), (17, 129)})


def forward_53(x: np.ndarray, axis: int) -> np.ndarray:
    """One level of the reversible 5/3 along `axis`: low-pass, then high-pass."""
    x = np.moveaxis(x, axis, 0)
    n = x.shape[0]
    if n < 2:
        return np.moveaxis(x, 0, axis)
    even, odd = x[0::2], x[1::2]
    right = np.concatenate([even[1:], even[-1:]])[: len(odd)]
    d = odd - ((even[: len(odd)] + right) >> 1)
    dl = np.concatenate([d[:1], d])[: len(even)]
    dr = np.concatenate([d, d[-1:]])[: len(even)]
    return np.moveaxis(np.concatenate([even + ((dl + dr + 2) >> 2), d]), 0, axis)


def reduced_reference(plane: np.ndarray, reduce: int, depth: int, signed: bool) -> np.ndarray:
    band = plane.astype(np.int64)
    for _ in range(reduce):
        band = forward_53(forward_53(band, 0), 1)
        band = band[: -(-band.shape[0] // 2), : -(-band.shape[1] // 2)]
    lo = -(1 << (depth - 1)) if signed else 0
    return np.clip(band, lo, lo + (1 << depth) - 1)


@pytest.mark.parametrize("dtype, lo, hi", KINDS, ids=[f"{k[0]}-{k[2]}" for k in KINDS])
def test_thin_planes_decode_exactly_everywhere(dtype, lo, hi):
    rng = np.random.default_rng(hi % 1000)
    for shape in SHAPES:
        a = rng.integers(lo, hi, size=shape, endpoint=True, dtype=np.int64)
        a.flat[0], a.flat[-1] = hi, lo
        a = a.astype(dtype)
        for levels in range(7):
            where = f"{dtype} {shape} L{levels}"
            chunk = varnel.htj2k_encode(a.tobytes(), shape, dtype, xy_levels=levels)
            assert varnel.htj2k_decode(chunk, shape, dtype) == a.tobytes(), where
            out = np.zeros_like(a)
            _codecs.htj2k_decode_into(chunk, shape, dtype, out)
            np.testing.assert_array_equal(out, a, err_msg=where)
            depth, signed = siz_depth(container_codestreams(chunk)[0])
            for reduce in range(levels + 1):
                expected = reduced_reference(a, reduce, depth, signed).astype(dtype).tobytes()
                assert varnel.htj2k_decode_reduced(chunk, shape, dtype, reduce) == expected, \
                    f"{where} reduce {reduce}"
                assert _codecs.htj2k_decode_reduced(chunk, shape, dtype, reduce) == expected
