"""zarr write and read of a large uint16 stack: varnel against the peers.

Writes and reads a 64 x 2048 x 2048 uint16 microscopy-like stack (time-lapse
frames of drifting cells over a smooth background, Poisson noise) into zarr v3
arrays on local disk with three serializers, in one process:

- varnel.htj2k (`varnel.zarr.Htj2k`, lossless, 5 levels, RPCL, plane index),
- imagecodecs' HTJ2K zarr codec (`imagecodecs_htj2k`, lossless, 6 resolutions:
  the same 5 levels; PyPI imagecodecs-zarr),
- zarr's default: the bytes codec followed by zstd.

for chunk shapes 1 x 1024 x 1024 and 8 x 512 x 512, and prints write time,
read time and stored bytes side by side, alternating the codecs round by round
and reporting medians. Every read is compared with the source.

It also measures what the codec layer costs over calling the module functions
directly: each chunk is encoded and decoded once through the codec object's
synchronous path (`_encode_sync` / `_decode_sync`, what zarr's pipeline calls)
and once with `htj2k_encode(chunk.tobytes(), …)` / `htj2k_decode`, alternating,
on one thread (thread CPU time).

Goals: codec layer under 5 % over the direct calls; writes faster than both
peers; stored size within 0.5 % of imagecodecs'.

    python bench/bench_zarr_codecs.py [--planes 64] [--size 2048] [--rounds 3]
                                      [--chunks 1x1024x1024,8x512x512]

Needs Python >= 3.12 with zarr, imagecodecs and imagecodecs-zarr installed.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import zarr  # noqa: E402
from zarr.core.array_spec import ArrayConfig, ArraySpec  # noqa: E402
from zarr.core.buffer import default_buffer_prototype  # noqa: E402
from zarr.core.buffer.cpu import NDBuffer  # noqa: E402

import varnel  # noqa: E402
from varnel.zarr import Htj2k  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
from synthetic import microscopy_stack  # noqa: E402


def serializers() -> dict:
    out = {"varnel.htj2k": lambda: Htj2k()}
    try:
        from imagecodecs.zarr import Htj2k as IcHtj2k
        out["imagecodecs_htj2k"] = lambda: IcHtj2k(level=0, resolutions=6, planar=True)
    except ImportError:
        print("imagecodecs-zarr not installed: imagecodecs' codec is left out")
    out["zstd (zarr default)"] = None
    return out


def dir_bytes(path: Path) -> int:
    return sum(f.stat().st_size for f in path.rglob("*") if f.is_file() and not f.name.startswith("zarr.json"))


def write_read(data: np.ndarray, chunks: tuple, make, root: Path) -> tuple[float, float, int]:
    path = root / "a.zarr"
    shutil.rmtree(path, ignore_errors=True)
    kwargs = {} if make is None else {"serializer": make(), "compressors": None}
    t0 = time.perf_counter()
    arr = zarr.create_array(str(path), shape=data.shape, chunks=chunks, dtype=data.dtype, **kwargs)
    arr[...] = data
    t_write = time.perf_counter() - t0
    t0 = time.perf_counter()
    back = zarr.open_array(str(path), mode="r")[...]
    t_read = time.perf_counter() - t0
    if not np.array_equal(back, data):
        raise SystemExit("read back differs from the source")
    return t_write, t_read, dir_bytes(path)


def codec_layer(data: np.ndarray, chunks: tuple, rounds: int) -> tuple[float, float]:
    """Median ratios (codec path / direct call) of thread CPU time, encode and decode."""
    codec = Htj2k()
    chunk_info = ArraySpec(shape=chunks, dtype=zarr.dtype.UInt16(), fill_value=0,
                     config=ArrayConfig.from_dict({}), prototype=default_buffer_prototype())
    blocks = [np.ascontiguousarray(data[z:z + chunks[0], y:y + chunks[1], x:x + chunks[2]])
              for z in range(0, min(data.shape[0], 2 * chunks[0]), chunks[0])
              for y in range(0, data.shape[1], chunks[1]) for x in range(0, data.shape[2], chunks[2])]
    encoded = [varnel.htj2k_encode(b.tobytes(), b.shape, "uint16") for b in blocks]

    def timed(fn) -> float:
        t0 = time.thread_time()
        fn()
        return time.thread_time() - t0

    enc_ratio, dec_ratio = [], []
    for _ in range(rounds):
        d_enc = timed(lambda: [varnel.htj2k_encode(b.tobytes(), b.shape, "uint16") for b in blocks])
        c_enc = timed(lambda: [codec._encode_sync(NDBuffer.from_numpy_array(b), chunk_info) for b in blocks])
        d_dec = timed(lambda: [np.frombuffer(varnel.htj2k_decode(e, chunks, "uint16"), np.uint16)
                               .reshape(chunks) for e in encoded])
        c_dec = timed(lambda: [codec._decode_sync(default_buffer_prototype().buffer.from_bytes(e), chunk_info)
                               for e in encoded])
        enc_ratio.append(c_enc / d_enc)
        dec_ratio.append(c_dec / d_dec)
    return statistics.median(enc_ratio), statistics.median(dec_ratio)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--planes", type=int, default=64)
    ap.add_argument("--size", type=int, default=2048)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--chunks", default="1x1024x1024,8x512x512")
    ap.add_argument("--dir", default=None, help="where the arrays are written (default: a temp dir)")
    args = ap.parse_args()

    print(f"varnel {varnel.__version__}, zarr {zarr.__version__}, Python {sys.version.split()[0]}")
    t0 = time.perf_counter()
    data = microscopy_stack(args.planes, args.size)
    print(f"source: {data.shape} {data.dtype}, {data.nbytes / 2**20:.0f} MiB "
          f"(made in {time.perf_counter() - t0:.1f} s); load average {os.getloadavg()[0]:.2f}")
    codecs = serializers()
    root = Path(tempfile.mkdtemp(prefix="varnel-bench-", dir=args.dir))
    try:
        for layout in args.chunks.split(","):
            chunks = tuple(int(v) for v in layout.split("x"))
            times = {name: ([], []) for name in codecs}
            stored = {}
            for _ in range(args.rounds):
                for name, make in codecs.items():
                    w, r, n = write_read(data, chunks, make, root)
                    times[name][0].append(w)
                    times[name][1].append(r)
                    stored[name] = n
            mib = data.nbytes / 2**20
            print(f"\nchunks {chunks}: medians of {args.rounds} rounds")
            print(f"  {'codec':<22} {'write s':>8} {'MiB/s':>7} {'read s':>8} {'MiB/s':>7} "
                  f"{'stored bytes':>14} {'ratio':>6}")
            for name in codecs:
                w = statistics.median(times[name][0])
                r = statistics.median(times[name][1])
                print(f"  {name:<22} {w:8.2f} {mib / w:7.1f} {r:8.2f} {mib / r:7.1f} "
                      f"{stored[name]:>14,d} {data.nbytes / stored[name]:6.2f}")
            ours = "varnel.htj2k"
            w0 = statistics.median(times[ours][0])
            for name in codecs:
                if name != ours:
                    print(f"  write speed varnel / {name}: {statistics.median(times[name][0]) / w0:.2f}x"
                          f"   read speed: {statistics.median(times[name][1]) / statistics.median(times[ours][1]):.2f}x")
            if "imagecodecs_htj2k" in stored:
                diff = stored[ours] / stored["imagecodecs_htj2k"] - 1
                print(f"  stored size varnel vs imagecodecs: {100 * diff:+.2f} % (goal within 0.5 %)")
            enc, dec = codec_layer(data, chunks, args.rounds)
            print(f"  codec layer over direct calls (thread CPU time): encode {100 * (enc - 1):+.1f} %, "
                  f"decode {100 * (dec - 1):+.1f} % (goal under 5 %)")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
