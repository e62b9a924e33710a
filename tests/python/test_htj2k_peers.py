"""htj2k codestreams against independent JPEG 2000 decoders and encoders.

Every codestream varnel writes must decode with OpenJPH, OpenJPEG and Grok
to exactly the input samples, and codestreams written by OpenJPH must decode
with varnel to exactly what the peers give. The peers run as separate
processes (see peers.py for which peer judges which case, and why).
"""

from __future__ import annotations

import itertools

import numpy as np
import pytest

import varnel
from peers import (HAVE_GRK, HAVE_OJPH, HAVE_OPJ, codestream_levels, grk_decompress,
                   ojph_compress, ojph_expand, opj_decompress, single_plane_codestream,
                   wrap_codestream)

pytestmark = pytest.mark.skipif(not (HAVE_OJPH and HAVE_OPJ and HAVE_GRK),
                                reason="needs openjph-tools, libopenjp2-tools and grokj2k-tools")

PROGRESSIONS = ["LRCP", "RLCP", "RPCL", "PCRL", "CPRL"]
# The deepest samples OpenJPEG 2.5 and OpenJPH 0.9 decode for a level count:
# their HT block decoders stop at 30 bit-planes (K_max 30), varnel's 32-bit
# datapath's bound; deeper codestreams take varnel's 64-bit datapath.
PEER_MAX_DEPTH = {0: 30, 1: 29, 2: 28, 3: 28, 4: 28, 5: 28}


def peer_max_depth(levels: int) -> int:
    return PEER_MAX_DEPTH.get(levels, 27)


def image(shape, lo: int, hi: int, seed: int) -> np.ndarray:
    """Image-like content spanning [lo, hi]: a ramp, an edge, texture and noise,
    with both extremes present."""
    rng = np.random.default_rng(seed)
    h, w = shape
    y, x = np.mgrid[0:h, 0:w]
    span = float(hi - lo)
    f = 0.5 + 0.25 * np.sin(x / 7.0 + y / 11.0) + 0.15 * (x > w // 3) - 0.1 * (y > h // 2)
    f = f + rng.normal(0, 0.05, shape)
    a = lo + np.clip(f, 0, 1) * span
    a = np.round(a).astype(np.int64)
    a.flat[0] = lo
    a.flat[-1] = hi
    return a


def depth_range(dtype: str, depth: int) -> tuple[int, int]:
    if np.dtype(dtype).kind == "i":
        return -(1 << (depth - 1)), (1 << (depth - 1)) - 1
    return 0, (1 << depth) - 1


def varnel_codestream(a: np.ndarray, dtype: str, **kw) -> bytes:
    chunk = varnel.htj2k_encode(a.astype(dtype).tobytes(), a.shape, dtype, **kw)
    back = np.frombuffer(varnel.htj2k_decode(chunk, a.shape, dtype), dtype=dtype)
    assert np.array_equal(back.reshape(a.shape), a.astype(dtype))
    return single_plane_codestream(chunk)


def peers_decode(tmp_path, cs: bytes, shape, depth: int, signed: bool, levels: int):
    """Decodes with every peer that is reliable for the case."""
    out = {"opj": opj_decompress(tmp_path, cs, shape, depth, signed)}
    # OpenJPH 0.9 fails on codestreams with more levels than log2 of the size.
    too_many_levels = (1 << levels) > min(shape)
    if not signed and depth <= 16 and not too_many_levels:
        out["ojph"] = ojph_expand(tmp_path, cs, shape, depth, signed)
    if depth <= 16:  # Grok refuses precisions above 16 bits
        out["grk"] = grk_decompress(tmp_path, cs, shape, depth, signed)
    return out


# -- varnel writes, peers read ----------------------------------------------------------

SIZES = [(1, 1), (1, 17), (23, 1), (2, 2), (7, 5), (31, 37), (64, 64), (65, 127), (97, 211),
         (256, 255)]


@pytest.mark.parametrize("shape", SIZES, ids=lambda s: f"{s[0]}x{s[1]}")
@pytest.mark.parametrize("levels", [0, 1, 3, 5, 8])
def test_peers_decode_varnel_sizes_and_levels(tmp_path, shape, levels):
    a = image(shape, 0, 255, seed=shape[0] * 1000 + shape[1] + levels)
    cs = varnel_codestream(a, "uint8", xy_levels=levels)
    for name, got in peers_decode(tmp_path, cs, shape, 8, False, levels).items():
        assert np.array_equal(got, a), name


@pytest.mark.parametrize("progression", PROGRESSIONS)
@pytest.mark.parametrize("index", [True, False])
def test_peers_decode_varnel_progressions(tmp_path, progression, index):
    a = image((150, 203), 0, 4095, seed=5)
    cs = varnel_codestream(a, "uint16", xy_levels=4, progression=progression, index=index)
    for name, got in peers_decode(tmp_path, cs, a.shape, 12, False, 4).items():
        assert np.array_equal(got, a), name


@pytest.mark.parametrize("dtype,levels", list(itertools.product(
    ["uint8", "int8", "uint16", "int16", "uint32", "int32"], [0, 2, 5, 6])))
def test_peers_decode_varnel_depth_limits(tmp_path, dtype, levels):
    # The deepest samples the command-line peers decode (peers.py): K_max 30.
    # Deeper ones, up to the full 32 bits, are judged by imagecodecs below.
    depth = min(np.dtype(dtype).itemsize * 8, peer_max_depth(levels))
    lo, hi = depth_range(dtype, depth)
    a = image((45, 77), lo, hi, seed=levels)
    cs = varnel_codestream(a, dtype, xy_levels=levels)
    signed = np.dtype(dtype).kind == "i"
    for name, got in peers_decode(tmp_path, cs, a.shape, depth, signed, levels).items():
        assert np.array_equal(got.astype(np.int64), a), name


def test_peers_decode_large_plane(tmp_path):
    a = image((2048, 2048), 0, 65535, seed=9)
    cs = varnel_codestream(a, "uint16")
    for name, got in peers_decode(tmp_path, cs, a.shape, 16, False, 5).items():
        assert np.array_equal(got, a), name


@pytest.mark.parametrize("skip", [1, 2, 3])
def test_reduced_resolution_matches_peers(tmp_path, skip):
    """Peers' reduced-resolution output of a varnel codestream agrees between
    OpenJPH and OpenJPEG (and the lower resolutions are what the plane index
    prefix lengths point at)."""
    a = image((300, 421), 0, 255, seed=3)
    cs = varnel_codestream(a, "uint8", xy_levels=5)
    shape = (-(-300 // (1 << skip)), -(-421 // (1 << skip)))
    o = ojph_expand(tmp_path, cs, shape, 8, False, skip_res=skip)
    p = opj_decompress(tmp_path, cs, shape, 8, False, reduce=skip)
    assert np.array_equal(o, p)


# -- peers write, varnel reads -------------------------------------------------------------

def varnel_decode_foreign(cs: bytes, shape, dtype: str) -> np.ndarray:
    chunk = wrap_codestream(cs, shape[0], shape[1], codestream_levels(cs))
    return np.frombuffer(varnel.htj2k_decode(chunk, shape, dtype), dtype=dtype).reshape(shape)


@pytest.mark.parametrize("levels", [0, 1, 2, 3, 4, 5, 6])
@pytest.mark.parametrize("progression", PROGRESSIONS)
def test_varnel_decodes_ojph_levels_and_progressions(tmp_path, levels, progression):
    a = image((133, 190), 0, 4095, seed=levels)
    cs = ojph_compress(tmp_path, a, 12, levels=levels, progression=progression)
    expect = ojph_expand(tmp_path, cs, a.shape, 12, False)
    assert np.array_equal(expect, a)
    assert np.array_equal(varnel_decode_foreign(cs, a.shape, "uint16"), expect)


@pytest.mark.parametrize("depth", [8, 12, 16])
@pytest.mark.parametrize("block", [(64, 64), (32, 32), (16, 64), (64, 16), (8, 8)])
def test_varnel_decodes_ojph_depths_and_blocks(tmp_path, depth, block):
    a = image((101, 77), 0, (1 << depth) - 1, seed=depth)
    cs = ojph_compress(tmp_path, a, depth, levels=4, block=block)
    dtype = "uint8" if depth == 8 else "uint16"
    expect = ojph_expand(tmp_path, cs, a.shape, depth, False)
    assert np.array_equal(varnel_decode_foreign(cs, a.shape, dtype), expect)


@pytest.mark.parametrize("progression", ["RPCL", "RLCP", "LRCP"])
def test_varnel_decodes_ojph_explicit_precincts(tmp_path, progression):
    a = image((300, 257), 0, 255, seed=11)
    cs = ojph_compress(tmp_path, a, 8, levels=3, progression=progression,
                       precincts=[32, 64, 128, 128])
    expect = ojph_expand(tmp_path, cs, a.shape, 8, False)
    assert np.array_equal(varnel_decode_foreign(cs, a.shape, "uint8"), expect)


@pytest.mark.parametrize("depth", [8, 12, 16])
def test_varnel_decodes_ojph_signed(tmp_path, depth):
    """OpenJPH misreads signed raw input and clamps signed output, so its
    signed codestreams are judged by OpenJPEG. The misread input reconstructs
    partly outside the declared signed range: OpenJPEG clamps such samples,
    varnel leaves signed samples as reconstructed (its chunk decoder then
    range-checks them against the dtype), so they agree after clamping."""
    lo, hi = depth_range("int16", depth)
    a = image((64, 90), lo, hi, seed=depth)
    cs = ojph_compress(tmp_path, a, depth, signed=True, levels=3)
    siz = cs.index(b"\xff\x51") + 4          # SIZ payload; Ssiz of component 0 at 36
    assert cs[siz + 36] & 0x80, "codestream declares signed samples"
    expect = opj_decompress(tmp_path, cs, a.shape, depth, True).astype(np.int64)
    got = varnel_decode_foreign(cs, a.shape, "int32").astype(np.int64)
    assert np.array_equal(np.clip(got, lo, hi), expect)


@pytest.mark.parametrize("shape", [(1, 1), (3, 5), (17, 1), (1, 33), (61, 59)])
def test_varnel_decodes_ojph_odd_sizes(tmp_path, shape):
    a = image(shape, 0, 255, seed=shape[0])
    cs = ojph_compress(tmp_path, a, 8, levels=2)
    expect = opj_decompress(tmp_path, cs, shape, 8, False)
    assert np.array_equal(varnel_decode_foreign(cs, shape, "uint8"), expect)


def test_irreversible_is_refused(tmp_path):
    a = image((64, 64), 0, 255, seed=1)
    src = tmp_path / "in.pgm"
    src.write_bytes(b"P5\n64 64\n255\n" + a.astype(np.uint8).tobytes())
    out = tmp_path / "lossy.j2c"
    import subprocess
    subprocess.run(["ojph_compress", "-i", str(src), "-o", str(out), "-reversible", "false",
                    "-qstep", "0.01"], check=True, capture_output=True)
    with pytest.raises(ValueError, match="^unsupported: "):
        varnel_decode_foreign(out.read_bytes(), a.shape, "uint8")


@pytest.mark.parametrize("option", [["-tile_size", "{32,32}"], ["-image_offset", "{3,5}"]])
def test_out_of_subset_ojph_is_refused(tmp_path, option):
    a = image((64, 64), 0, 255, seed=2)
    src = tmp_path / "in.pgm"
    src.write_bytes(b"P5\n64 64\n255\n" + a.astype(np.uint8).tobytes())
    out = tmp_path / "x.j2c"
    import subprocess
    subprocess.run(["ojph_compress", "-i", str(src), "-o", str(out), "-reversible", "true"]
                   + option, check=True, capture_output=True)
    with pytest.raises(ValueError, match="^unsupported: "):
        varnel_decode_foreign(out.read_bytes(), a.shape, "uint8")


# -- 32-bit samples through OpenJPH inside imagecodecs, both ways ------------------------------

try:
    import imagecodecs
except ImportError:  # Python 3.11's test environment has no imagecodecs
    imagecodecs = None

needs_imagecodecs = pytest.mark.skipif(imagecodecs is None, reason="needs imagecodecs")
FILLS = ["zero", "extremes", "alternating", "random", "image"]


def full_range(dtype: str, fill: str, shape=(45, 77), seed=0) -> np.ndarray:
    """A plane of `dtype` spanning its whole range in the pattern `fill`."""
    info = np.iinfo(dtype)
    lo, hi = int(info.min), int(info.max)
    rng = np.random.default_rng(seed)
    if fill == "zero":
        a = np.zeros(shape, np.int64)
    elif fill == "extremes":  # max everywhere, min in one row and one column
        a = np.full(shape, hi, np.int64)
        a[shape[0] // 2] = lo
        a[:, shape[1] // 3] = lo
    elif fill == "alternating":
        a = np.where(np.indices(shape).sum(axis=0) % 2, lo, hi)
    elif fill == "random":
        a = rng.integers(lo, hi, size=shape, endpoint=True)
    else:
        a = image(shape, lo, hi, seed)
    return a.astype(dtype)


@needs_imagecodecs
@pytest.mark.parametrize("levels", [0, 1, 2, 3, 4, 5, 6, 7, 8])
@pytest.mark.parametrize("fill", FILLS)
@pytest.mark.parametrize("dtype", ["uint32", "int32"])
def test_imagecodecs_decodes_varnel_32_bit(dtype, fill, levels):
    a = full_range(dtype, fill, seed=levels)
    cs = varnel_codestream(a, dtype, xy_levels=levels)
    np.testing.assert_array_equal(imagecodecs.htj2k_decode(cs), a)
    if levels:
        # One resolution down the low-pass samples may overshoot the range:
        # varnel clips them to it, OpenJPH wraps them modulo 2^32; the rest
        # must agree.
        chunk = varnel.htj2k_encode(a.tobytes(), a.shape, dtype, xy_levels=levels)
        shape = tuple(-(-n // 2) for n in a.shape)
        ours = np.frombuffer(varnel.htj2k_decode_reduced(chunk, a.shape, dtype, 1), dtype).reshape(shape)
        theirs = imagecodecs.htj2k_decode(cs, skipres=1)
        info = np.iinfo(dtype)
        inside = (ours != info.min) & (ours != info.max)
        np.testing.assert_array_equal(theirs[inside], ours[inside])


@needs_imagecodecs
@pytest.mark.parametrize("resolutions", [1, 2, 3, 6, 7, 9])
@pytest.mark.parametrize("fill", FILLS)
@pytest.mark.parametrize("dtype", ["uint32", "int32"])
def test_varnel_decodes_imagecodecs_32_bit(dtype, fill, resolutions):
    """Judged by OpenJPH's own decode: without a wavelet level imagecodecs
    does not round-trip 32-bit samples itself (its output comes back shifted
    by 2^31 in places), and varnel reads what its decode reads."""
    a = full_range(dtype, fill, shape=(70, 131), seed=resolutions)
    cs = imagecodecs.htj2k_encode(a, resolutions=resolutions)
    expect = imagecodecs.htj2k_decode(cs)
    if resolutions > 1:
        np.testing.assert_array_equal(expect, a)
    np.testing.assert_array_equal(varnel_decode_foreign(cs, a.shape, dtype), expect)
