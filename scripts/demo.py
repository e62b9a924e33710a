"""varnel demonstration: compresses realistic chunks with both codecs.

Builds a smooth-plus-noise float32 3-D field (a simulation snapshot) and a
16-bit microscopy-like image stack, codes them with every zfp mode and with
lossless htj2k, decodes them again, and prints sizes, ratios, throughput and
the largest error of each run. Then, with zarr installed, the zarr part
(scripts/demo_zarr.py): varnel's codecs in zarr v3 arrays against the peers,
reduced-resolution reads, and a plot.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

import varnel

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
from synthetic import microscopy_stack  # noqa: E402


def float_field(n: int = 128, seed: int = 1) -> np.ndarray:
    rng = np.random.default_rng(seed)
    z, y, x = np.meshgrid(*(np.linspace(0.0, 1.0, n, dtype=np.float32),) * 3, indexing="ij")
    field = (np.sin(6.0 * x) * np.cos(4.0 * y) * np.exp(-z) + 0.3 * np.sin(17.0 * (x + y + z)))
    field += rng.normal(0.0, 1e-3, field.shape)
    return (280.0 + 15.0 * field).astype(np.float32)


def timed(fn, *args, repeat: int = 3, **kwargs):
    best = float("inf")
    out = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        out = fn(*args, **kwargs)
        best = min(best, time.perf_counter() - t0)
    return out, best


def report(label: str, array: np.ndarray, encoded: bytes, t_enc: float, t_dec: float, err: float):
    mb = array.nbytes / 1e6
    print(f"  {label:<34} {len(encoded):>10,d} B  ratio {array.nbytes / len(encoded):6.2f}  "
          f"enc {mb / t_enc:7.1f} MB/s  dec {mb / t_dec:7.1f} MB/s  max err {err:.3g}")


def zfp_runs(name: str, array: np.ndarray, modes) -> None:
    print(f"zfp, {name}: shape {array.shape}, {array.dtype}, {array.nbytes:,d} B")
    for label, kwargs in modes:
        args = (array.tobytes(), array.shape, array.dtype.name)
        encoded, t_enc = timed(varnel.varnel_zfp_encode, *args, **kwargs)
        decoded, t_dec = timed(varnel.varnel_zfp_decode, encoded, array.shape, array.dtype.name,
                               **kwargs)
        back = np.frombuffer(decoded, dtype=array.dtype).reshape(array.shape)
        err = float(np.max(np.abs(back.astype(np.float64) - array.astype(np.float64))))
        report(label, array, encoded, t_enc, t_dec, err)


def main() -> None:
    ap = argparse.ArgumentParser(description="varnel demonstration")
    ap.add_argument("--out", type=Path, default=None, help="where the plot is written")
    opts = ap.parse_args()
    print(f"varnel {varnel.__version__}, Python {sys.version.split()[0]}\n")
    field = float_field()
    zfp_runs("float32 field", field, [
        ("reversible", dict(mode="reversible")),
        ("fixed_rate, 8 bits/value", dict(mode="fixed_rate", rate=8.0)),
        ("fixed_accuracy, tolerance 1e-3", dict(mode="fixed_accuracy", tolerance=1e-3)),
        ("fixed_precision, 16 bit planes", dict(mode="fixed_precision", precision=16)),
    ])
    stack = microscopy_stack()
    print()
    zfp_runs("uint16 image stack", stack, [
        ("reversible", dict(mode="reversible")),
        ("fixed_rate, 6 bits/value", dict(mode="fixed_rate", rate=6.0)),
        # zfp's accuracy mode bounds the error of floating-point fields; integer
        # fields come out at full precision whatever the tolerance.
        ("fixed_accuracy (ints: full precision)", dict(mode="fixed_accuracy", tolerance=4.0)),
        ("fixed_precision, 12 bit planes", dict(mode="fixed_precision", precision=12)),
    ])

    print(f"\nhtj2k (lossless), uint16 image stack: shape {stack.shape}, {stack.nbytes:,d} B")
    args = (stack.tobytes(), stack.shape, "uint16")
    encoded, t_enc = timed(varnel.htj2k_encode, *args)
    decoded, t_dec = timed(varnel.htj2k_decode, encoded, stack.shape, "uint16")
    back = np.frombuffer(decoded, dtype=np.uint16).reshape(stack.shape)
    err = float(np.max(np.abs(back.astype(np.int64) - stack.astype(np.int64))))
    report("5 levels, RPCL, plane index", stack, encoded, t_enc, t_dec, err)
    assert err == 0, "htj2k must be lossless"

    try:
        import zarr  # noqa: F401
    except ImportError:
        print("\nzarr is not installed: the zarr part is skipped (pip install 'varnel[zarr]')")
        return
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import demo_zarr
    demo_zarr.main(opts.out)
    import demo_web
    demo_web.main(opts.out)


if __name__ == "__main__":
    main()
