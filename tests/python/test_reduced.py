"""Reduced-resolution reads: `htj2k_decode_reduced` against OpenJPEG's
`opj_decompress -r`, reading nothing but the prefixes the plane index names
(every other byte overwritten, or left out of a compacted chunk), and the
refusals."""

from __future__ import annotations

import struct

import numpy as np
import pytest

import varnel
from peers import HAVE_OPJ, container_codestreams, opj_decompress
from varnel import _codecs

PROGRESSIONS = ["LRCP", "RLCP", "RPCL", "PCRL", "CPRL"]

# shape, dtype, xy_levels: odd sizes, sizes below 2^levels, several planes,
# one-pixel planes, every dtype, and planes wide enough for several
# precincts (2^15 samples each) in the finer resolutions, where PCRL and
# CPRL interleave resolutions by position.
CASES = [
    ((3, 140001), "uint8", 3),
    ((37, 53), "uint8", 3),
    ((2, 45, 71), "uint16", 4),
    ((3, 1, 17), "int8", 2),
    ((1, 1), "int16", 2),
    ((66, 130), "int16", 5),
    ((2, 2, 9, 8), "uint32", 3),
    ((33, 20), "int32", 6),
    ((129, 65), "uint16", 0),
]


def sample(shape, dtype, seed):
    """Smooth values with noise over most of the dtype's range (kept within
    what the 32-bit path codes)."""
    rng = np.random.default_rng(seed)
    info = np.iinfo(dtype)
    lo, hi = max(int(info.min), -(1 << 24)), min(int(info.max), 1 << 24)
    y, x = np.meshgrid(np.arange(shape[-2]), np.arange(shape[-1]), indexing="ij")
    base = (np.sin(x / 5.0) + np.cos(y / 7.0) + 2) / 4 * (hi - lo) + lo
    noise = rng.integers(-(hi - lo) // 16, (hi - lo) // 16 + 1, size=shape)
    return np.clip(base + noise, lo, hi).astype(dtype)


def reduced(chunk, shape, dtype, reduce):
    out_shape = tuple(shape[:-2]) + tuple(-(-n // (1 << reduce)) for n in shape[-2:])
    data = varnel.htj2k_decode_reduced(chunk, shape, dtype, reduce)
    return np.frombuffer(data, dtype=dtype).reshape(out_shape)


def siz_depth(codestream):
    """(depth, signed) of the one component, from SIZ's Ssiz."""
    assert codestream[2:4] == b"\xff\x51"
    ssiz = codestream[2 + 40]
    return (ssiz & 0x7F) + 1, bool(ssiz & 0x80)


def needed_mask(chunk, reduce):
    """True at every byte a decode at `reduce` may read."""
    plan = varnel.htj2k_chunk_ranges(chunk, reduce)
    mask = np.zeros(len(chunk), dtype=bool)
    mask[:plan.index_end] = True
    for offset, length in plan.ranges:
        mask[offset:offset + length] = True
    return mask


@pytest.fixture(scope="module", params=[(c, p) for c in CASES for p in PROGRESSIONS],
                ids=lambda cp: f"{cp[0][0]}-{cp[0][1]}-L{cp[0][2]}-{cp[1]}")
def encoded(request):
    (shape, dtype, levels), progression = request.param
    image = sample(shape, dtype, seed=len(shape) * 7 + levels)
    chunk = _codecs.htj2k_encode(image, shape, dtype, xy_levels=levels, progression=progression)
    return image, chunk, shape, dtype, levels


class TestReducedDecode:
    @pytest.mark.skipif(not HAVE_OPJ, reason="opj_decompress not installed")
    def test_matches_openjpeg_at_every_reduction(self, encoded, tmp_path):
        image, chunk, shape, dtype, levels = encoded
        streams = container_codestreams(chunk)
        for reduce in range(levels + 1):
            ours = reduced(chunk, shape, dtype, reduce)
            theirs = [opj_decompress(tmp_path, cs, ours.shape[-2:], *siz_depth(cs), reduce=reduce)
                      for cs in streams]
            np.testing.assert_array_equal(ours.reshape(-1, *ours.shape[-2:]),
                                          np.stack(theirs).astype(dtype), err_msg=f"r={reduce}")
        np.testing.assert_array_equal(reduced(chunk, shape, dtype, 0), image)

    def test_reads_nothing_beyond_the_prefixes(self, encoded):
        _, chunk, shape, dtype, levels = encoded
        rng = np.random.default_rng(5)
        for reduce in range(levels + 1):
            expected = reduced(chunk, shape, dtype, reduce)
            mask = needed_mask(chunk, reduce)
            for filler in (np.full(len(chunk), 0xFF, np.uint8),
                           rng.integers(0, 256, len(chunk), dtype=np.uint8)):
                spoilt = np.where(mask, np.frombuffer(chunk, np.uint8), filler)
                np.testing.assert_array_equal(reduced(spoilt, shape, dtype, reduce), expected)

    def test_compacted_chunk_decodes_the_same(self, encoded):
        _, chunk, shape, dtype, levels = encoded
        for reduce in range(levels + 1):
            plan = varnel.htj2k_chunk_ranges(chunk[:varnel.htj2k_index_end(chunk)], reduce)
            prefixes = [chunk[o:o + n] for o, n in plan.ranges]
            compact = varnel.htj2k_compact_chunk(chunk[:plan.index_end], prefixes, reduce)
            assert len(compact) == plan.index_end + sum(n for _, n in plan.ranges)
            for further in range(reduce, levels + 1):
                np.testing.assert_array_equal(reduced(compact, shape, dtype, further),
                                              reduced(chunk, shape, dtype, further))


def repacked_keeping_lengths(chunk, reduce):
    """Prefixes re-packed after the index with only the offsets rewritten:
    entries keep the whole codestream's length and every prefix length."""
    plan = varnel.htj2k_chunk_ranges(chunk, reduce)
    head = bytearray(chunk[:plan.index_end])
    ndim, levels = chunk[7], chunk[6]
    position = plan.index_end
    for k, (offset, length) in enumerate(plan.ranges):
        struct.pack_into("<Q", head, 8 + 4 * ndim + k * (16 + 4 * levels), position)
        position += length
    return bytes(head) + b"".join(chunk[o:o + n] for o, n in plan.ranges)


class TestCompactedInput:
    def test_entries_may_keep_the_whole_length(self):
        image = sample((3, 40, 24), "uint16", 1)
        chunk = _codecs.htj2k_encode(image, image.shape, "uint16", xy_levels=3)
        for reduce in range(4):
            np.testing.assert_array_equal(
                reduced(repacked_keeping_lengths(chunk, reduce), image.shape, "uint16", reduce),
                reduced(chunk, image.shape, "uint16", reduce))

    def test_a_short_prefix_is_a_value_error(self):
        image = sample((2, 40, 24), "uint8", 2)
        chunk = _codecs.htj2k_encode(image, image.shape, "uint8", xy_levels=3)
        plan = varnel.htj2k_chunk_ranges(chunk, 1)
        prefixes = [chunk[o:o + n] for o, n in plan.ranges]
        with pytest.raises(ValueError, match="prefix of"):
            varnel.htj2k_compact_chunk(chunk[:plan.index_end], [prefixes[0][:-1], prefixes[1]], 1)
        compact = varnel.htj2k_compact_chunk(chunk[:plan.index_end], prefixes, 1)
        with pytest.raises(ValueError, match="plane prefix exceeds the chunk"):
            varnel.htj2k_decode_reduced(compact[:-1], image.shape, "uint8", 1)


class TestRefusals:
    def test_chunk_without_index(self):
        image = sample((20, 20), "uint8", 0)
        chunk = _codecs.htj2k_encode(image, image.shape, "uint8", index=False)
        with pytest.raises(ValueError, match="needs the plane index"):
            varnel.htj2k_decode_reduced(chunk, image.shape, "uint8", 1)
        for helper in (varnel.htj2k_index_end, lambda c: varnel.htj2k_chunk_ranges(c, 1)):
            with pytest.raises(ValueError, match="needs the plane index"):
                helper(chunk)

    @pytest.mark.parametrize("levels", [0, 2, 5])
    def test_reduce_beyond_the_levels(self, levels):
        image = sample((20, 20), "uint8", 0)
        chunk = _codecs.htj2k_encode(image, image.shape, "uint8", xy_levels=levels)
        message = f"reduce {levels + 1} exceeds the chunk's {levels} wavelet levels"
        with pytest.raises(ValueError, match=message):
            varnel.htj2k_decode_reduced(chunk, image.shape, "uint8", levels + 1)
        with pytest.raises(ValueError, match=message):
            varnel.htj2k_chunk_ranges(chunk, levels + 1)
        with pytest.raises(OverflowError):
            varnel.htj2k_decode_reduced(chunk, image.shape, "uint8", -1)

    def test_shape_and_dtype_are_checked_as_in_the_full_decode(self):
        image = sample((2, 20, 20), "int16", 0)
        chunk = _codecs.htj2k_encode(image, image.shape, "int16")
        with pytest.raises(ValueError, match=r"declares shape \[2, 20, 20\], decode expects"):
            varnel.htj2k_decode_reduced(chunk, (2, 20, 21), "int16", 1)
        with pytest.raises(ValueError, match="does not fit dtype U8"):
            varnel.htj2k_decode_reduced(chunk, image.shape, "uint8", 1)
        with pytest.raises(ValueError, match="no integer path"):
            varnel.htj2k_decode_reduced(chunk, image.shape, "float32", 1)

    def test_head_helpers_need_enough_bytes(self):
        image = sample((3, 20, 20), "uint8", 0)
        chunk = _codecs.htj2k_encode(image, image.shape, "uint8")
        assert varnel.htj2k_index_end(chunk[:varnel.HTJ2K_HEAD_PROBE]) == 8 + 4 * 3 + 3 * (16 + 4 * 5)
        with pytest.raises(ValueError, match="the first 20 bytes are needed"):
            varnel.htj2k_index_end(chunk[:19])
        with pytest.raises(ValueError, match="header and index need"):
            varnel.htj2k_chunk_ranges(chunk[:50], 1)
        with pytest.raises(ValueError, match="bad magic"):
            varnel.htj2k_index_end(b"xxxx" + chunk[4:])
