"""NaN and infinities through zfp's lossy modes in the codec classes
(varnel.zarr.Zfp, varnel.numcodecs.Zfp): they come back bit for bit, the
finite values keep the mode's bound, a chunk without them stays zfpy's
stream, and a framed chunk that does not hold together is a ValueError."""

from __future__ import annotations

import struct

import numpy as np
import pytest

zarr = pytest.importorskip("zarr")
pytest.importorskip("numcodecs")
zfpy = pytest.importorskip("zfpy")

import varnel  # noqa: E402
import varnel.numcodecs  # noqa: E402
import varnel.zarr  # noqa: E402
from varnel import _codecs  # noqa: E402

LOSSY = {"fixed_accuracy": dict(tolerance=1e-3), "fixed_precision": dict(precision=16),
         "fixed_rate": dict(rate=8.0)}
ZFPY_ARGS = {"fixed_accuracy": dict(tolerance=1e-3), "fixed_precision": dict(precision=16),
             "fixed_rate": dict(rate=8.0)}
SHAPE = (40, 52)  # not a multiple of 4 on either axis: edge blocks too
BITS = {np.dtype("float32"): np.uint32, np.dtype("float64"): np.uint64}


def smooth(shape, dtype):
    grids = np.meshgrid(*[np.linspace(0, 3, n) for n in shape], indexing="ij")
    return (np.sin(sum(grids)) + 0.3 * np.cos(2 * grids[-1])).astype(dtype)


def land(shape):
    """About 40 % of the chunk, one contiguous region: a continent."""
    y, x = np.indices(shape)
    return (x - shape[1] * 0.15) ** 2 + (y - shape[0] * 0.6) ** 2 * 1.3 < (0.42 * shape[1]) ** 2


def content(kind, dtype):
    a = smooth(SHAPE, dtype)
    rng = np.random.default_rng(3)
    if kind == "scattered NaN":
        a[rng.random(SHAPE) < 0.07] = np.nan
    elif kind == "inf mix":
        pick = rng.random(SHAPE)
        a[pick < 0.03] = np.inf
        a[(pick >= 0.03) & (pick < 0.06)] = -np.inf
        a[(pick >= 0.06) & (pick < 0.08)] = np.nan
    elif kind == "NaN payloads":
        u = BITS[a.dtype]
        top = u(1) << u(8 * a.itemsize - 1)  # the sign bit
        exponent = {np.uint32: 0x7F800000, np.uint64: 0x7FF0000000000000}[u]
        where = np.flatnonzero(rng.random(SHAPE) < 0.05)
        payload = rng.integers(1, 1 << 20, size=where.size).astype(u)
        signs = np.where(rng.random(where.size) < 0.5, top, u(0)).astype(u)
        a.view(u).reshape(-1)[where] = u(exponent) | payload | signs
    elif kind == "all NaN":
        a[...] = np.nan
    elif kind == "land mask":
        a[land(SHAPE)] = np.nan
    return a


def zarr_v3(mode, a):
    store = {}
    z = zarr.create_array(store, shape=a.shape, chunks=a.shape, dtype=a.dtype, compressors=None,
                          serializer=varnel.zarr.Zfp(mode=mode, **LOSSY[mode]), fill_value=np.nan,
                          config={"write_empty_chunks": True})
    z[...] = a
    (chunk,) = [v.to_bytes() for k, v in store.items() if k.startswith("c/")]
    return z[...], chunk


def zarr_v2(mode, a):
    store = {}
    z = zarr.create_array(store, shape=a.shape, chunks=a.shape, dtype=a.dtype, zarr_format=2,
                          compressors=varnel.numcodecs.Zfp(mode=mode, **LOSSY[mode]), fill_value=np.nan,
                          config={"write_empty_chunks": True})
    z[...] = a
    (chunk,) = [v.to_bytes() for k, v in store.items() if k == "0.0"]
    return z[...], chunk


def numcodec(mode, a):
    codec = varnel.numcodecs.Zfp(mode=mode, **LOSSY[mode])
    chunk = codec.encode(a)
    return codec.decode(chunk), bytes(chunk)


FAMILIES = {"zarr v3": zarr_v3, "zarr v2": zarr_v2, "numcodecs": numcodec}
CONTENTS = ["scattered NaN", "inf mix", "NaN payloads", "all NaN", "land mask", "finite"]


def finite_bound(mode, dtype):
    """The largest error the finite values may have: the tolerance; twice
    what zfp makes of the field with no value masked at a fixed precision
    (a hole takes a value inside its block's range, so the block's exponent
    and the precision's bound stay); at a fixed rate, which bounds only the
    size, 1/256 of the field's range (8 bits a value: a block with holes has
    more to code in the same bits)."""
    if mode == "fixed_accuracy":
        return LOSSY[mode]["tolerance"]
    full = smooth(SHAPE, dtype)
    if mode == "fixed_rate":
        return float(full.max() - full.min()) / 256
    back = zfpy.decompress_numpy(zfpy.compress_numpy(full, **ZFPY_ARGS[mode]))
    return 2 * float(np.abs(back - full).max())


@pytest.mark.parametrize("dtype", ["float32", "float64"])
@pytest.mark.parametrize("family", list(FAMILIES))
@pytest.mark.parametrize("kind", CONTENTS)
@pytest.mark.parametrize("mode", list(LOSSY))
def test_non_finite_values_come_back_exactly(mode, kind, family, dtype):
    a = content(kind, dtype)
    back, chunk = FAMILIES[family](mode, a)
    assert back.dtype == a.dtype and back.shape == a.shape
    bad = ~np.isfinite(a)
    u = BITS[a.dtype]
    np.testing.assert_array_equal(~np.isfinite(back), bad)
    np.testing.assert_array_equal(back.view(u)[bad], a.view(u)[bad])  # the bits: payloads and signs
    if bad.all():
        assert chunk[:4] == b"vznf"
        return
    error = float(np.abs(back[~bad].astype(np.float64) - a[~bad]).max())
    assert error <= finite_bound(mode, dtype)
    if kind == "finite":
        assert chunk == zfpy.compress_numpy(a, **ZFPY_ARGS[mode])  # zfpy's stream, byte for byte
    else:
        # The finite values are what zfp makes of the finite field inside the
        # frame (the holes filled), which zfpy reads.
        assert chunk[:5] == b"vznf\x01"
        inner = zfpy.decompress_numpy(chunk[16:record_start(chunk)])
        assert np.isfinite(inner).all()
        np.testing.assert_array_equal(back[~bad], inner[~bad])
    if mode == "fixed_rate" and kind != "finite":
        # The record comes on top of the fixed size.
        fixed = len(zfpy.compress_numpy(np.nan_to_num(a), **ZFPY_ARGS[mode]))
        assert struct.unpack_from("<Q", chunk, 8)[0] == fixed and len(chunk) > 16 + fixed


@pytest.mark.parametrize("dtype", ["float32", "float64"])
@pytest.mark.parametrize("mode", list(LOSSY))
def test_varnel_reads_what_zfpy_wrote_and_the_other_way_for_finite_chunks(mode, dtype):
    a = smooth((33, 17), dtype)
    codec = varnel.numcodecs.Zfp(mode=mode, **LOSSY[mode])
    stream = zfpy.compress_numpy(a, **ZFPY_ARGS[mode])
    np.testing.assert_array_equal(codec.decode(stream), zfpy.decompress_numpy(stream))
    assert codec.encode(a) == stream


@pytest.mark.parametrize("serializer", ["zarr v3", "zarr v2"])
@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_edge_chunks_padded_with_nan(serializer, dtype):
    """xarray's case without xarray: fill_value NaN and a shape that is not a
    multiple of the chunks, so zarr pads every edge chunk with NaN; a region
    never written reads back as NaN; an all-NaN chunk is written too."""
    codec_kw = dict(mode="fixed_accuracy", tolerance=1e-3)
    store = {}
    common = dict(shape=(150, 190), chunks=(64, 64), dtype=dtype, fill_value=np.nan,
                  config={"write_empty_chunks": True})
    if serializer == "zarr v3":
        z = zarr.create_array(store, serializer=varnel.zarr.Zfp(**codec_kw), compressors=None, **common)
    else:
        z = zarr.create_array(store, zarr_format=2, compressors=varnel.numcodecs.Zfp(**codec_kw), **common)
    a = smooth((150, 190), dtype)
    a[land((150, 190))] = np.nan
    a[:, 180:] = np.nan
    z[:] = a
    z[128:, :64] = np.nan  # a whole chunk of NaN (64 x 64 at the corner), written
    a[128:, :64] = np.nan
    back = zarr.open_array(store)[:]
    bad = np.isnan(a)
    np.testing.assert_array_equal(np.isnan(back), bad)
    assert np.abs(back[~bad] - a[~bad]).max() <= 1e-3
    assert len([k for k in store if k.startswith("c/") or k[0].isdigit()]) == 9  # all 3 x 3 chunks stored


def test_a_land_mask_costs_no_more_than_the_values_it_hides():
    """A smooth field with a contiguous 30-40 % land mask (NaN) stores in
    fewer bytes than the same field without the mask."""
    shape = (256, 256)
    a = smooth(shape, "float32")
    a += 0.05 * np.sin(np.indices(shape)[0] / 3.0).astype(np.float32)
    masked = a.copy()
    mask = land(shape)
    masked[mask] = np.nan
    assert 0.3 <= mask.mean() <= 0.45
    for mode in LOSSY:
        store_a, store_m = {}, {}
        for store, data in ((store_a, a), (store_m, masked)):
            z = zarr.create_array(store, shape=shape, chunks=(64, 64), dtype="float32", compressors=None,
                                  serializer=varnel.zarr.Zfp(mode=mode, **LOSSY[mode]), fill_value=np.nan)
            z[:] = data
        size = lambda s: sum(len(v.to_bytes()) for k, v in s.items() if k.startswith("c/"))  # noqa: E731
        if mode == "fixed_rate":  # the stream's size is fixed: only the record is added
            assert size(store_m) <= size(store_a) * 1.1
        else:
            assert size(store_m) <= size(store_a)


# --- the module functions and the framing -------------------------------------

def test_module_functions_stay_plain_zfp():
    """varnel_zfp_encode codes non-finite values as zfp does (zfpy's stream),
    and varnel_zfp_decode refuses a framed chunk by its zfp header check, as
    a varnel that predates the frame does."""
    a = content("inf mix", "float64")
    assert varnel.varnel_zfp_encode(a.tobytes(), a.shape, "float64", mode="fixed_accuracy",
                                    tolerance=1e-3) == zfpy.compress_numpy(a, tolerance=1e-3)
    framed = _codecs.zfp_encode(a, a.shape, "float64", mode="fixed_accuracy", tolerance=1e-3)
    with pytest.raises(ValueError, match="invalid ZFP header magic"):
        varnel.varnel_zfp_decode(framed, a.shape, "float64", mode="fixed_accuracy", tolerance=1e-3)
    with pytest.raises(ValueError):
        zfpy.decompress_numpy(framed)


def framed_chunk(dtype="float32", mode="fixed_accuracy"):
    a = content("inf mix", dtype)
    return a, _codecs.zfp_encode(a, a.shape, dtype, mode=mode, **LOSSY[mode])


def decode(chunk, a, mode="fixed_accuracy"):
    out = np.empty_like(a)
    _codecs.zfp_decode_into(chunk, a.shape, a.dtype.name, out, mode=mode, **LOSSY[mode])
    return out


def record_start(chunk):
    return 16 + struct.unpack_from("<Q", chunk, 8)[0]


def test_framed_chunk_decodes_from_any_buffer():
    a, chunk = framed_chunk()
    for form in (chunk, bytearray(chunk), memoryview(chunk), np.frombuffer(chunk, np.uint8)):
        np.testing.assert_array_equal(decode(form, a).view(np.uint32), decode(chunk, a).view(np.uint32))
    odd = bytearray(len(chunk) + 1)
    odd[1:] = chunk  # a misaligned chunk
    np.testing.assert_array_equal(decode(memoryview(odd)[1:], a).view(np.uint32), decode(chunk, a).view(np.uint32))


def malformed_chunks():
    a, chunk = framed_chunk()
    r = record_start(chunk)
    length = struct.unpack_from("<Q", chunk, 8)[0]
    cases = {f"cut at {n}": chunk[:n] for n in (3, 4, 8, 15, 16, 40, r - 1, r, r + 1, r + 5, len(chunk) - 1)}
    cases["version 2"] = chunk[:4] + b"\x02" + chunk[5:]
    cases["reserved byte"] = chunk[:6] + b"\x01" + chunk[7:]
    cases["stream length past the end"] = chunk[:8] + struct.pack("<Q", len(chunk)) + chunk[16:]
    cases["stream length huge"] = chunk[:8] + struct.pack("<Q", 2**63) + chunk[16:]
    cases["stream length short"] = chunk[:8] + struct.pack("<Q", length - 8) + chunk[16:]
    cases["mask longer than the chunk"] = chunk + bytes([1 << 2 | 0])  # one more block run
    cases["a byte left over"] = chunk + b"\0"
    cases["count zero"] = chunk[:r] + b"\x00" + chunk[r + 1:]
    cases["count larger than the chunk"] = chunk[:r] + b"\xff\xff\x7f" + chunk[r + 1:]
    count = chunk[r]  # a one-byte varint for this chunk? (checked below)
    cases["count one less"] = chunk[:r] + bytes([count - 1]) + chunk[r + 1:]
    cases["count too long a varint"] = chunk[:r] + b"\xff" * 11 + chunk[r + 1:]
    cases["no record"] = chunk[:r]
    return a, chunk, cases


@pytest.mark.parametrize("case", list(malformed_chunks()[2]))
def test_malformed_framed_chunks_are_value_errors(case):
    a, chunk, cases = malformed_chunks()
    with pytest.raises(ValueError):
        decode(cases[case], a)
    with pytest.raises(ValueError):
        varnel.numcodecs.Zfp(mode="fixed_accuracy", tolerance=1e-3).decode(cases[case])


def test_every_truncation_and_every_byte_flip_of_the_record_is_refused_or_decodes():
    """Never a crash: every prefix of a framed chunk is a ValueError, and a
    changed record byte is a ValueError or decodes (to other values)."""
    a, chunk = framed_chunk("float64", "fixed_precision")
    for n in range(len(chunk)):
        with pytest.raises(ValueError):
            decode(chunk[:n], a, "fixed_precision")
    r = record_start(chunk)
    for i in range(r, len(chunk)):
        for flip in (0x01, 0x80, 0xFF):
            bad = bytearray(chunk)
            bad[i] ^= flip
            try:
                decode(bytes(bad), a, "fixed_precision")
            except ValueError:
                pass


def test_a_framed_chunk_outside_lossy_float_modes_is_refused():
    a, chunk = framed_chunk()
    out = np.empty_like(a)
    with pytest.raises(ValueError, match="only lossy float chunks are framed"):
        _codecs.zfp_decode_into(chunk, a.shape, "float32", out, mode="reversible")
    with pytest.raises(ValueError, match="only lossy float chunks are framed"):
        _codecs.zfp_decode_into(chunk, a.shape, "int32", out.view(np.int32), mode="fixed_accuracy",
                                tolerance=1e-3)


def test_the_record_of_a_land_mask_is_small():
    a = content("land mask", "float32")
    chunk = _codecs.zfp_encode(a, a.shape, "float32", mode="fixed_accuracy", tolerance=1e-3)
    # Block rows crossing the coast: a few bytes each, far below a bitmask.
    assert len(chunk) - record_start(chunk) < a.size / 8 / 2


def test_reversible_keeps_them_plain():
    a = content("NaN payloads", "float32")
    codec = varnel.numcodecs.Zfp()
    chunk = codec.encode(a)
    assert chunk[:3] == b"zfp"
    np.testing.assert_array_equal(codec.decode(chunk).view(np.uint32), a.view(np.uint32))
