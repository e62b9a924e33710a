"""varnel.numcodecs: the codecs on their own (buffers in, `out` and dtype on
the way back, configuration) and as compressors of zarr format 2 arrays,
including arrays written with numcodecs' own ZFPY codec."""

from __future__ import annotations

import json
import re

import numpy as np
import pytest

numcodecs = pytest.importorskip("numcodecs")

from varnel.numcodecs import Htj2k, Zfp  # noqa: E402


def ramp(dtype, shape):
    return (np.arange(np.prod(shape)) % 200 - (0 if np.dtype(dtype).kind == "u" else 100)).astype(dtype).reshape(shape)


@pytest.mark.parametrize("codec", [Htj2k(), Htj2k(xy_levels=1, progression="PCRL", index=False, dtype="<i4"),
                                   Zfp(), Zfp(mode="fixed_accuracy", tolerance=0.25, dtype="float32"),
                                   Zfp(mode="fixed_rate", rate=12, dims=2)])
def test_configuration_round_trips_and_registers(codec):
    config = json.loads(json.dumps(codec.get_config()))
    assert numcodecs.get_codec(config) == codec
    assert type(codec).from_config(config).get_config() == config
    with pytest.raises(ValueError, match=f"^{codec.codec_id}: unknown configuration key \"shape\""):
        type(codec).from_config({**config, "shape": [2, 2]})


# how the chunk is handed to encode
INPUTS = {
    "array": lambda a: a,
    "memoryview": lambda a: memoryview(a),
    "F-ordered": lambda a: np.asfortranarray(a.T),  # its memory is `a`
}


@pytest.mark.parametrize("codec, dtype", [(Htj2k(dtype="uint16"), "uint16"), (Htj2k(dtype="int8"), "int8"),
                                          (Zfp(), "float64"), (Zfp(dtype="int16"), "int16")])
@pytest.mark.parametrize("given", list(INPUTS))
def test_inputs_code_as_the_chunk_in_memory(codec, dtype, given):
    a = ramp(dtype, (3, 20, 30))
    blob = codec.encode(INPUTS[given](a))
    assert blob == codec.encode(a)
    np.testing.assert_array_equal(codec.decode(blob, out=np.empty_like(a)), a)


def test_decode_needs_a_dtype_and_never_takes_the_sample_depth():
    a = ramp("uint16", (20, 30))  # values below 200: coded as 8-bit samples
    blob = Htj2k(dtype="uint16").encode(a)
    with pytest.raises(ValueError, match="^varnel.htj2k: decode needs a dtype"):
        Htj2k().decode(blob)
    back = Htj2k(dtype="uint16").decode(blob)
    assert back.dtype == np.uint16 and back.shape == a.shape
    np.testing.assert_array_equal(back, a)
    with pytest.raises(ValueError, match="^varnel.htj2k: the chunk's dtype <u2 is not the codec's dtype <i4"):
        Htj2k(dtype="int32").encode(a)
    # decode would give native order back, which a zarr format 2 array would misread
    with pytest.raises(ValueError, match="^varnel.zfp: a chunk of dtype >f4 needs the codec's dtype set"):
        Zfp().encode(a.astype(">f4"))


OUTS = [  # out, and what decode must give back in it
    (lambda: np.empty((20, 30), np.uint16), None),
    (lambda: np.empty(600, np.uint16), None),  # flat
    (lambda: np.empty((20, 30), np.int32), None),  # the out's dtype decides
    (lambda: np.empty((20, 30), ">u2"), None),
    (lambda: np.empty((30, 20), np.uint16, order="F"), None),
    (lambda: np.empty((20, 30), np.uint8), None),  # values fit 8 bits
    (lambda: np.empty((20, 31), np.uint16), "out holds 620 elements, the chunk of shape (20, 30) has 600"),
    (lambda: np.empty((20, 60), np.uint16)[:, ::2], "out must be a writeable contiguous buffer"),
    (lambda: np.empty((20, 30), np.float32), 'htj2k has no integer path for dtype "float32"'),
]


@pytest.mark.parametrize("make_out, error", OUTS)
def test_decode_into_out(make_out, error):
    a = ramp("uint16", (20, 30))
    blob = Htj2k(dtype="uint16").encode(a)
    out = make_out()
    if error:
        with pytest.raises(ValueError, match="^varnel.htj2k: " + re.escape(error)):
            Htj2k().decode(blob, out=out)
        return
    assert Htj2k().decode(blob, out=out) is out
    np.testing.assert_array_equal(np.asarray(out).reshape(-1, order="A"), a.reshape(-1))


@pytest.mark.parametrize("dtype", ["float32", "float64", "int64", "int32", "uint8", "int16"])
def test_zfp_decode_without_dtype_gives_the_streams_type(dtype):
    a = ramp(dtype, (10, 12))
    if np.dtype(dtype).itemsize < 4:  # coded as int32: decode could not tell the type
        with pytest.raises(ValueError, match=f'^varnel.zfp: cannot encode .*give the codec dtype="{dtype}"$'):
            Zfp().encode(a)
        blob = Zfp(dtype=dtype).encode(a)
        assert Zfp().decode(blob).dtype == np.int32  # a size mismatch for the array's reader
    else:
        blob = Zfp().encode(a)
        back = Zfp().decode(blob)
        assert back.dtype == a.dtype
        np.testing.assert_array_equal(back, a)
    np.testing.assert_array_equal(Zfp(dtype=dtype).decode(blob), a)


# what codec.encode(x) must refuse, and with which exception and words
REFUSED = [
    (Htj2k(), ramp("uint16", (4, 6)), ValueError,
     r'cannot encode the chunk of shape \(4, 6\) and dtype uint16: the codec has no dtype.*dtype="uint16"$'),
    (Htj2k(dtype="uint8"), np.array([[b"a", b"b"]], dtype=object), TypeError, "cannot encode an object array"),
    (Zfp(), np.array(["a", "b"], dtype=object), TypeError, "cannot encode an object array"),
    (Zfp(), np.zeros((1, 1, 1, 8, 8)), ValueError,
     r"cannot encode the chunk of shape \(1, 1, 1, 8, 8\) and dtype float64: zfp: chunk shape \[1, 1, 1, 8, 8\] has 5 dimensions .*dims=N"),
]


@pytest.mark.parametrize("codec, chunk, error, message", REFUSED)
def test_encode_refusals(codec, chunk, error, message):
    with pytest.raises(error, match=f"^{codec.codec_id}: {message}"):
        codec.encode(chunk)


@pytest.mark.parametrize("codec, chunk", [(Htj2k(dtype="uint16"), ramp("uint16", (4, 6))),
                                          (Zfp(), np.linspace(0, 1, 10))])
def test_decode_into_an_object_array_is_a_type_error(codec, chunk):
    with pytest.raises(TypeError, match=f"^{codec.codec_id}: cannot decode into an object array"):
        codec.decode(codec.encode(chunk), out=np.empty(chunk.size, dtype=object))


@pytest.mark.parametrize("codec, blob, reason", [
    (Htj2k(dtype="u1"), b"", "malformed codestream at byte 0: chunk header prefix too short"),
    (Htj2k(dtype="u1"), b"vrht\x02\x00\x05\x02", "malformed codestream at byte 4: unsupported htj2k chunk"),
    (Zfp(dtype="f4"), b"zfp\x04" + bytes(20), "not a zfp stream"),
    (Zfp(dtype="f4"), Zfp().encode(np.zeros(3, "i4")), "varnel_zfp: stream holds int32 samples, expected float"),
    (Zfp(), bytes(7), "not a zfp stream"),
    (Zfp(), Zfp().encode(np.zeros(10**6, "f4"))[:16], "a stream of 16 bytes cannot hold the 1000000 values"),
    (Zfp(), Zfp().encode(np.linspace(0, 1, 100))[:-8], "at byte 576: varnel_zfp decompress: stream truncated$"),
])
def test_undecodable_bytes_name_the_codec(codec, blob, reason):
    with pytest.raises(ValueError, match=f"^{codec.codec_id}: cannot decode.*{reason}"):
        codec.decode(blob)


# --- zarr format 2 -------------------------------------------------------------

try:
    import zarr
except ImportError:
    zarr = None
try:
    from numcodecs.zfpy import ZFPY
except ImportError:  # no zfpy (or one numcodecs cannot use)
    ZFPY = None
needs_zarr = pytest.mark.skipif(zarr is None, reason="zarr is not installed")


@needs_zarr

@pytest.mark.parametrize("codec, dtype, order, chunks", [
    (Htj2k(dtype="uint8"), "uint8", "C", (3, 1, 32, 32)),
    (Htj2k(dtype=">i2"), ">i2", "C", (3, 1, 32, 32)),
    (Htj2k(dtype="uint32"), "uint32", "F", (3, 1, 32, 32)),
    (Zfp(dtype="float32"), "float32", "C", (3, 1, 32, 32)),
    (Zfp(), "float64", "F", (3, 1, 32, 32)),
    (Zfp(dtype=">f8"), ">f8", "F", (3, 1, 32, 32)),
    (Zfp(dtype="uint16", dims=2), "uint16", "C", (1, 1, 32, 32)),
])
def test_zarr_v2_round_trip(codec, dtype, order, chunks, tmp_path):
    a = ramp(dtype, (4, 1, 50, 37))
    z = zarr.create_array(tmp_path, shape=a.shape, chunks=chunks, dtype=dtype, order=order,
                          zarr_format=2, compressors=codec)
    z[:] = a
    back = zarr.open_array(tmp_path, mode="r")[:]
    assert back.dtype == np.dtype(dtype)
    np.testing.assert_array_equal(back, a)


MIGRATIONS = [  # ZFPY's settings (zfpy's mode numbers), and varnel's for the same streams
    (dict(), dict(mode="reversible")),  # ZFPY's default tolerance -1 is zfp's reversible mode
    (dict(mode=4, tolerance=1e-3), dict(mode="fixed_accuracy", tolerance=1e-3)),
    (dict(mode=3, precision=14), dict(mode="fixed_precision", precision=14)),
    (dict(mode=2, rate=10), dict(mode="fixed_rate", rate=10)),
]


@needs_zarr
@pytest.mark.skipif(ZFPY is None, reason="numcodecs' ZFPY codec needs zfpy")
@pytest.mark.parametrize("theirs, ours, dtype", [
    (theirs, ours, dtype) for theirs, ours in MIGRATIONS for dtype in ("float32", "float64", "int64", "int32")
    if "tolerance" not in theirs or dtype.startswith("float")  # zfp's accuracy mode is for floats
])
def test_arrays_written_with_zfpy_read_through_varnel(theirs, ours, dtype, tmp_path):
    a = np.cumsum(np.random.default_rng(1).standard_normal((3, 40, 45)) * 1000, axis=2).astype(dtype)
    z = zarr.create_array(tmp_path, shape=a.shape, chunks=(2, 16, 32), dtype=dtype, zarr_format=2,
                          compressors=ZFPY(**theirs))
    z[:] = a
    expected = z[:]
    # Migrating is rewriting the compressor in the metadata: the chunks stay.
    meta = json.loads((tmp_path / ".zarray").read_text())
    meta["compressor"] = Zfp(**ours).get_config()
    (tmp_path / ".zarray").write_text(json.dumps(meta))
    back = zarr.open_array(tmp_path, mode="r")[:]
    np.testing.assert_array_equal(back, expected)
    if ours["mode"] == "reversible":
        np.testing.assert_array_equal(back, a)


@needs_zarr
def test_a_stream_decoded_to_its_own_type_never_reads_as_other_values(tmp_path):
    """An int16 array's chunks are int32 fields: read by a codec without its
    dtype, they come back as int32, which the array's reader refuses."""
    a = ramp("int16", (20, 30))
    z = zarr.create_array(tmp_path, shape=a.shape, chunks=(20, 30), dtype="int16", zarr_format=2,
                          compressors=Zfp(dtype="int16"))
    z[:] = a
    meta = json.loads((tmp_path / ".zarray").read_text())
    meta["compressor"] = Zfp().get_config()
    (tmp_path / ".zarray").write_text(json.dumps(meta))
    with pytest.raises(ValueError):
        zarr.open_array(tmp_path, mode="r")[:]
