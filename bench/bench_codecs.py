"""What the codec classes cost on top of the module functions.

Codes the same chunks three ways, alternating them round by round: the module
functions on `bytes` (the reference), the numcodecs codecs on arrays, and a
zarr v3 array (one chunk per plane, zarr's default pipeline), next to the
same zarr array with zarr's own uncompressed `bytes` serializer, which shows
what zarr itself spends per chunk. Prints, per codec and direction, the
median time of the reference per chunk and the median ratio of each other way
to it (1.00 = no cost; below 1 means zarr's threads coded chunks in parallel).

    python bench/bench_codecs.py [--rounds 7] [--chunks 16]
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np
import zarr

import varnel
import varnel.numcodecs
import varnel.zarr


def timed(fn) -> float:
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--chunks", type=int, default=16)
    args = ap.parse_args()
    rng = np.random.default_rng(0)
    n = args.chunks
    cases = [
        ("htj2k uint16 512x512", rng.normal(1000, 40, (n, 512, 512)).clip(0, 4095).astype(np.uint16),
         varnel.htj2k_encode, varnel.htj2k_decode, {}, varnel.numcodecs.Htj2k(dtype="uint16"), varnel.zarr.Htj2k()),
        ("zfp float32 512x512", np.cumsum(rng.standard_normal((n, 512, 512)), axis=2).astype(np.float32),
         varnel.varnel_zfp_encode, varnel.varnel_zfp_decode, {}, varnel.numcodecs.Zfp(), varnel.zarr.Zfp()),
    ]
    print(f"{n} chunks per round, {args.rounds} rounds; ratios are time / module-function time")
    for name, a, enc, dec, kw, ncodec, zcodec in cases:
        dtype = a.dtype.name
        planes = [a[i : i + 1] for i in range(n)]
        blobs = [enc(p.tobytes(), p.shape, dtype, **kw) for p in planes]
        z = zarr.create_array({}, shape=a.shape, chunks=(1, *a.shape[1:]), dtype=a.dtype, serializer=zcodec,
                              compressors=None)
        raw = zarr.create_array({}, shape=a.shape, chunks=(1, *a.shape[1:]), dtype=a.dtype, compressors=None)
        ways = {
            "encode": {
                "module": lambda: [enc(p.tobytes(), p.shape, dtype, **kw) for p in planes],
                "numcodecs": lambda: [ncodec.encode(p) for p in planes],
                "zarr": lambda: z.__setitem__(slice(None), a),
                "zarr uncompressed": lambda: raw.__setitem__(slice(None), a),
            },
            "decode": {
                "module": lambda: [dec(b, p.shape, dtype, **kw) for b, p in zip(blobs, planes)],
                "numcodecs": lambda: [ncodec.decode(b) for b in blobs],
                "zarr": lambda: z[:],
                "zarr uncompressed": lambda: raw[:],
            },
        }
        for direction, fns in ways.items():
            times: dict[str, list[float]] = {k: [] for k in fns}
            for _ in range(args.rounds):
                for k, fn in fns.items():
                    times[k].append(timed(fn))
            ref = times["module"]
            ratios = {k: statistics.median(t / r for t, r in zip(v, ref)) for k, v in times.items() if k != "module"}
            print(f"{name:22} {direction}: module {statistics.median(ref) / n * 1e3:6.2f} ms/chunk  "
                  + "  ".join(f"{k} {v:.2f}x" for k, v in ratios.items()))


if __name__ == "__main__":
    main()
