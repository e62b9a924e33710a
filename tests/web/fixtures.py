"""Writes the web tests' fixtures from Python varnel: chunks with their
decodes at every level, and small zarr v3 arrays (plain and sharded) with
their reduced reads.

    python tests/web/fixtures.py OUT_DIR

OUT_DIR/manifest.json lists them; every payload is a file beside it.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

import numpy as np

import varnel

DTYPES = ["uint8", "int8", "uint16", "int16", "uint32", "int32"]

# (shape, xy_levels, index, checksums): odd, thin and multi-plane shapes,
# level counts from none to more than the plane holds.
CHUNKS = [
    ((64, 64), 5, True, True),
    ((3, 37, 53), 3, True, True),
    ((3, 37, 53), 3, True, False),
    ((1, 200), 2, True, True),
    ((117, 1), 4, True, False),
    ((2, 2, 17, 9), 1, True, True),
    ((40, 24), 0, True, True),
    ((33, 65), 6, True, True),
    ((31, 29), 5, False, False),
    ((2, 16, 16), 2, False, False),
]

# Planes that stress the block decoder's kernels (the SIMD128 MagSgn step
# above all): (name, dtype, shape, xy_levels, kind). "noise" spans the whole
# range (large U_q: quads whose bits one 64-bit window does not hold),
# "extremes" codes 0, 1, max - 1 and max unshifted (L0: all-ones magnitudes
# and both signs), "sparse" leaves most quads empty; shapes give code-blocks
# one, two, three and 63 samples wide or high.
STRESS = [
    ("noise_u32", "uint32", (2, 67, 65), 0, "noise"),
    ("noise_i32", "int32", (67, 65), 1, "noise"),
    ("noise_u16", "uint16", (129, 131), 0, "noise"),
    ("noise_i8", "int8", (3, 3), 0, "noise"),
    ("extremes_u32", "uint32", (65, 66), 0, "extremes"),
    ("extremes_i16", "int16", (2, 63, 127), 0, "extremes"),
    ("extremes_u8", "uint8", (1, 257), 0, "extremes"),
    ("extremes_i32", "int32", (130, 2), 2, "extremes"),
    ("sparse_u16", "uint16", (128, 128), 3, "sparse"),
    ("sparse_i32", "int32", (5, 129), 0, "sparse"),
]

# Arrays for the HTTP reads: (name, shape, chunks, shards or None, dtype, xy_levels, checksums).
ARRAYS = [
    ("plain", (3, 200, 136), (1, 64, 64), None, "uint16", 4, True),
    ("sharded", (2, 256, 192), (1, 64, 64), (2, 128, 128), "uint8", 3, True),
    ("sharded_nosums", (150, 100), (32, 32), (64, 64), "int16", 5, False),
]


def samples(shape, dtype, seed):
    """A smooth ramp plus noise, spanning the dtype's range at its ends."""
    rng = np.random.default_rng(seed)
    info = np.iinfo(dtype)
    y = np.linspace(0, 1, shape[-2])[:, None]
    x = np.linspace(0, 1, shape[-1])[None, :]
    ramp = np.broadcast_to((y + x) / 2, shape)
    lo, hi = float(info.min), float(info.max)
    values = lo + ramp * (hi - lo) + rng.normal(0, (hi - lo) / 50, shape)
    values = np.clip(values, lo, hi).astype(np.float64)
    flat = values.reshape(-1)
    flat[:: max(1, flat.size // 7)] = hi  # a few extremes
    flat[1:: max(1, flat.size // 5)] = lo
    return values.astype(dtype)


def stress_samples(shape, dtype, kind, seed):
    rng = np.random.default_rng(seed)
    info = np.iinfo(dtype)
    lo, hi = int(info.min), int(info.max)
    if kind == "noise":
        return rng.integers(lo, hi, shape, dtype=dtype, endpoint=True)
    if kind == "extremes":
        return rng.choice(np.array([lo, lo + 1, hi - 1, hi], dtype=dtype), shape)
    values = np.zeros(shape, dtype)
    spikes = rng.random(shape) < 0.02
    values[spikes] = rng.choice(np.array([lo, hi, 1], dtype=dtype), int(spikes.sum()))
    return values


def encode(data, dtype, levels, index, checksums):
    kwargs = dict(xy_levels=levels, index=index)
    try:  # the codecs' entry point: the module function writes no prefix checksums
        from varnel import _codecs
        return _codecs.htj2k_encode(data.tobytes(), data.shape, dtype, checksums=checksums, **kwargs)
    except (ImportError, TypeError):  # a varnel without prefix checksums
        return varnel.htj2k_encode(data.tobytes(), data.shape, dtype, **kwargs)


def write_chunks(out: Path) -> list[dict]:
    cases = []
    seed = 0
    for dtype in DTYPES:
        for shape, levels, index, checksums in CHUNKS:
            seed += 1
            name = f"{dtype}_{'x'.join(map(str, shape))}_L{levels}{'' if index else '_noindex'}{'_sums' if checksums else ''}"
            data = samples(shape, dtype, seed)
            blob = encode(data, dtype, levels, index, checksums)
            (out / f"{name}.chunk").write_bytes(blob)
            (out / f"{name}.full").write_bytes(varnel.htj2k_decode(blob, shape, dtype))
            reduced = {}
            if index:
                for r in range(levels + 1):
                    reduced[r] = f"{name}.r{r}"
                    (out / reduced[r]).write_bytes(varnel.htj2k_decode_reduced(blob, shape, dtype, r))
            cases.append(dict(name=name, shape=list(shape), dtype=dtype, levels=levels, index=index,
                              chunk=f"{name}.chunk", full=f"{name}.full", reduced=reduced))
    for name, dtype, shape, levels, kind in STRESS:
        seed += 1
        data = stress_samples(shape, dtype, kind, seed)
        blob = encode(data, dtype, levels, True, False)
        (out / f"{name}.chunk").write_bytes(blob)
        (out / f"{name}.full").write_bytes(varnel.htj2k_decode(blob, shape, dtype))
        assert varnel.htj2k_decode(blob, shape, dtype) == data.tobytes()
        reduced = {}
        for r in range(levels + 1):
            reduced[r] = f"{name}.r{r}"
            (out / reduced[r]).write_bytes(varnel.htj2k_decode_reduced(blob, shape, dtype, r))
        cases.append(dict(name=name, shape=list(shape), dtype=dtype, levels=levels, index=True,
                          chunk=f"{name}.chunk", full=f"{name}.full", reduced=reduced))
    return cases


def write_arrays(out: Path) -> list[dict]:
    import zarr

    import varnel.zarr

    arrays = []
    for seed, (name, shape, chunks, shards, dtype, levels, checksums) in enumerate(ARRAYS):
        try:
            codec = varnel.zarr.Htj2k(xy_levels=levels, checksums=checksums)
        except TypeError:
            codec = varnel.zarr.Htj2k(xy_levels=levels)
        store = zarr.storage.LocalStore(out / "arrays" / name)
        a = zarr.create_array(store, shape=shape, chunks=chunks, shards=shards, dtype=dtype,
                              serializer=codec, compressors=None, fill_value=7)
        data = samples(shape, dtype, 100 + seed)
        # One chunk stays unwritten: the reader must fill it.
        data[..., :chunks[-2], :chunks[-1]] = 7
        a[...] = data
        levels_out = {}
        reader = varnel.zarr.ReducedReader(a)
        for r in range(levels + 1):
            if chunks[-2] % (1 << r) or chunks[-1] % (1 << r):
                break
            levels_out[r] = f"arrays/{name}.r{r}"
            (out / levels_out[r]).write_bytes(reader.read(r).tobytes())
        arrays.append(dict(name=name, path=f"arrays/{name}", shape=list(shape), dtype=dtype,
                           chunks=list(chunks), shards=None if shards is None else list(shards),
                           levels=levels, reduced=levels_out))
    return arrays


# The fuzz inputs the web tests replay: a selector byte (bits 0-2 the dtype
# mod 6, bits 3-7 zero for a full decode or reduce + 1), then the chunk.
FUZZ_DIRS = ["fuzz/corpus/chunk", "tests/data/fuzz-regressions/chunk"]


def write_fuzz_verdicts() -> dict:
    """What the native decoder makes of each fuzz input at the shape its header
    states (when its output stays within 16 MiB): the SHA-256 of the output,
    or the error."""
    import hashlib
    import struct

    root = Path(__file__).resolve().parents[2]
    verdicts = {}
    for d in FUZZ_DIRS:
        for path in sorted((root / d).iterdir()):
            data = path.read_bytes()
            chunk = data[1:]
            if len(chunk) < 8 or chunk[:4] != b"vrht" or not 2 <= chunk[7] <= 32 or len(chunk) < 8 + 4 * chunk[7]:
                continue
            shape = struct.unpack_from(f"<{chunk[7]}I", chunk, 8)
            dtype, sel = DTYPES[(data[0] & 7) % 6], data[0] >> 3
            f = 1 if sel == 0 else 2 ** (sel - 1)
            size = np.dtype(dtype).itemsize * int(np.prod(shape[:-2], dtype=np.float64)) * \
                -(-shape[-2] // f) * -(-shape[-1] // f)
            if 0 in shape or size > 16 << 20:
                continue
            try:
                got = (varnel.htj2k_decode(chunk, shape, dtype) if sel == 0 else
                       varnel.htj2k_decode_reduced(chunk, shape, dtype, sel - 1))
                verdict = dict(sha256=hashlib.sha256(got).hexdigest())
            except (ValueError, OverflowError) as e:
                verdict = dict(error=str(e))
            verdicts[f"{d}/{path.name}"] = dict(shape=list(shape), **verdict)
    return verdicts


# Chunks decoded as another dtype than they were written with: narrowing
# refuses samples outside the dtype's range, or stores the low bytes of
# those within it. (written dtype, values modulo, decoded dtype); modulo 0:
# values below 200 but one of 300, sample 13 of the first row (the sixth of
# the second group of eight).
MISMATCHED = [("uint16", 300, "uint8"), ("int16", 200, "int8"), ("uint32", 70000, "uint16"),
              ("int32", 5, "uint32"), ("uint16", 40000, "int16"), ("int32", 100, "int8"),
              ("uint16", 0, "uint8")]


def write_mismatched(out: Path) -> list[dict]:
    import hashlib

    cases = []
    for k, (written, modulo, dtype) in enumerate(MISMATCHED):
        shape = (2, 37, 45)
        data = (np.arange(np.prod(shape)).reshape(shape) * 7919 % (modulo or 200)).astype(written)
        if modulo == 0:
            data[0, 0, 13] = 300
        blob = encode(data, written, 2, True, False)
        (out / f"mismatched{k}.chunk").write_bytes(blob)
        for reduce in (None, 1):
            try:
                got = (varnel.htj2k_decode(blob, shape, dtype) if reduce is None else
                       varnel.htj2k_decode_reduced(blob, shape, dtype, reduce))
                verdict = dict(sha256=hashlib.sha256(got).hexdigest())
            except ValueError as e:
                verdict = dict(error=str(e))
            cases.append(dict(chunk=f"mismatched{k}.chunk", shape=list(shape), dtype=dtype,
                              reduce=reduce, **verdict))
    return cases


def main() -> None:
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    manifest = dict(chunks=write_chunks(out), arrays=write_arrays(out), fuzz=write_fuzz_verdicts(),
                    mismatched=write_mismatched(out))
    (out / "manifest.json").write_text(json.dumps(manifest, indent=1))


if __name__ == "__main__":
    main()
