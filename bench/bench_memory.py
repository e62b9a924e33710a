"""Peak memory of decoding, as a multiple of output + input.

Each case is encoded here, then decoded in a fresh child process, which
reports how far its peak resident set (VmHWM, reset after the imports)
grew over its resident set then, the chunk's bytes included. The ratio printed is that
growth over (output bytes + chunk bytes); "extra" is the growth beyond
output and chunk as a share of the output (the working memory of the
decode). Before the peak is reset the child decodes a small chunk of the
same kind (a 64 x 64 corner, same dtype and call), so the library's code
and tables are paged in already: "extra" is what every decode needs.
"cold" is the same share when the decode is the process's first call,
and "lib MiB" the file-backed pages (code, read-only tables) that call
faults in: a cost once per process, not per decode. Cases: whole chunks
of every dtype (full-range 32-bit ones take the 64-bit path), a stack,
large and empty planes, a plane of 2^22 one-byte packets, reduced reads
and zfp.

    python bench/bench_memory.py
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile

import numpy as np

import varnel

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from hostile import codestream, container  # noqa: E402

CHILD = r"""
import json, sys, time
import varnel


def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))


call, path, shape, dtype, extra, kw, warm = json.loads(sys.argv[1])
if warm:  # the library's code paged in by a small decode of the same kind
    with open(warm[0], "rb") as f:
        getattr(varnel, call)(f.read(), tuple(warm[1]), dtype, *extra, **kw)
with open("/proc/self/clear_refs", "w") as f:  # the peak resident set starts again here
    f.write("5")
base, base_file = status("VmRSS"), status("RssFile")
with open(path, "rb") as f:
    chunk = f.read()
start = time.perf_counter()
out = getattr(varnel, call)(chunk, tuple(shape), dtype, *extra, **kw)
seconds = time.perf_counter() - start
print(json.dumps({"growth": status("VmHWM") - base, "file": status("RssFile") - base_file,
                  "output": len(out), "input": len(chunk), "seconds": seconds}))
"""


def noisy(shape, dtype, seed=0):
    rng = np.random.default_rng(seed)
    y, x = np.meshgrid(np.arange(shape[-2]), np.arange(shape[-1]), indexing="ij")
    scale = min(1.0, np.iinfo(dtype).max / 4000)  # uint8 and int8 keep their range
    base = scale * (2000 + 800 * np.sin(x / 40.0) * np.cos(y / 55.0))
    return np.clip(base + rng.poisson(30 * scale, shape), 0, np.iinfo(dtype).max).astype(dtype)


def one_byte_packets(width):
    """A valid empty 1 x width plane with 1 x 1 precincts: one packet byte
    per sample."""
    return container((1, width), [codestream(width, 1, precincts=[(0, 0)], body=bytes(width))])


def full_range(shape, dtype, seed=2):
    """Smooth content over the whole range of a 32-bit dtype, with noise:
    its coefficients need the 64-bit datapath."""
    info = np.iinfo(dtype)
    y, x = np.meshgrid(np.arange(shape[-2]), np.arange(shape[-1]), indexing="ij")
    wave = 0.5 + 0.5 * np.sin(x / 40.0) * np.cos(y / 55.0)
    noise = np.random.default_rng(seed).integers(-1000, 1000, shape)
    return np.clip(info.min + wave * (float(info.max) - info.min) + noise, info.min, info.max).astype(dtype)


def htj2k_case(name, img, call="htj2k_decode", extra=(), chunk=None):
    """A case and the 64 x 64 corner of the same kind that warms the library."""
    dtype = str(img.dtype)
    corner = np.ascontiguousarray(img[..., :64, :64])
    if chunk is None:
        chunk = varnel.htj2k_encode(img.tobytes(), img.shape, dtype)
    warm = varnel.htj2k_encode(corner.tobytes(), corner.shape, dtype)
    return (name, call, chunk, img.shape, dtype, list(extra), {}, (warm, corner.shape))


def cases():
    img = noisy((2048, 2048), np.uint16)
    img8 = noisy((2048, 2048), np.uint8)
    img32 = noisy((2048, 2048), np.int32)
    full32 = full_range((2048, 2048), np.uint32)
    stack = noisy((16, 512, 512), np.uint16)
    z8 = np.zeros((8192, 8192), np.uint8)
    z16 = np.zeros((4096, 4096), np.uint16)
    field = np.random.default_rng(1).normal(280, 5, (128, 128, 128)).astype(np.float32)
    zkw = {"mode": "fixed_accuracy", "tolerance": 1e-3}
    c_img = varnel.htj2k_encode(img.tobytes(), img.shape, "uint16")
    zfp_warm = varnel.varnel_zfp_encode(field[:8, :8, :8].copy().tobytes(), (8, 8, 8), "float32", **zkw)
    return [
        htj2k_case("htj2k 2048^2 uint16", img, chunk=c_img),
        htj2k_case("htj2k 2048^2 uint8", img8),
        htj2k_case("htj2k 2048^2 int32", img32),
        htj2k_case("htj2k 2048^2 uint16 full range", full_range((2048, 2048), np.uint16)),
        htj2k_case("htj2k 2048^2 uint32 full range", full32),
        htj2k_case("htj2k 2048^2 int32 full range", full_range((2048, 2048), np.int32)),
        htj2k_case("htj2k 4096^2 uint32 full range", full_range((4096, 4096), np.uint32)),
        htj2k_case("htj2k 2048^2 uint32 full, 0 levels", full32,
                   chunk=varnel.htj2k_encode(full32.tobytes(), full32.shape, "uint32", xy_levels=0)),
        htj2k_case("htj2k 4096^2 uint8", noisy((4096, 4096), np.uint8)),
        htj2k_case("htj2k 16 x 512^2 uint16", stack),
        htj2k_case("htj2k 8192^2 uint8, all zero", z8),
        htj2k_case("htj2k 4096^2 uint16, all zero", z16),
        ("htj2k 1 x 2^22, 2^22 packets", "htj2k_decode", one_byte_packets(1 << 22), (1, 1 << 22),
         "uint8", [], {}, (one_byte_packets(64), (1, 64))),
        htj2k_case("htj2k 2048^2 uint16 reduce 1", img, "htj2k_decode_reduced", [1], c_img),
        htj2k_case("htj2k 2048^2 uint16 reduce 3", img, "htj2k_decode_reduced", [3], c_img),
        htj2k_case("htj2k 2048^2 uint32 full, reduce 1", full32, "htj2k_decode_reduced", [1]),
        ("zfp 128^3 float32", "varnel_zfp_decode",
         varnel.varnel_zfp_encode(field.tobytes(), field.shape, "float32", **zkw), field.shape,
         "float32", [], zkw, (zfp_warm, (8, 8, 8))),
    ]


def run_child(tmp, call, chunk, shape, dtype, extra, kw, warm):
    path = os.path.join(tmp, "chunk")
    with open(path, "wb") as f:
        f.write(chunk)
    warm_arg = None
    if warm is not None:
        warm_path = os.path.join(tmp, "warm")
        with open(warm_path, "wb") as f:
            f.write(warm[0])
        warm_arg = [warm_path, list(warm[1])]
    args = json.dumps([call, path, list(shape), dtype, extra, kw, warm_arg])
    done = subprocess.run([sys.executable, "-c", CHILD, args], capture_output=True, text=True,
                          check=True)
    return json.loads(done.stdout)


def main():
    print(f"{'case':34} {'output MiB':>10} {'input MiB':>9} {'peak MiB':>9} {'ratio':>6} {'extra':>6} "
          f"{'cold':>6} {'lib MiB':>7} {'s':>6}")
    mib = 1 << 20
    with tempfile.TemporaryDirectory() as tmp:
        for name, call, chunk, shape, dtype, extra, kw, warm in cases():
            r = run_child(tmp, call, chunk, shape, dtype, extra, kw, warm)
            cold = run_child(tmp, call, chunk, shape, dtype, extra, kw, None)
            ratio = r["growth"] / (r["output"] + r["input"])
            share = (r["growth"] - r["output"] - r["input"]) / max(r["output"], 1)
            cold_share = (cold["growth"] - cold["output"] - cold["input"]) / max(cold["output"], 1)
            print(f"{name:34} {r['output'] / mib:10.2f} {r['input'] / mib:9.2f} "
                  f"{r['growth'] / mib:9.1f} {ratio:6.2f} {share:6.0%} {cold_share:6.0%} "
                  f"{cold['file'] / mib:7.2f} {r['seconds']:6.3f}")


if __name__ == "__main__":
    main()
