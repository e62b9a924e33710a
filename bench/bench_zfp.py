"""varnel_zfp_encode/decode against zfpy.compress_numpy/decompress_numpy.

Same arrays, same process, alternating runs; prints throughput (MB/s of raw
array bytes, medians) and the ratio varnel/zfpy. Then many chunks coded from
2 threads: varnel releases the GIL, zfpy holds it, so zfpy's 2-thread figure
is the baseline for varnel's 2-thread scaling.

    python bench/bench_zfp.py [--quick] [--repeat N]
"""

from __future__ import annotations

import argparse
import statistics
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import zfpy

from varnel import varnel_zfp_decode, varnel_zfp_encode


def smooth_plus_noise(shape, dtype, seed=0):
    rng = np.random.default_rng(seed)
    grids = np.meshgrid(*[np.linspace(0, 4 * np.pi, n, dtype=np.float32) for n in shape],
                        indexing="ij", sparse=True)
    field = np.sin(grids[0]) * np.cos(grids[1]) + np.sin(0.5 * grids[2])
    field = field + 0.01 * rng.standard_normal(shape, dtype=np.float32)
    return field.astype(dtype)


def uint16_stack(shape, seed=1):
    f = smooth_plus_noise(shape, np.float32, seed)
    return np.clip(20000 + 8000 * f, 0, 65535).astype(np.uint16)


def promoted(a):
    """What varnel hands zfp for a uint16 chunk: the zfpy-side equivalent."""
    return ((a.astype(np.int32) - 32768) << 15)


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


MODES = {
    "reversible": {},
    "fixed_rate": {"rate": 8.0},
    "fixed_accuracy": {"tolerance": 1e-3},
}


def zfpy_kwargs(mode, kw, dtype):
    if mode == "fixed_accuracy" and dtype == "uint16":
        return {"tolerance": 2.0 ** 15}  # one uint16 step in promoted units
    return kw


def single_thread(name, a, dtype, repeat):
    shape = a.shape
    raw = a.tobytes()
    mb = len(raw) / 1e6
    peer = promoted(a) if dtype == "uint16" else a
    rows = []
    for mode, kw in MODES.items():
        vkw = dict(kw)
        if mode == "fixed_accuracy" and dtype == "uint16":
            vkw = {"tolerance": 2.0 ** 15}
        zkw = zfpy_kwargs(mode, kw, dtype)
        stream = varnel_zfp_encode(raw, shape, dtype, mode=mode, **vkw)
        zstream = zfpy.compress_numpy(peer, **zkw)
        te_v = median_time(lambda: varnel_zfp_encode(raw, shape, dtype, mode=mode, **vkw), repeat)
        te_z = median_time(lambda: zfpy.compress_numpy(peer, **zkw), repeat)
        td_v = median_time(lambda: varnel_zfp_decode(stream, shape, dtype, mode=mode, **vkw), repeat)
        td_z = median_time(lambda: zfpy.decompress_numpy(zstream), repeat)
        rows.append((name, mode, "encode", mb / te_v, mb / te_z, len(raw) / len(stream)))
        rows.append((name, mode, "decode", mb / td_v, mb / td_z, len(raw) / len(stream)))
    return rows


def chunks_of(a, n):
    step = a.shape[0] // n
    return [np.ascontiguousarray(a[i * step:(i + 1) * step]) for i in range(n)]


def two_threads(name, a, dtype, repeat, n_chunks=16):
    parts = chunks_of(a, n_chunks)
    raws = [(p.tobytes(), p.shape) for p in parts]
    peers = [promoted(p) if dtype == "uint16" else p for p in parts]
    mb = sum(len(r) for r, _ in raws) / 1e6
    mode = "reversible"

    def v_all(pool):
        return list(pool.map(lambda r: varnel_zfp_encode(r[0], r[1], dtype, mode=mode), raws))

    def z_all(pool):
        return list(pool.map(lambda p: zfpy.compress_numpy(p), peers))

    out = []
    with ThreadPoolExecutor(1) as one, ThreadPoolExecutor(2) as two:
        v1 = median_time(lambda: v_all(one), repeat)
        v2 = median_time(lambda: v_all(two), repeat)
        z1 = median_time(lambda: z_all(one), repeat)
        z2 = median_time(lambda: z_all(two), repeat)
        streams = v_all(one)
        zstreams = z_all(one)
        d1 = median_time(lambda: list(one.map(
            lambda sr: varnel_zfp_decode(sr[0], sr[1][1], dtype, mode=mode), zip(streams, raws))), repeat)
        d2 = median_time(lambda: list(two.map(
            lambda sr: varnel_zfp_decode(sr[0], sr[1][1], dtype, mode=mode), zip(streams, raws))), repeat)
        zd1 = median_time(lambda: list(one.map(zfpy.decompress_numpy, zstreams)), repeat)
        zd2 = median_time(lambda: list(two.map(zfpy.decompress_numpy, zstreams)), repeat)
    out.append((name, "encode", mb / v1, mb / v2, mb / z1, mb / z2))
    out.append((name, "decode", mb / d1, mb / d2, mb / zd1, mb / zd2))
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="small arrays, few repeats")
    ap.add_argument("--repeat", type=int, default=None)
    args = ap.parse_args()
    repeat = args.repeat or (3 if args.quick else 5)
    if args.quick:
        cube, stack = (64, 64, 64), (16, 128, 128)
    else:
        cube, stack = (256, 256, 256), (64, 512, 512)
    arrays = [
        ("float32 " + "x".join(map(str, cube)), smooth_plus_noise(cube, np.float32), "float32"),
        ("float64 " + "x".join(map(str, cube)), smooth_plus_noise(cube, np.float64), "float64"),
        ("uint16 " + "x".join(map(str, stack)), uint16_stack(stack), "uint16"),
    ]
    print(f"single thread, median of {repeat} (MB/s of raw bytes; zfpy codes uint16 as the "
          "same promoted int32 field)")
    print(f"{'array':<22}{'mode':<16}{'op':<8}{'varnel':>10}{'zfpy':>10}{'ratio':>8}{'CR':>7}")
    for name, a, dtype in arrays:
        for row in single_thread(name, a, dtype, repeat):
            n, mode, op, v, z, cr = row
            print(f"{n:<22}{mode:<16}{op:<8}{v:>10.1f}{z:>10.1f}{v / z:>8.3f}{cr:>7.2f}")
    print()
    print("many chunks (16 per array, reversible), 1 vs 2 threads (MB/s)")
    print(f"{'array':<22}{'op':<8}{'varnel 1t':>11}{'varnel 2t':>11}{'scaling':>9}"
          f"{'zfpy 1t':>10}{'zfpy 2t':>10}{'2t vs zfpy 2t':>15}")
    for name, a, dtype in arrays:
        for n, op, v1, v2, z1, z2 in two_threads(name, a, dtype, repeat):
            print(f"{n:<22}{op:<8}{v1:>11.1f}{v2:>11.1f}{v2 / v1:>9.2f}{z1:>10.1f}{z2:>10.1f}"
                  f"{v2 / z2:>15.2f}")


if __name__ == "__main__":
    main()
