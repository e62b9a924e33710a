"""varnel._codecs: the buffer entry points of the codec classes. Encoding
from any C-contiguous buffer gives the bytes that varnel._varnel gives for
the same elements; decoding into a buffer writes exactly what the bytes path
returns; wrong buffers are refused by name."""

from __future__ import annotations

import array
import inspect

import numpy as np
import pytest

from varnel import _codecs as c
from varnel import _varnel as v

NAMES = ["htj2k_encode", "htj2k_decode_into", "htj2k_decode_reduced", "zfp_encode",
         "zfp_decode_into"]


def test_module_lists_its_functions():
    assert c.__all__ == NAMES
    assert sorted(n for n in dir(c) if not n.startswith("__")) == sorted(NAMES)
    assert c.__name__ == "varnel._codecs"
    for name in NAMES:
        assert getattr(c, name).__module__ == "varnel._codecs"


@pytest.mark.parametrize("name,params", [
    ("htj2k_encode", "chunk, shape, dtype, *, xy_levels=5, progression='RPCL', index=True, checksums=False"),
    ("htj2k_decode_into", "chunk, shape, dtype, out"),
    ("htj2k_decode_reduced", "chunk, shape, dtype, reduce"),
    ("zfp_encode", "chunk, shape, dtype, *, mode='reversible', rate=None, tolerance=None, "
                   "precision=None, dims=None"),
    ("zfp_decode_into", "chunk, shape, dtype, out, *, mode='reversible', rate=None, "
                        "tolerance=None, precision=None, dims=None"),
])
def test_signatures(name, params):
    assert str(inspect.signature(getattr(c, name))) == f"({params})"


def buffer_forms(a: np.ndarray):
    """The same elements as bytes, bytearray, memoryview, array and ndarray."""
    raw = a.tobytes()
    return [raw, bytearray(raw), memoryview(raw), memoryview(a), a,
            a.view(np.uint8).reshape(-1), array.array("B", raw), np.asfortranarray(a.T).T]


HTJ2K = [((40, 33), "uint16"), ((3, 17, 9), "int8"), ((2, 2, 5, 70), "int32")]
ZFP = [((40, 33), "float32", {}), ((3, 17, 9), "int32", {}),
       ((16, 16), "float64", {"mode": "fixed_rate", "rate": 12.0}),
       ((7, 9), "uint8", {"mode": "fixed_precision", "precision": 10, "dims": 2})]


def image(shape, dtype, seed=0):
    rng = np.random.default_rng(seed)
    if np.dtype(dtype).kind == "f":
        return rng.standard_normal(shape).astype(dtype)
    info = np.iinfo(dtype)
    return rng.integers(max(info.min, -1000), min(info.max, 1000) + 1, shape).astype(dtype)


class TestEncode:
    @pytest.mark.parametrize("shape,dtype", HTJ2K)
    def test_htj2k_every_buffer_form_gives_the_bytes_path_result(self, shape, dtype):
        a = image(shape, dtype)
        expected = v.htj2k_encode(a.tobytes(), shape, dtype, xy_levels=3, progression="CPRL")
        for form in buffer_forms(a):
            assert c.htj2k_encode(form, shape, dtype, xy_levels=3, progression="CPRL") == expected

    @pytest.mark.parametrize("shape,dtype,config", ZFP)
    def test_zfp_every_buffer_form_gives_the_bytes_path_result(self, shape, dtype, config):
        a = image(shape, dtype)
        expected = v.varnel_zfp_encode(a.tobytes(), shape, dtype, **config)
        for form in buffer_forms(a):
            assert c.zfp_encode(form, shape, dtype, **config) == expected

    @pytest.mark.parametrize("encode", [c.htj2k_encode, c.zfp_encode])
    def test_non_contiguous_object_and_non_buffers_are_refused(self, encode):
        a = image((8, 10), "int32")
        for strided in (a[:, ::2], a.T, memoryview(a.tobytes())[::2]):
            with pytest.raises(ValueError, match="argument 'chunk': the buffer is not C-contiguous"):
                encode(strided, (8, 5), "int32")
        with pytest.raises(TypeError, match="argument 'chunk': a bytes-like object is required"):
            encode("abc", (8, 10), "int32")
        with pytest.raises(ValueError, match="argument 'chunk': the buffer holds Python objects"):
            encode(a.astype(object), (8, 20), "int32")

    def test_buffer_length_is_checked_as_on_the_bytes_path(self):
        a = image((8, 10), "uint16")
        with pytest.raises(ValueError, match=r"needs 160 bytes, got 80"):
            c.htj2k_encode(a.astype(np.uint8), (8, 10), "uint16")
        with pytest.raises(ValueError) as ours:
            c.zfp_encode(a[:4], (8, 10), "uint16")
        with pytest.raises(ValueError) as theirs:
            v.varnel_zfp_encode(a[:4].tobytes(), (8, 10), "uint16")
        assert "80" in str(ours.value) and str(ours.value) == str(theirs.value)


def out_forms(nbytes, dtype):
    return [np.empty(nbytes // np.dtype(dtype).itemsize, dtype), bytearray(nbytes),
            memoryview(bytearray(nbytes)), np.empty(nbytes, np.uint8)]


class TestDecodeInto:
    @pytest.mark.parametrize("shape,dtype", HTJ2K)
    def test_htj2k_writes_the_decoded_chunk(self, shape, dtype):
        a = image(shape, dtype)
        chunk = v.htj2k_encode(a.tobytes(), shape, dtype)
        for source in (chunk, np.frombuffer(chunk, np.uint8), bytearray(chunk)):
            for out in out_forms(a.nbytes, dtype):
                assert c.htj2k_decode_into(source, shape, dtype, out) is None
                assert bytes(out) == a.tobytes()

    @pytest.mark.parametrize("shape,dtype,config", ZFP)
    def test_zfp_writes_the_decoded_chunk(self, shape, dtype, config):
        a = image(shape, dtype)
        chunk = v.varnel_zfp_encode(a.tobytes(), shape, dtype, **config)
        expected = v.varnel_zfp_decode(chunk, shape, dtype, **config)
        for out in out_forms(len(expected), dtype):
            assert c.zfp_decode_into(memoryview(chunk), shape, dtype, out, **config) is None
            assert bytes(out) == expected

    @pytest.mark.parametrize("codec", ["htj2k", "zfp"])
    def test_wrong_out_buffers_are_refused(self, codec):
        a = image((6, 7), "int16")
        if codec == "htj2k":
            chunk, decode = v.htj2k_encode(a.tobytes(), a.shape, "int16"), c.htj2k_decode_into
        else:
            chunk, decode = v.varnel_zfp_encode(a.tobytes(), a.shape, "int16"), c.zfp_decode_into
        refusals = [
            (np.empty(41, np.int16), "the buffer holds 82 bytes, the decoded chunk needs 84"),
            (bytearray(85), "the buffer holds 85 bytes, the decoded chunk needs 84"),
            (bytes(84), "argument 'out': the buffer is read-only"),
            (np.frombuffer(bytes(84), np.int16), "argument 'out': the buffer is read-only"),
            (np.empty((6, 14), np.int16)[:, ::2], "argument 'out': the buffer is not C-contiguous"),
        ]
        for out, message in refusals:
            with pytest.raises(ValueError, match=message):
                decode(chunk, a.shape, "int16", out)
        shared = bytearray(chunk) + bytearray(84)
        with pytest.raises(ValueError, match="argument 'out': the buffer overlaps the chunk"):
            decode(memoryview(shared)[:len(chunk)], a.shape, "int16", memoryview(shared)[40:124])

    def test_cut_chunk_is_a_value_error(self):
        a = image((30, 30), "uint8")
        chunk = bytearray(v.htj2k_encode(a.tobytes(), a.shape, "uint8"))
        out = np.empty_like(a)
        with pytest.raises(ValueError, match="malformed codestream"):
            c.htj2k_decode_into(chunk[:-20], a.shape, "uint8", out)
