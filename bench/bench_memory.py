"""Peak memory of decoding, as a multiple of output + input.

Each case is encoded here, then decoded in a fresh child process, which
reports how far its peak resident set (VmHWM, reset after the imports)
grew over its resident set then, the chunk's bytes included. The ratio printed is that
growth over (output bytes + chunk bytes); "extra" is the growth beyond
output and chunk as a share of the output (the working memory of the
decode). Cases: whole chunks of every dtype, a stack, large and empty
planes, a plane of 2^22 one-byte packets, reduced reads and zfp.

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


call, path, shape, dtype, extra, kw = json.loads(sys.argv[1])
with open("/proc/self/clear_refs", "w") as f:  # the peak resident set starts again here
    f.write("5")
base = status("VmRSS")
with open(path, "rb") as f:
    chunk = f.read()
start = time.perf_counter()
out = getattr(varnel, call)(chunk, tuple(shape), dtype, *extra, **kw)
seconds = time.perf_counter() - start
print(json.dumps({"growth": status("VmHWM") - base,
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


def cases():
    img = noisy((2048, 2048), np.uint16)
    img8 = noisy((2048, 2048), np.uint8)
    img32 = noisy((2048, 2048), np.int32)
    stack = noisy((16, 512, 512), np.uint16)
    z8 = np.zeros((8192, 8192), np.uint8)
    z16 = np.zeros((4096, 4096), np.uint16)
    field = np.random.default_rng(1).normal(280, 5, (128, 128, 128)).astype(np.float32)
    zkw = {"mode": "fixed_accuracy", "tolerance": 1e-3}
    c_img = varnel.htj2k_encode(img.tobytes(), img.shape, "uint16")
    return [
        ("htj2k 2048^2 uint16", "htj2k_decode", c_img, img.shape, "uint16", [], {}),
        ("htj2k 2048^2 uint8", "htj2k_decode",
         varnel.htj2k_encode(img8.tobytes(), img8.shape, "uint8"), img8.shape, "uint8", [], {}),
        ("htj2k 2048^2 int32", "htj2k_decode",
         varnel.htj2k_encode(img32.tobytes(), img32.shape, "int32"), img32.shape, "int32", [], {}),
        ("htj2k 16 x 512^2 uint16", "htj2k_decode",
         varnel.htj2k_encode(stack.tobytes(), stack.shape, "uint16"), stack.shape, "uint16", [], {}),
        ("htj2k 8192^2 uint8, all zero", "htj2k_decode",
         varnel.htj2k_encode(z8.tobytes(), z8.shape, "uint8"), z8.shape, "uint8", [], {}),
        ("htj2k 4096^2 uint16, all zero", "htj2k_decode",
         varnel.htj2k_encode(z16.tobytes(), z16.shape, "uint16"), z16.shape, "uint16", [], {}),
        ("htj2k 1 x 2^22, 2^22 packets", "htj2k_decode", one_byte_packets(1 << 22), (1, 1 << 22),
         "uint8", [], {}),
        ("htj2k 2048^2 uint16 reduce 1", "htj2k_decode_reduced", c_img, img.shape, "uint16", [1], {}),
        ("htj2k 2048^2 uint16 reduce 3", "htj2k_decode_reduced", c_img, img.shape, "uint16", [3], {}),
        ("zfp 128^3 float32", "varnel_zfp_decode",
         varnel.varnel_zfp_encode(field.tobytes(), field.shape, "float32", **zkw), field.shape,
         "float32", [], zkw),
    ]


def main():
    print(f"{'case':34} {'output MiB':>10} {'input MiB':>9} {'peak MiB':>9} {'ratio':>6} {'extra':>6} "
          f"{'s':>6}")
    with tempfile.TemporaryDirectory() as tmp:
        for name, call, chunk, shape, dtype, extra, kw in cases():
            path = os.path.join(tmp, "chunk")
            with open(path, "wb") as f:
                f.write(chunk)
            args = json.dumps([call, path, list(shape), dtype, extra, kw])
            done = subprocess.run([sys.executable, "-c", CHILD, args], capture_output=True, text=True,
                                  check=True)
            r = json.loads(done.stdout)
            mib = 1 << 20
            ratio = r["growth"] / (r["output"] + r["input"])
            extra = (r["growth"] - r["output"] - r["input"]) / max(r["output"], 1)
            print(f"{name:34} {r['output'] / mib:10.2f} {r['input'] / mib:9.2f} "
                  f"{r['growth'] / mib:9.1f} {ratio:6.2f} {extra:6.0%} {r['seconds']:6.3f}")


if __name__ == "__main__":
    main()
