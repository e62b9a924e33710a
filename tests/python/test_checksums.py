"""Prefix checksums of the htj2k chunk container: written on request (the
codec classes' default), verified by every decode, whole, reduced and from a
compacted chunk; refused damage names the plane and the resolution; chunks and
array metadata without them read and write as before."""

from __future__ import annotations

import hashlib
import struct

import numpy as np
import pytest

import varnel
from varnel import _codecs, _container

DTYPES = ["uint8", "int8", "uint16", "int16", "uint32", "int32"]
MISMATCH = r"plane {k}: resolution {r} prefix checksum mismatch \(stored 0x[0-9a-f]{{8}}, computed 0x[0-9a-f]{{8}}\)"


def sample(shape, dtype, seed=0):
    info = np.iinfo(dtype)
    lo, hi = max(int(info.min), -5000), min(int(info.max), 5000)
    y, x = np.mgrid[0:shape[-2], 0:shape[-1]]
    smooth = lo + (hi - lo) * (np.sin(x / 7.0) + np.cos(y / 5.0) + 2) / 4
    noise = np.random.default_rng(seed).integers(-40, 41, size=shape)
    return np.clip(smooth + noise, lo, hi).astype(dtype)


def encode(a, checksums, levels=3):
    return _codecs.htj2k_encode(a, a.shape, a.dtype.name, xy_levels=levels, checksums=checksums)


def reduced(chunk, a, reduce):
    f = 1 << reduce
    shape = a.shape[:-2] + tuple(-(-n // f) for n in a.shape[-2:])
    return np.frombuffer(varnel.htj2k_decode_reduced(chunk, a.shape, a.dtype.name, reduce), a.dtype).reshape(shape)


def compact(chunk, reduce, planes=None):
    """What a reduced reader hands the decoder: header, index, prefixes."""
    ranges = _container.htj2k_chunk_ranges(chunk, reduce)
    picked = range(len(ranges.ranges)) if planes is None else planes
    parts = [chunk[o:o + n] for o, n in (ranges.ranges[k] for k in picked)]
    return _container.htj2k_compact_chunk(chunk[:ranges.index_end], parts, reduce, planes)


def entries(chunk):
    """(offset, length, prefix lengths, checksums) per plane."""
    view = memoryview(chunk)
    head = _container.parse_head(view)
    return [(o, n, p, _container.checksums_of(view, head, k))
            for k, (o, n, p) in enumerate(_container.entries(view, head, 0))]


def crc32c(data: bytes) -> int:
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x82F63B78 if crc & 1 else crc >> 1
    return crc ^ 0xFFFFFFFF


# --- the format ---------------------------------------------------------------


def test_default_output_is_the_format_without_checksums():
    """The module function's default bytes are those of the release before
    checksums (the digest was taken from it), and the codec entry point's
    `checksums=True` output is that chunk with flag 2 set and the checksums
    inserted after each entry's prefix lengths: nothing else moves."""
    h = hashlib.sha256()
    for dtype in ["uint8", "int16", "uint32"]:
        for shape, kw in [((2, 40, 56), {}), ((33, 47), {"xy_levels": 2}), ((3, 17, 9), {"index": False})]:
            a = (np.arange(np.prod(shape), dtype=np.int64).reshape(shape) * 7919 % 251).astype(dtype)
            h.update(varnel.htj2k_encode(a.tobytes(), shape, dtype, **kw))
    assert h.hexdigest() == "2497e1de543c05a07deda6c108f806ef8fbbf701fe344887c07040940faebc8e"

    a = sample((3, 50, 70), "uint16")
    plain, summed = encode(a, False), encode(a, True)
    assert (plain[5], summed[5]) == (1, 3)
    head = _container.parse_head(summed)
    assert head.checksums and head.index_end == 20 + 3 * (16 + 4 * 3 + 4 * 4)
    shift = head.index_end - _container.parse_head(plain).index_end
    stripped = bytearray(summed[:20])
    stripped[5] = 1
    for o, n, p, sums in entries(summed):
        assert sums == [crc32c(summed[o:o + m]) for m in p]
        assert n == p[-1] + 2 and summed[o + p[-1]:o + n] == b"\xff\xd9"  # the EOC follows the last prefix
        stripped += struct.pack(f"<QI{len(p)}I", o - shift, n, *p)
    assert bytes(stripped) + summed[head.index_end:] == plain


@pytest.mark.parametrize("flags,message", [(2, "checksums without a plane index"), (4, "unknown htj2k chunk container flags")])
def test_flags_without_meaning_are_refused(flags, message):
    chunk = bytearray(encode(sample((20, 20), "uint8"), True))
    chunk[5] = flags
    with pytest.raises(ValueError, match=message):
        _container.parse_head(chunk)
    with pytest.raises(ValueError, match=message):
        varnel.htj2k_decode(bytes(chunk), (20, 20), "uint8")


def test_checksums_need_the_index():
    with pytest.raises(ValueError, match="need index=True"):
        _codecs.htj2k_encode(np.zeros((4, 4), np.uint8), (4, 4), "uint8", index=False, checksums=True)


# --- round trips ----------------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape,levels", [((2, 37, 53), 0), ((3, 64, 48), 2), ((1, 2, 40, 33), 4), ((9, 130), 6)])
@pytest.mark.parametrize("checksums", [False, True])
def test_round_trips_whole_reduced_and_compacted(dtype, shape, levels, checksums):
    a = sample(shape, dtype, seed=levels)
    chunk = encode(a, checksums, levels)
    assert bytes(varnel.htj2k_decode(chunk, shape, dtype)) == a.tobytes()
    planes = int(np.prod(shape[:-2]))
    for reduce in range(levels + 1):
        want = reduced(chunk, a, reduce)
        if reduce == 0:
            assert np.array_equal(want, a)
        assert np.array_equal(reduced(compact(chunk, reduce), a, reduce), want)
        # A compaction also decodes at any larger reduce, checked there too.
        if reduce < levels:
            assert np.array_equal(reduced(compact(chunk, reduce), a, levels), reduced(chunk, a, levels))
        if planes > 1:  # the last plane alone, as a (1, y, x) container
            one = compact(chunk, reduce, [planes - 1])
            got = varnel.htj2k_decode_reduced(one, (1,) + shape[-2:], dtype, reduce)
            assert np.array_equal(np.frombuffer(got, dtype), want.reshape(planes, -1)[-1])


# --- damage -----------------------------------------------------------------------

SHAPE, LEVELS = (3, 96, 80), 4


def _flip_packet_byte(chunk, k, r):
    o, _, p, _ = entries(chunk)[k]
    chunk[o + p[r] - 1] ^= 0x01


def _flip_checksum_byte(chunk, k, r):
    head = _container.parse_head(chunk)
    chunk[head.header_end + k * _container.entry_size(LEVELS, True) + 12 + 4 * (LEVELS + 1) + 4 * r + 1] ^= 0x40


def _shifted_top_up(chunk, k, r):
    """The bytes of resolution r's packets answered from 16 bytes further on:
    the right length from the wrong place."""
    o, _, p, _ = entries(chunk)[k]
    start = o + (p[r - 1] if r else 0)
    end = o + p[r]
    moved = bytes(chunk[start + 16:end + 16])
    chunk[start:end] = moved + bytes(end - start - len(moved))  # past the chunk's end: zeros


@pytest.mark.parametrize("damage", [_flip_packet_byte, _flip_checksum_byte, _shifted_top_up],
                         ids=["packet byte", "checksum byte", "shifted top-up"])
@pytest.mark.parametrize("plane", [0, 2])
def test_damage_to_a_prefix_is_refused_naming_plane_and_resolution(damage, plane):
    a = sample(SHAPE, "uint16", seed=11)
    chunk = encode(a, True, LEVELS)
    p = entries(chunk)[plane][2]
    for r in range(LEVELS + 1):
        if r and p[r] == p[r - 1]:
            continue  # no packets of its own
        bad = bytearray(chunk)
        damage(bad, plane, r)
        bad = bytes(bad)
        for reduce in range(LEVELS + 1):
            top = LEVELS - reduce
            hit = top == r if damage is _flip_checksum_byte else top >= r
            for read in (bad, compact(bad, reduce)):
                if not hit:
                    assert np.array_equal(reduced(read, a, reduce), reduced(chunk, a, reduce))
                    continue
                with pytest.raises(ValueError, match=MISMATCH.format(k=plane, r=top)):
                    reduced(read, a, reduce)
        # The whole decode checks the last prefix: a checksum of a lower
        # resolution is not read by it.
        if damage is _flip_checksum_byte and r < LEVELS:
            assert bytes(varnel.htj2k_decode(bad, SHAPE, "uint16")) == a.tobytes()
        else:
            with pytest.raises(ValueError, match=MISMATCH.format(k=plane, r=LEVELS)):
                varnel.htj2k_decode(bad, SHAPE, "uint16")


def test_an_index_with_another_chunks_prefixes_is_refused():
    """An object replaced between a read's rounds: the index of the old
    chunk, prefixes of the same lengths fetched from the new one."""
    a, b = sample(SHAPE, "uint16", 1), sample(SHAPE, "uint16", 2)
    old, new = encode(a, True, LEVELS), encode(b, True, LEVELS)
    for reduce in range(LEVELS + 1):
        ranges = _container.htj2k_chunk_ranges(old, reduce)
        parts = [new[o:o + n].ljust(n, b"\0") for o, n in ranges.ranges]  # the lengths asked for
        mixed = _container.htj2k_compact_chunk(old[:ranges.index_end], parts, reduce)
        with pytest.raises(ValueError, match=MISMATCH.format(k=0, r=LEVELS - reduce)):
            reduced(mixed, a, reduce)


def test_every_truncation_of_a_checksummed_chunk_fails_cleanly():
    a = sample((2, 24, 20), "int16", 5)
    chunk = encode(a, True, 2)
    needed = max(o + p[1] for o, _, p, _ in entries(chunk))  # what a read at reduce 1 covers
    for n in range(0, len(chunk), 7):
        with pytest.raises(ValueError):
            varnel.htj2k_decode(chunk[:n], a.shape, "int16")
        if n < needed:
            with pytest.raises(ValueError):
                reduced(chunk[:n], a, 1)


# --- the codec classes and stored arrays ------------------------------------------


@pytest.fixture
def zarr():
    return pytest.importorskip("zarr")


def test_codec_key_defaults_and_round_trips(zarr):
    from varnel.numcodecs import Htj2k as NumHtj2k
    from varnel.zarr import Htj2k

    assert Htj2k().checksums and Htj2k().to_dict()["configuration"]["checksums"] is True
    assert not Htj2k(index=False).checksums
    assert "checksums" not in Htj2k(checksums=False).to_dict()["configuration"]
    for codec in [Htj2k(), Htj2k(checksums=False), Htj2k(index=False), Htj2k(xy_levels=2, checksums=True)]:
        assert Htj2k.from_dict(codec.to_dict()) == codec
    # Metadata written before the key: no checksums, as it was written.
    old = {"name": "varnel.htj2k", "configuration": {"xy_levels": 5, "progression": "RPCL", "index": True}}
    assert Htj2k.from_dict(old).checksums is False
    assert Htj2k.from_dict(old).to_dict() == old
    with pytest.raises(ValueError, match="need index=True"):
        Htj2k(index=False, checksums=True)

    codec = NumHtj2k(dtype="uint16")
    assert codec.get_config()["checksums"] is True
    assert NumHtj2k.from_config(codec.get_config()).get_config() == codec.get_config()
    assert NumHtj2k.from_config({"id": "varnel.htj2k", "dtype": "<u2"}).checksums is False
    a = sample((2, 30, 40), "uint16")
    for c in [codec, NumHtj2k(dtype="uint16", checksums=False)]:
        blob = c.encode(a)
        assert blob[5] == (3 if c.checksums else 1)
        assert np.array_equal(c.decode(blob).reshape(a.shape), a)


def test_an_array_written_before_checksums_reads_and_grows_without_them(zarr, tmp_path):
    from varnel.zarr import Htj2k

    a = sample((2, 64, 64), "uint16")
    arr = zarr.create_array(str(tmp_path / "old.zarr"), shape=a.shape, chunks=(1, 32, 64), dtype=a.dtype,
                            serializer=Htj2k(checksums=False), compressors=None)
    arr[0] = a[0]
    meta = (tmp_path / "old.zarr" / "zarr.json").read_text()
    assert "checksums" not in meta  # what a release before checksums wrote
    again = zarr.open_array(str(tmp_path / "old.zarr"), mode="r+")
    again[1] = a[1]
    assert np.array_equal(again[...], a)
    assert {p.read_bytes()[5] for p in (tmp_path / "old.zarr" / "c").rglob("*") if p.is_file()} == {1}
    assert "checksums" not in (tmp_path / "old.zarr" / "zarr.json").read_text()


def test_a_chunk_without_checksums_in_an_array_that_has_them_is_refused(zarr, tmp_path):
    """A head whose flags lost the checksums (a torn or replaced chunk) would
    read its prefixes unchecked: the array's configuration says every chunk
    carries them, so the reduced read refuses it."""
    from varnel.zarr import Htj2k, ReducedReader

    a = sample((1, 64, 64), "uint16")
    arr = zarr.create_array(str(tmp_path / "a.zarr"), shape=a.shape, chunks=a.shape, dtype=a.dtype,
                            serializer=Htj2k(xy_levels=3), compressors=None)
    arr[...] = a
    (tmp_path / "a.zarr" / "c" / "0" / "0" / "0").write_bytes(encode(a, False))
    with pytest.raises(ValueError, match=r"'c/0/0/0'.*no prefix checksums"):
        ReducedReader(zarr.open_array(str(tmp_path / "a.zarr"), mode="r")).read(1)
