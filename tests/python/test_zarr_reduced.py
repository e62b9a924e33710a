"""Reduced-resolution reads of varnel.htj2k zarr v3 arrays (varnel.zarr.ReducedReader)."""

from __future__ import annotations

import numpy as np
import pytest

zarr = pytest.importorskip("zarr")

import varnel  # noqa: E402
import varnel.zarr  # noqa: E402


def image_stack(shape, dtype, seed=0) -> np.ndarray:
    info = np.iinfo(dtype)
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:shape[-2], 0:shape[-1]]
    smooth = (np.sin(x / 9.0) + np.cos(y / 13.0) + 2) / 4
    lo, hi = max(info.min, -3000), min(info.max, 3000)
    a = lo + (hi - lo) * smooth + rng.normal(0, 40, shape)
    return np.clip(np.round(a), info.min, info.max).astype(dtype)


def make_array(tmp_path, data, chunks, **codec):
    a = zarr.create_array(str(tmp_path / "a.zarr"), shape=data.shape, chunks=chunks, dtype=data.dtype,
                          serializer=varnel.zarr.Htj2k(**codec), compressors=None, fill_value=0)
    a[...] = data
    return zarr.open_array(str(tmp_path / "a.zarr"), mode="r")


def reference(array, reduce: int) -> np.ndarray:
    """Whole chunks read from the store and decoded at `reduce`, tiled."""
    f = 1 << reduce
    cshape = array.metadata.chunk_grid.chunk_shape
    rshape = array.shape[:-2] + tuple(-(-n // f) for n in array.shape[-2:])
    rchunk = cshape[:-2] + tuple(n // f for n in cshape[-2:])
    out = np.zeros(tuple(-(-n // c) * c for n, c in zip(rshape, rchunk)), array.dtype)
    root = array.store_path.store.root
    for cc in np.ndindex(*[-(-n // c) for n, c in zip(array.shape, cshape)]):
        blob = (root / array.metadata.encode_chunk_key(cc)).read_bytes()
        part = np.frombuffer(varnel.htj2k_decode_reduced(blob, cshape, array.dtype.name, reduce),
                             array.dtype).reshape(rchunk)
        out[tuple(slice(c * n, (c + 1) * n) for c, n in zip(cc, rchunk))] = part
    return out[tuple(slice(0, n) for n in rshape)]


CASES = [  # shape, chunks, dtype, codec settings
    ((300, 260), (128, 128), "uint16", {}),
    ((5, 150, 100), (2, 64, 32), "int16", {"progression": "LRCP"}),
    ((2, 3, 96, 80), (1, 2, 32, 16), "uint8", {"xy_levels": 3}),
    ((3, 64, 64), (3, 64, 64), "int32", {"progression": "CPRL", "xy_levels": 6}),
]


@pytest.mark.parametrize("shape,chunks,dtype,codec", CASES)
def test_every_reduce_matches_whole_chunks_decoded(tmp_path, shape, chunks, dtype, codec):
    data = image_stack(shape, dtype)
    array = make_array(tmp_path, data, chunks, **codec)
    reader = varnel.zarr.ReducedReader(array)
    assert np.array_equal(reader.read(0), data)
    levels = codec.get("xy_levels", 5)
    for reduce in range(1, levels + 1):
        if chunks[-1] % (1 << reduce) or chunks[-2] % (1 << reduce):
            break
        got = reader.read(reduce)
        assert got.shape == reader.shape(reduce)
        assert np.array_equal(got, reference(array, reduce)), reduce


SELECTIONS = [
    (2, slice(10, 40), slice(None)),
    (Ellipsis, slice(5, 6)),
    (slice(1, 3), -1),
    (slice(None), slice(30, 20), slice(None)),  # empty
]


@pytest.mark.parametrize("selection", SELECTIONS)
def test_selection_is_a_slice_of_the_whole_reduced_array(tmp_path, selection):
    data = image_stack((4, 200, 180), "uint16")
    reader = varnel.zarr.ReducedReader(make_array(tmp_path, data, (1, 64, 64)))
    assert np.array_equal(reader.read(2, selection), reader.read(2)[selection])


def test_only_header_index_and_prefixes_are_read(tmp_path):
    """Every stored byte outside header, index and the planes' prefixes for
    reduce is overwritten: the reduced read does not change, and the bytes it
    fetched are exactly those."""
    data = image_stack((4, 256, 256), "uint16")
    array = make_array(tmp_path, data, (2, 128, 128))
    reduce = 2
    before = varnel.zarr.ReducedReader(array).read(reduce)
    needed, stored = 0, 0
    for path in (tmp_path / "a.zarr" / "c").rglob("*"):
        if not path.is_file():
            continue
        blob = bytearray(path.read_bytes())
        ranges = varnel.htj2k_chunk_ranges(blob, reduce)
        keep = np.zeros(len(blob), bool)
        keep[:ranges.index_end] = True
        for offset, length in ranges.ranges:
            keep[offset:offset + length] = True
        blob = np.frombuffer(bytes(blob), np.uint8).copy()
        blob[~keep] = 0xA5
        path.write_bytes(blob.tobytes())
        needed += int(keep.sum())
        stored += len(blob)
    reader = varnel.zarr.ReducedReader(zarr.open_array(str(tmp_path / "a.zarr"), mode="r"))
    assert np.array_equal(reader.read(reduce), before)
    assert (reader.stats.bytes_fetched, reader.stats.bytes_full) == (needed, stored)
    assert reader.stats.fraction < 0.25


def test_unwritten_chunks_read_as_the_fill_value(tmp_path):
    a = zarr.create_array(str(tmp_path / "a.zarr"), shape=(2, 128, 128), chunks=(1, 64, 64),
                          dtype="uint16", serializer=varnel.zarr.Htj2k(), compressors=None,
                          fill_value=7)
    a[0, :64, :64] = 1000
    got = varnel.zarr.read_reduced(a, 1)
    assert got.shape == (2, 64, 64)
    assert (got[0, :32, :32] == 1000).all() and (got[0, 32:] == 7).all() and (got[1] == 7).all()


def refused_arrays(tmp_path):
    def create(name, **kw):
        return zarr.create_array(str(tmp_path / name), shape=(2, 64, 64), chunks=(1, 32, 32),
                                 dtype="uint16", **kw)
    return {
        "sharding": (create("s", shards=(1, 64, 64), serializer=varnel.zarr.Htj2k()),
                     "only codec inside the shards"),  # zstd after htj2k in the shards
        "compressor": (create("c", serializer=varnel.zarr.Htj2k()), "only codec"),
        "no index": (create("i", serializer=varnel.zarr.Htj2k(index=False), compressors=None),
                     "no plane index"),
        "zstd": (create("z"), "only codec"),
    }


@pytest.mark.parametrize("case", ["sharding", "compressor", "no index", "zstd"])
def test_arrays_it_cannot_read_reduced_are_refused(tmp_path, case):
    array, message = refused_arrays(tmp_path)[case]
    with pytest.raises(ValueError, match=message):
        varnel.zarr.ReducedReader(array)


@pytest.mark.parametrize("reduce,selection,error,message", [
    (6, None, ValueError, "outside 0..=5"),
    (-1, None, ValueError, "outside 0..=5"),
    (True, None, TypeError, "must be an int"),
    (5, None, ValueError, "not multiples of 2\\*\\*5"),  # chunks of 48 x 48
    (1, (slice(None, None, 2),), IndexError, "step 1"),
    (1, (0, 0, 0, 0), IndexError, "too many indices"),
    (1, (5,), IndexError, "out of bounds"),
])
def test_bad_reduce_and_selection_are_refused(tmp_path, reduce, selection, error, message):
    array = make_array(tmp_path, image_stack((2, 96, 96), "uint8"), (1, 48, 48))
    with pytest.raises(error, match=message):
        varnel.zarr.ReducedReader(array).read(reduce, selection)


@pytest.mark.parametrize("damage", ["truncate", "magic", "index"])
def test_a_damaged_chunk_is_an_error_naming_it(tmp_path, damage):
    array = make_array(tmp_path, image_stack((1, 64, 64), "uint16"), (1, 64, 64))
    path = tmp_path / "a.zarr" / "c" / "0" / "0" / "0"
    blob = bytearray(path.read_bytes())
    if damage == "truncate":
        blob = blob[:varnel.htj2k_chunk_ranges(blob, 1).index_end + 10]
    elif damage == "magic":
        blob[0] ^= 0xFF
    else:  # the plane's offset points past the chunk
        blob[20:28] = (len(blob) * 4).to_bytes(8, "little")
    path.write_bytes(bytes(blob))
    with pytest.raises(ValueError, match="chunk 'c/0/0/0'"):
        varnel.zarr.ReducedReader(array).read(1)
