"""The zarr part of the demonstration: varnel's codecs inside zarr v3 arrays.

Stores a 16 x 2048 x 2048 uint16 microscopy time-lapse in zarr v3 arrays on
disk with varnel.htj2k, with imagecodecs' HTJ2K codec and with zarr's default
(zstd), reads each back, and compares write time, read time and stored bytes;
stores a float32 field with varnel.zfp; reads the htj2k array at reduced
resolution, fetching only the bytes each resolution needs; shows the array
as its own pyramid (varnel.zarr.levels: stored size against a pyramid stored
beside it, and the time to a thumbnail); prints what a napari overview of it
fetches through the varnel plugin's levels; and plots it all into one PNG.
"""

from __future__ import annotations

import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import zarr

import varnel
import varnel.zarr

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
from synthetic import microscopy_stack  # noqa: E402


def codecs() -> dict:
    out = {"varnel.htj2k": dict(serializer=varnel.zarr.Htj2k(), compressors=None)}
    try:
        from imagecodecs.zarr import Htj2k as IcHtj2k
        out["imagecodecs HTJ2K"] = dict(serializer=IcHtj2k(level=0, resolutions=6, planar=True),
                                        compressors=None)
    except ImportError:
        print("  (imagecodecs-zarr is not installed: its HTJ2K codec is left out)")
    out["zarr default (zstd)"] = {}
    return out


def stored_bytes(path: Path) -> int:
    return sum(f.stat().st_size for f in path.rglob("c/**/*") if f.is_file())


def store_and_read(data: np.ndarray, chunks, kwargs: dict, path: Path, rounds: int = 3):
    writes, reads = [], []
    for _ in range(rounds):
        shutil.rmtree(path, ignore_errors=True)
        t0 = time.perf_counter()
        arr = zarr.create_array(str(path), shape=data.shape, chunks=chunks, dtype=data.dtype, **kwargs)
        arr[...] = data
        writes.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        back = zarr.open_array(str(path), mode="r")[...]
        reads.append(time.perf_counter() - t0)
        assert np.array_equal(back, data), "lossless codecs must give back the array"
    return statistics.median(writes), statistics.median(reads), stored_bytes(path)


def float_field(n: int = 256, seed: int = 1) -> np.ndarray:
    rng = np.random.default_rng(seed)
    z, y, x = np.meshgrid(*(np.linspace(0.0, 1.0, n, dtype=np.float32),) * 3, indexing="ij")
    field = np.sin(6.0 * x) * np.cos(4.0 * y) * np.exp(-z) + 0.3 * np.sin(17.0 * (x + y + z))
    return (280.0 + 15.0 * field + rng.normal(0.0, 1e-3, field.shape)).astype(np.float32)


def main(out_dir: Path | None = None) -> Path:
    out_dir = Path(out_dir or ROOT / "demo-output")
    out_dir.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="varnel-demo-"))
    try:
        stack = microscopy_stack(16, 2048)
        chunks = (1, 1024, 1024)
        mib = stack.nbytes / 2**20
        print(f"\nzarr v3, uint16 time-lapse {stack.shape} ({mib:.0f} MiB), chunks {chunks}, "
              f"medians of 3 runs:")
        results = {}
        for name, kwargs in codecs().items():
            w, r, n = store_and_read(stack, chunks, kwargs, work / "stack.zarr")
            results[name] = (w, r, n)
            print(f"  {name:<22} write {w:6.2f} s ({mib / w:6.1f} MiB/s)  read {r:6.2f} s "
                  f"({mib / r:6.1f} MiB/s)  stored {n:>12,d} B  ratio {stack.nbytes / n:5.2f}")

        # The htj2k array once more, kept for the reduced-resolution reads.
        path = work / "stack.zarr"
        shutil.rmtree(path, ignore_errors=True)
        arr = zarr.create_array(str(path), shape=stack.shape, chunks=chunks, dtype=stack.dtype,
                                serializer=varnel.zarr.Htj2k(), compressors=None)
        arr[...] = stack
        print("\nreduced-resolution reads of the htj2k array (plane index: only the needed "
              "prefix of each codestream is fetched):")
        reduced = {}
        for reduce in (1, 2, 3):
            reader = varnel.zarr.ReducedReader(zarr.open_array(str(path), mode="r"))
            t0 = time.perf_counter()
            small = reader.read(reduce)
            dt = time.perf_counter() - t0
            s = reader.stats
            reduced[reduce] = (small, s.fraction)
            print(f"  reduce {reduce}: shape {small.shape}, fetched {s.bytes_fetched:>11,d} of "
                  f"{s.bytes_full:>11,d} B ({100 * s.fraction:5.1f} %) in {s.requests} requests, "
                  f"{dt:.2f} s")

        pyramid = virtual_pyramid(stack, chunks, path, work)
        napari_overview(path)

        field = float_field()
        zpath = work / "field.zarr"
        fmib = field.nbytes / 2**20
        print(f"\nzarr v3, float32 field {field.shape} ({fmib:.0f} MiB), chunks (64, 64, 64):")
        for label, serializer, tol in [
                ("varnel.zfp fixed_accuracy 1e-3",
                 varnel.zarr.Zfp(mode="fixed_accuracy", tolerance=1e-3), 1e-3),
                ("varnel.zfp reversible", varnel.zarr.Zfp(), 0.0),
                ("zarr default (zstd)", None, 0.0)]:
            shutil.rmtree(zpath, ignore_errors=True)
            kwargs = {} if serializer is None else dict(serializer=serializer, compressors=None)
            t0 = time.perf_counter()
            za = zarr.create_array(str(zpath), shape=field.shape, chunks=(64, 64, 64),
                                   dtype=field.dtype, **kwargs)
            za[...] = field
            w = time.perf_counter() - t0
            back = zarr.open_array(str(zpath), mode="r")[...]
            err = float(np.max(np.abs(back.astype(np.float64) - field)))
            assert err <= tol, f"{label}: error {err} above the tolerance {tol}"
            n = stored_bytes(zpath)
            print(f"  {label:<32} write {w:5.2f} s  stored {n:>11,d} B  ratio "
                  f"{field.nbytes / n:5.2f}  max error {err:.2g}")

        png = out_dir / "varnel_zarr.png"
        plot(results, reduced, stack, png, pyramid)
        print(f"\nplot written to {png}")
        return png
    finally:
        shutil.rmtree(work, ignore_errors=True)


def mean2(a: np.ndarray) -> np.ndarray:
    """2 x 2 means of the trailing two axes (as ome-zarr downsamples)."""
    s = a[..., ::2, ::2].astype(np.uint32) + a[..., 1::2, ::2] + a[..., ::2, 1::2] + a[..., 1::2, 1::2]
    return ((s + 2) // 4).astype(a.dtype)


def virtual_pyramid(stack: np.ndarray, chunks, path: Path, work: Path) -> dict:
    """The htj2k array as its own pyramid (varnel.zarr.levels) against a
    pyramid stored beside it: stored bytes, and the time to a thumbnail."""
    arr = zarr.open_array(str(path), mode="r")
    levels = varnel.zarr.levels(arr)
    top = len(levels) - 1
    stored, level = 0, stack
    for k in range(1, top + 1):
        level = mean2(level)
        p = work / f"pyramid{k}.zarr"
        side = level.shape[-1]
        a = zarr.create_array(str(p), shape=level.shape, chunks=(1, min(side, chunks[1]), min(side, chunks[2])),
                              dtype=level.dtype, serializer=varnel.zarr.Htj2k(), compressors=None)
        a[...] = level
        stored += stored_bytes(p)
    array_bytes = stored_bytes(path)
    t0 = time.perf_counter()
    thumb = levels[top][0]
    t_virtual = time.perf_counter() - t0
    t0 = time.perf_counter()
    frame = arr[0]
    for _ in range(top):
        frame = mean2(frame)
    t_full = time.perf_counter() - t0
    print(f"\nvirtual pyramid (varnel.zarr.levels): levels 0-{top} from the one stored array; a "
          f"pyramid stored beside it (levels 1-{top}, 2 x 2 means, varnel.htj2k) would add "
          f"{stored:,d} B (+{100 * stored / array_bytes:.1f} %), the virtual one adds 0 B")
    print(f"  thumbnail of frame 0 {thumb.shape}: {1e3 * t_virtual:.1f} ms from level {top}, "
          f"{1e3 * t_full:.1f} ms reading level 0 and downsampling")
    return {"top": top, "stored": stored, "array": array_bytes, "t_virtual": t_virtual,
            "t_full": t_full, "thumb": thumb}


def napari_overview(path: Path, canvas: int = 1024) -> None:
    """What napari's overview of the array fetches (`napari stack.zarr`):
    the levels the varnel plugin gives it (varnel.napari.pyramid), sliced as
    napari slices them (the displayed axes first, a bare `:` on t, then the
    plane), at the level that fits a canvas of `canvas` pixels, with the
    thumbnail from the coarsest level; against plain zarr arrays of the same
    levels (which read every plane on that first slice) and level 0."""
    import varnel.napari

    source = varnel.napari.open_source(str(path))
    n = zarr.open_array(str(path), mode="r").shape[0]
    t = n // 2

    def show(levels) -> tuple[int, float]:
        k = next(k for k, lv in enumerate(levels) if max(lv.shape[-2:]) <= canvas)
        t0 = time.perf_counter()
        for lv in (levels[k], levels[-1]):  # the view, then the thumbnail
            np.asarray(lv[(slice(None), slice(0, lv.shape[-2], 1), slice(0, lv.shape[-1], 1))][t])
        return k, time.perf_counter() - t0

    def fetched(levels) -> tuple[int, int, int]:
        stores = {id(lv.store): lv.store for lv in levels}.values()
        return (sum(s.stats.chunks for s in stores), sum(s.stats.bytes_fetched for s in stores),
                sum(s.stats.requests for s in stores))

    plugin = varnel.napari.pyramid(source)
    k, dt = show(plugin)
    chunks, nbytes, requests = fetched(plugin)
    print(f"\nnapari overview of plane {t} of {n} (canvas {canvas} px: level {k}, thumbnail from level "
          f"{len(plugin) - 1}; `napari stack.zarr` through the varnel plugin):")
    print(f"  plugin levels (lazy, smooth from level {varnel.napari.SMOOTH_FROM}): {chunks:4d} chunk reads, "
          f"{nbytes:>11,d} B in {requests} requests, {1e3 * dt:6.1f} ms")
    store = varnel.zarr.MultiscaleStore(zarr.open_array(str(path), mode="r"))
    eager = [zarr.open_array(store, path=str(j), mode="r") for j in range(store.top + 1)]
    k, dt = show(eager)
    chunks, nbytes, requests = fetched(eager)
    print(f"  plain zarr arrays of the levels:            {chunks:4d} chunk reads, "
          f"{nbytes:>11,d} B in {requests} requests, {1e3 * dt:6.1f} ms (every plane)")
    t0 = time.perf_counter()
    zarr.open_array(str(path), mode="r")[t]
    dt = time.perf_counter() - t0
    plane = sum(f.stat().st_size for f in (path / "c" / str(t)).rglob("*") if f.is_file())
    print(f"  level 0, plane {t}:                          {len(list((path / 'c' / str(t)).rglob('*/*'))):4d} "
          f"chunk reads, {plane:>11,d} B, {1e3 * dt:6.1f} ms")


def plot(results: dict, reduced: dict, stack: np.ndarray, png: Path, pyramid: dict) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(results)
    colors = ["#1f77b4", "#ff7f0e", "#7f7f7f"][:len(names)]
    mib = stack.nbytes / 2**20
    fig, axes = plt.subplots(1, 4, figsize=(18, 4.2))
    panels = [("write (MiB/s)", [mib / results[n][0] for n in names]),
              ("read (MiB/s)", [mib / results[n][1] for n in names]),
              ("stored (MiB)", [results[n][2] / 2**20 for n in names])]
    for ax, (title, values) in zip(axes, panels):
        bars = ax.bar(range(len(names)), values, color=colors)
        ax.bar_label(bars, fmt="%.0f")
        ax.set_xticks(range(len(names)), [n.replace(" (", "\n(") for n in names], fontsize=8)
        ax.set_title(title)
    small, frac = reduced[3]
    ax = axes[3]
    ax.imshow(small[0], cmap="gray")
    ax.set_title(f"frame 0 at 1/8 size: {100 * frac:.1f} % of the bytes fetched\n"
                 f"virtual pyramid: +0 B (stored: +{100 * pyramid['stored'] / pyramid['array']:.0f} %); "
                 f"thumbnail {1e3 * pyramid['t_virtual']:.0f} ms vs {1e3 * pyramid['t_full']:.0f} ms "
                 f"via level 0", fontsize=8)
    ax.axis("off")
    fig.suptitle(f"zarr v3, uint16 stack {stack.shape}, chunks 1x1024x1024 (lossless)")
    fig.tight_layout()
    fig.savefig(png, dpi=110)


if __name__ == "__main__":
    main()
