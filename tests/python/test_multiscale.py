"""One stored varnel.htj2k array as its own pyramid: varnel.zarr.MultiscaleStore,
varnel.zarr.levels and ReducedReader over plain and sharded arrays, in memory,
on disk, over HTTP and on an S3-compatible server (moto) through s3fs and
obstore, with every request counted where it reaches the data."""

from __future__ import annotations

import asyncio
import dataclasses
import importlib.metadata
import json
import struct
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

zarr = pytest.importorskip("zarr")

from zarr.codecs import BytesCodec, ShardingCodec  # noqa: E402
from zarr.core.buffer import default_buffer_prototype  # noqa: E402
from zarr.core.sync import sync  # noqa: E402

import varnel  # noqa: E402
import varnel.zarr  # noqa: E402
from varnel._level_codec import mean2  # noqa: E402
from remote_stores import (RangeServer, RequestLog, S3Proxy, counting_store, http_store,  # noqa: E402
                           moto_server, obstore_store, s3fs_store, upload_dir)

SHAPE = (2, 136, 176)
# name: create_array arguments, (inner) chunk shape, top level, sharded
LAYOUTS = {
    "plain": (dict(chunks=(1, 48, 64), serializer=varnel.zarr.Htj2k()), (1, 48, 64), 4, False),
    "sharded": (dict(chunks=(1, 64, 64), shards=(2, 128, 128), serializer=varnel.zarr.Htj2k(xy_levels=4)),
                (1, 64, 64), 4, True),
    "sharded, index first, no crc32c": (dict(chunks=(2, 64, 128), serializer=ShardingCodec(
        chunk_shape=(2, 32, 64), codecs=[varnel.zarr.Htj2k()], index_codecs=[BytesCodec()],
        index_location="start")), (2, 32, 64), 5, True),
}
STORES = ["memory", "local", "http", "http without ranges", "s3fs", "obstore"]
REMOTE = {"s3fs": "s3fs", "obstore": "obstore"}  # the package each needs
# Seconds added to each request while rounds are counted, so that requests
# issued together overlap in time: they reach a local server some ms apart
# (on a loaded machine tens of ms, and s3fs spends ms of Python on each; the
# HTTP server shares the test's interpreter); a store wrapper's are exact.
LATENCY = {"memory": 0.02, "local": 0.02, "s3fs": 0.4, "http": 0.4}
NETWORK_LATENCY = 0.2


def image(shape, seed=0) -> np.ndarray:
    """Spots on a smooth background with Poisson noise, 12-bit."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:shape[-2], 0:shape[-1]]
    base = 200 + 80 * np.sin(x / 23.0) * np.cos(y / 17.0)
    out = np.empty(shape, np.uint16)
    for i in np.ndindex(*shape[:-2]):
        img = base.copy()
        for cy, cx in rng.uniform(0, 1, (12, 2)) * shape[-2:]:
            img += 1500 * np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / 30.0)
        out[i] = np.minimum(rng.poisson(img), 4095)
    return out


def reference(data, chunk, k, levels, fill=0) -> np.ndarray:
    """Each stored chunk (the data padded with the fill value, as zarr stores
    edge chunks) encoded and decoded at k, tiled and cropped: what level k
    must hold, found without the reader."""
    grid = [-(-n // c) for n, c in zip(data.shape, chunk)]
    padded = np.full([g * c for g, c in zip(grid, chunk)], fill, data.dtype)
    padded[tuple(slice(0, n) for n in data.shape)] = data
    f = 1 << k
    rchunk = chunk[:-2] + (chunk[-2] // f, chunk[-1] // f)
    out = np.empty([g * c for g, c in zip(grid, rchunk)], data.dtype)
    for cc in np.ndindex(*grid):
        block = np.ascontiguousarray(padded[tuple(slice(i * c, (i + 1) * c) for i, c in zip(cc, chunk))])
        blob = varnel.htj2k_encode(block.tobytes(), chunk, "uint16", xy_levels=levels)
        part = np.frombuffer(varnel.htj2k_decode_reduced(blob, chunk, "uint16", k), np.uint16)
        out[tuple(slice(i * c, (i + 1) * c) for i, c in zip(cc, rchunk))] = part.reshape(rchunk)
    shape = data.shape[:-2] + (-(-data.shape[-2] // f), -(-data.shape[-1] // f))
    return out[tuple(slice(0, n) for n in shape)]


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    """Every layout written once to disk: name -> (directory, data)."""
    root = tmp_path_factory.mktemp("multiscale")
    data = image(SHAPE)
    out = {}
    for i, (name, (kwargs, _, _, _)) in enumerate(LAYOUTS.items()):
        path = root / f"a{i}.zarr"
        a = zarr.create_array(str(path), shape=SHAPE, dtype="uint16", compressors=None, fill_value=0,
                              dimension_names=("t", "y", "x"), **kwargs)
        a[...] = data
        out[name] = path
    return out, data


@pytest.fixture(scope="module")
def s3(written):
    """moto's server with every layout uploaded; yields its endpoint."""
    pytest.importorskip("moto.server")
    pytest.importorskip("boto3")
    paths, _ = written
    with moto_server() as endpoint:
        for path in paths.values():
            upload_dir(endpoint, "bucket", path, path.name)
        yield endpoint


def open_on(kind: str, path: Path, log: RequestLog, request):
    """The array at `path` opened read-only through a store of `kind`, whose
    requests `log` counts; a context manager."""
    import contextlib

    @contextlib.contextmanager
    def opened():
        if kind == "memory":
            inner = zarr.storage.MemoryStore()
            for f in path.rglob("*"):
                if f.is_file():
                    sync(inner.set(f.relative_to(path).as_posix(),
                                   default_buffer_prototype().buffer.from_bytes(f.read_bytes())))
            yield zarr.open_array(counting_store(inner, log), mode="r")
        elif kind == "local":
            yield zarr.open_array(counting_store(zarr.storage.LocalStore(path, read_only=True), log), mode="r")
        elif kind.startswith("http"):
            pytest.importorskip("aiohttp")
            with RangeServer(path.parent, log, ranges=kind == "http") as url:
                yield zarr.open_array(http_store(f"{url}/{path.name}"), mode="r")
        else:
            pytest.importorskip(REMOTE[kind])
            endpoint = request.getfixturevalue("s3")
            with S3Proxy(endpoint, log) as proxy:
                store = (s3fs_store(proxy, f"bucket/{path.name}") if kind == "s3fs"
                         else obstore_store(proxy, "bucket", path.name))
                yield zarr.open_array(store, mode="r")
    return opened()


def rounds_attempts(log: RequestLog, budget: int, counted: bool, attempts: int = 3):
    """Yields for a read to run, with `log` cleared, until the store saw at
    most `budget` waves of requests (or at once, when not `counted`); fails
    after `attempts` reads. A reader that takes a round too many does so in
    every read; on a loaded machine, one request in a few hundred reaches a
    local server after its round-mates have all been answered, and one read
    in many then shows a wave too many."""
    for attempt in range(attempts):
        log.clear()
        yield attempt
        if not counted or log.rounds() <= budget:
            return
    assert log.rounds() <= budget, log.timeline()


def settled(log: RequestLog, expected: tuple[int, int], wait: float = 2.0) -> tuple[int, int]:
    """`log.distinct()` once it shows `expected`, or after `wait` seconds: a
    server logs a request after it has sent the answer, and on a loaded
    machine the read can end before the server's thread has logged it."""
    deadline = time.monotonic() + wait
    while log.distinct() != expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return log.distinct()


@pytest.mark.parametrize("layout", list(LAYOUTS))
@pytest.mark.parametrize("kind", STORES)
def test_levels_on_every_store(written, kind, layout, request):
    """The table: every store kind x plain/sharded x every level. Values are
    the stored chunks decoded at k; a reduced read takes at most 3 rounds
    (sharded) or 2 (plain), whatever the number of chunks; the requests and
    bytes counted at the store match the reader's own count; no size or HEAD
    request is made."""
    paths, data = written
    _, chunk, top, sharded = LAYOUTS[layout]
    levels = 4 if layout == "sharded" else 5
    log = RequestLog()
    with open_on(kind, paths[layout], log, request) as array:
        pyramid = varnel.zarr.levels(array)
        assert len(pyramid) == top + 1
        for k, level in enumerate(pyramid):
            expected = reference(data, chunk, k, levels)
            assert level.shape == expected.shape
            assert level.chunks == chunk[:-2] + (chunk[-2] >> k, chunk[-1] >> k)
            assert np.array_equal(level[...], expected), k
        budget = 3 if sharded else 2
        log.latency = LATENCY.get(kind, NETWORK_LATENCY)
        selection = (slice(0, 2), slice(3, None), slice(None, 40))
        expected = reference(data, chunk, top, levels)[selection]
        for attempt in rounds_attempts(log, budget, counted=kind != "http without ranges"):
            reader = varnel.zarr.ReducedReader(array)
            got = reader.read(top, selection)
            assert np.array_equal(got, expected)
            assert reader.stats.rounds <= budget
            assert {r.method for r in log.requests} == {"GET"}
        if kind != "http without ranges":
            assert settled(log, (reader.stats.requests, reader.stats.bytes_fetched)) == \
                (reader.stats.requests, reader.stats.bytes_fetched), \
                [(r.key, r.range, r.nbytes) for r in log.requests]
            assert reader.stats.bytes_fetched < reader.stats.bytes_full / 2
        # Read again: the shard indexes and, beside them, each chunk's header,
        # index and exact prefixes where the kept layout places them, in one round.
        cold = log.distinct()
        for attempt in rounds_attempts(log, 1, counted=kind != "http without ranges"):
            before = dataclasses.replace(reader.stats)
            assert np.array_equal(reader.read(top, selection), expected)
            assert reader.stats.rounds - before.rounds == 1
        if kind != "http without ranges":
            counted = (reader.stats.requests - before.requests,
                       reader.stats.bytes_fetched - before.bytes_fetched)
            warm = settled(log, counted)
            assert warm == counted
            assert warm[0] <= cold[0], (warm, cold)
            assert warm[1] < (reader.stats.bytes_full - before.bytes_full) / 2
        # Through zarr: chunk requests that arrive together are read together;
        # the store keeps the layout for the next read.
        expected = reference(data, chunk, 1, levels)[selection]
        with zarr.config.set({"async.concurrency": 64}):
            for attempt in rounds_attempts(log, budget, counted=kind != "http without ranges"):
                assert np.array_equal(pyramid[1][selection], expected)
            for attempt in rounds_attempts(log, 1, counted=kind != "http without ranges"):
                assert np.array_equal(pyramid[1][selection], expected)
        log.latency = 0


def stored_level(data, k, chunks, **kwargs) -> int:
    """Bytes of level k of a pyramid stored beside the array: 2 x 2 means
    (as ome-zarr downsamples), written with varnel.htj2k in `chunks`."""
    level = data.astype(np.float64)
    for _ in range(k):
        y, x = level.shape[-2:]
        level = np.pad(level, [(0, 0)] * (level.ndim - 2) + [(0, y % 2), (0, x % 2)], mode="edge")
        level = (level[..., ::2, ::2] + level[..., 1::2, ::2] + level[..., ::2, 1::2]
                 + level[..., 1::2, 1::2]) / 4
    store = zarr.storage.MemoryStore()
    a = zarr.create_array(store, shape=level.shape, chunks=chunks, dtype="uint16",
                          serializer=varnel.zarr.Htj2k(), compressors=None, **kwargs)
    a[...] = np.round(level).astype(np.uint16)
    return sum(len(v.to_bytes()) for key, v in store._store_dict.items() if "/c/" in "/" + key)


@pytest.mark.parametrize("sharded", [False, True])
def test_bytes_within_budget_of_a_stored_pyramid(sharded):
    """Level k's reduced read fetches within 1.3x of what a stored pyramid
    level k holds (same codec and chunking)."""
    data = image((2, 512, 512), seed=3)
    kwargs = dict(shards=(1, 512, 512)) if sharded else {}
    a = zarr.create_array(zarr.storage.MemoryStore(), shape=data.shape, chunks=(1, 256, 256),
                          dtype="uint16", serializer=varnel.zarr.Htj2k(), compressors=None, **kwargs)
    a[...] = data
    for k in (1, 2):
        reader = varnel.zarr.ReducedReader(a)
        reader.read(k)
        stored = stored_level(data, k, (1, 256, 256), **kwargs)
        assert reader.stats.bytes_fetched <= 1.3 * stored, (k, reader.stats.bytes_fetched, stored)


def test_levels_read_nothing_but_indexes_and_prefixes(tmp_path):
    """Every byte of the shards outside the shard index and, per inner chunk,
    the header, plane index and level k's prefixes is overwritten: level k
    reads the same, and fetches exactly the bytes kept."""
    data = image((2, 128, 128), seed=5)
    path = tmp_path / "s.zarr"
    a = zarr.create_array(str(path), shape=data.shape, chunks=(1, 64, 64), shards=(2, 128, 128),
                          dtype="uint16", serializer=varnel.zarr.Htj2k(), compressors=None)
    a[...] = data
    k = 2
    before = varnel.zarr.levels(a)[k][...]
    kept = 0
    for shard in (path / "c").rglob("*"):
        if not shard.is_file():
            continue
        blob = np.frombuffer(shard.read_bytes(), np.uint8).copy()
        keep = np.zeros(len(blob), bool)
        index_at = len(blob) - (16 * 8 + 4)  # 2 x 2 x 2 inner chunks, crc32c
        keep[index_at:] = True
        for slot in range(8):
            offset, length = struct.unpack_from("<QQ", blob, index_at + 16 * slot)
            ranges = varnel.htj2k_chunk_ranges(blob[offset:offset + length].tobytes(), k)
            keep[offset:offset + ranges.index_end] = True
            for o, n in ranges.ranges:
                keep[offset + o:offset + o + n] = True
        blob[~keep] = 0xA5
        shard.write_bytes(blob.tobytes())
        kept += int(keep.sum())
    level = varnel.zarr.levels(zarr.open_array(str(path), mode="r"))[k]
    assert np.array_equal(level[...], before)
    assert level.store.stats.bytes_fetched == kept
    assert level.store.stats.bytes_fetched < level.store.stats.bytes_full / 4


def test_a_zarr_read_fetches_each_shard_index_once():
    """zarr asks for 10 chunks at a time by default: the batches of one read
    share the shard indexes."""
    inner = zarr.storage.MemoryStore()
    a = zarr.create_array(inner, shape=(3, 256, 192), chunks=(1, 64, 64), shards=(3, 128, 192),
                          dtype="uint16", serializer=varnel.zarr.Htj2k(), compressors=None)
    a[...] = image(a.shape, seed=7)
    log = RequestLog()
    level = varnel.zarr.levels(zarr.open_array(counting_store(inner, log), mode="r"))[1]
    log.clear()
    assert np.array_equal(level[...], varnel.zarr.read_reduced(a, 1))
    suffixes = [r for r in log.requests if "Suffix" in (r.range or "")]
    assert len(suffixes) == 2  # shards


def test_ranges_that_touch_are_one_request():
    """At reduce 0 the planes of a chunk lie back to back: one request reads them."""
    a = zarr.create_array(zarr.storage.MemoryStore(), shape=(4, 64, 64), chunks=(4, 32, 32),
                          dtype="uint16", serializer=varnel.zarr.Htj2k(), compressors=None)
    a[...] = image(a.shape, seed=6)
    reader = varnel.zarr.ReducedReader(a)
    assert np.array_equal(reader.read(0), a[...])
    assert (reader.stats.requests, reader.stats.rounds, reader.stats.chunks) == (8, 2, 4)
    # all but the last codestream's end-of-codestream marker, per chunk
    assert reader.stats.bytes_fetched == reader.stats.bytes_full - 2 * 4


_Y, _X = np.mgrid[0:256, 0:256]
CONTENTS = {"noise": np.random.default_rng(9).integers(0, 4096, (2, 256, 256)).astype(np.uint16),
            "smooth": np.stack([2000 + 1500 * np.sin(_X / 9.0) * np.cos(_Y / 7.0)] * 2).astype(np.uint16),
            "constant": np.full((2, 256, 256), 1234, np.uint16)}


@pytest.mark.parametrize("kind,sharded,k,rounds", [
    ("noise", True, 2, 2),     # the estimates hold: shard indexes, then one range per chunk
    ("smooth", True, 2, 3),    # prefixes longer than their estimates: topped up in a third round
    ("noise", False, 2, 2),    # a plain chunk's guess falls short: topped up in a second round
    ("constant", False, 3, 1), # objects shorter than the guess: each comes whole, in one round
    ("constant", True, 3, 2),  # a chunk shorter than its estimate: fetched whole
])
def test_estimated_prefixes_and_top_ups(kind, sharded, k, rounds):
    """Round 2 fetches each chunk's header, index and an estimate of its
    prefix; what falls short is topped up, within the round budget, and the
    values are the stored chunks' at k."""
    data = CONTENTS[kind]
    inner = zarr.storage.MemoryStore()
    a = zarr.create_array(inner, shape=data.shape, chunks=(1, 128, 128), dtype="uint16",
                          shards=(1, 256, 256) if sharded else None,
                          serializer=varnel.zarr.Htj2k(), compressors=None)
    a[...] = data
    log = RequestLog()
    reader = varnel.zarr.ReducedReader(zarr.open_array(counting_store(inner, log), mode="r"))
    log.clear()
    log.latency = 0.02
    assert np.array_equal(reader.read(k), reference(data, (1, 128, 128), k, 5))
    assert reader.stats.rounds == log.rounds() == rounds


# --- the layout cache -------------------------------------------------------------


def cached_array(sharded: bool, data=None):
    """(array on a MemoryStore, the same array through a counting store, its log)."""
    inner = zarr.storage.MemoryStore()
    data = image((2, 256, 256), seed=4) if data is None else data
    a = zarr.create_array(inner, shape=data.shape, chunks=(1, 128, 128), dtype="uint16",
                          shards=(1, 256, 256) if sharded else None,
                          serializer=varnel.zarr.Htj2k(), compressors=None)
    a[...] = data
    log = RequestLog()
    return a, zarr.open_array(counting_store(inner, log), mode="r"), log


def exact_bytes(a, k: int) -> tuple[int, int]:
    """Requests and bytes of a read of all of `a` at k that asks for nothing
    but each shard's index and each chunk's header, index and prefix."""
    lay = varnel.zarr.MultiscaleStore(a).layout
    requests = nbytes = 0
    for key, buf in a.store._store_dict.items():
        blob = buf.to_bytes()
        if "/c/" not in "/" + key:
            continue
        if lay.sharding is None:
            chunks = [blob]
        else:
            requests, nbytes = requests + 1, nbytes + lay.sharding.index_size
            entries = lay.parse_shard_index(key, blob[-lay.sharding.index_size:])
            chunks = [blob[o:o + n] for o, n in entries if o != (1 << 64) - 1]
        for chunk in chunks:
            ranges = varnel.htj2k_chunk_ranges(chunk, k)
            assert len(ranges.ranges) == 1 and ranges.ranges[0][0] == ranges.index_end
            requests, nbytes = requests + 1, nbytes + ranges.index_end + ranges.ranges[0][1]
    return requests, nbytes


@pytest.mark.parametrize("sharded", [True, False])
def test_a_warm_read_is_one_round_of_exact_ranges(sharded):
    """A second read, at this level or another, asks in one round for each
    shard's index and each chunk's header, index and prefix: not a byte more.
    With the cache off, the second read asks for what the first did."""
    a, counted, log = cached_array(sharded)
    log.latency = 0.02
    for cache in (varnel.zarr.ReducedReader(counted), varnel.zarr.ReducedReader(counted, layout_cache=0)):
        cold = []
        for k in (2, 2, 4):
            log.clear()
            before = dataclasses.replace(cache.stats)
            assert np.array_equal(cache.read(k), reference(a[...], (1, 128, 128), k, 5))
            rounds = cache.stats.rounds - before.rounds
            assert rounds == log.rounds()
            seen = sorted((r.key, r.range, r.nbytes) for r in log.requests)
            if cache.layout_cache.max_bytes and cold:
                assert rounds == 1
                assert (log.count, log.nbytes) == exact_bytes(a, k)
            elif cold and k == 2:  # nothing kept: the same requests again
                assert (rounds, seen) == cold[0]
            cold.append((rounds, seen))


def rewrite(a, how: str) -> None:
    noise = np.random.default_rng(8).integers(0, 4096, (128, 128)).astype(np.uint16)
    if how == "a chunk grows, the chunks after it move":
        a[0, :128, :128] = noise
    elif how == "the last chunk changes in place":
        a[0, 128:, 128:] = noise
    elif how == "a chunk is emptied":
        a[0, :128, :128] = 0
    elif how == "a chunk appears":
        a[1, :128, :128] = noise
    elif how == "the shard is deleted":
        a[1] = 0
    elif how == "every chunk is rewritten":
        a[...] = image(a.shape, seed=11)


@pytest.mark.parametrize("sharded,how", [
    (True, "a chunk grows, the chunks after it move"),
    (True, "the last chunk changes in place"),
    (True, "a chunk is emptied"),
    (True, "a chunk appears"),
    (True, "the shard is deleted"),
    (True, "every chunk is rewritten"),
    (False, "a chunk grows, the chunks after it move"),
    (False, "a chunk is emptied"),
    (False, "a chunk appears"),
    (False, "every chunk is rewritten"),
])
@pytest.mark.parametrize("through", ["ReducedReader", "levels"])
def test_a_rewritten_array_reads_its_new_values_within_the_round_budget(sharded, how, through):
    """The array changes between reads: what the kept layout placed wrongly
    is never decoded; the read takes at most the budget's rounds, and the
    next one, with the layout it found, one round."""
    data = image((2, 256, 256), seed=4)
    data[1, :128, :128] = 0  # a chunk never written (the fill value)
    a, counted, log = cached_array(sharded, data)
    k, budget = 2, 3 if sharded else 2
    if through == "levels":
        level = varnel.zarr.levels(counted)[k]
        stats = level.store.stats
        read = lambda: level[...]  # noqa: E731
    else:
        reader = varnel.zarr.ReducedReader(counted)
        stats = reader.stats
        read = lambda: reader.read(k)  # noqa: E731
    log.latency = 0.02
    with zarr.config.set({"async.concurrency": 64}):
        for step in ("cold", "warm", "rewritten", "warm again"):
            if step == "rewritten":
                rewrite(a, how)
            log.clear()
            before = stats.rounds
            assert np.array_equal(read(), reference(a[...], (1, 128, 128), k, 5)), step
            assert stats.rounds - before == log.rounds()
            assert log.rounds() <= (1 if step.startswith("warm") else budget), (step, log.timeline())


@pytest.mark.parametrize("bound,kept", [(0, 0), (700, 3), (1 << 20, 10)])
def test_the_cache_keeps_within_its_bound(bound, kept):
    """Entries beyond the bound go, least recently used first (2 shard
    indexes and 8 chunk heads of about 180 bytes each here); a read with
    part of its layout kept is correct and within the budget."""
    a, counted, log = cached_array(True)
    reader = varnel.zarr.ReducedReader(counted, layout_cache=bound)
    expected = reference(a[...], (1, 128, 128), 3, 5)
    for read in range(2):
        before = reader.stats.rounds
        assert np.array_equal(reader.read(3), expected)
        assert reader.layout_cache.nbytes <= bound and len(reader.layout_cache) == kept
        assert reader.stats.rounds - before <= (1 if read and kept == 10 else 3)


def test_reads_from_threads_and_event_loops_share_the_cache(written):
    """Threads reading levels, a reader and the store's chunks from loops of
    their own all get the stored chunks' values."""
    from concurrent.futures import ThreadPoolExecutor
    paths, data = written
    array = zarr.open_array(str(paths["sharded"]), mode="r")
    pyramid = varnel.zarr.levels(array)
    reader = varnel.zarr.ReducedReader(array)
    plain = varnel.zarr.MultiscaleStore(array, layout_cache=0)
    proto = default_buffer_prototype()
    expect = {k: reference(data, (1, 64, 64), k, 4) for k in range(5)}

    def job(i: int) -> bool:
        k = i % 5
        if i % 3 == 0:
            return np.array_equal(pyramid[k][...], expect[k])
        if i % 3 == 1:
            return np.array_equal(reader.read(k, (i % 2,)), expect[k][i % 2])
        key = f"{k}/c/{i % 2}/{i % 3}/1"
        return (asyncio.run(pyramid[0].store.get(key, proto)).to_bytes()
                == asyncio.run(plain.get(key, proto)).to_bytes())
    with ThreadPoolExecutor(8) as pool:
        assert all(pool.map(job, range(60)))


def truncated(tmp_path, how: str):
    data = image((1, 64, 64), seed=2)
    path = tmp_path / "t.zarr"
    sharded = how.startswith("shard")
    a = zarr.create_array(str(path), shape=data.shape, chunks=(1, 64, 64), dtype="uint16",
                          shards=(1, 64, 64) if sharded else None,
                          serializer=varnel.zarr.Htj2k(), compressors=None)
    a[...] = data
    obj = path / "c" / "0" / "0" / "0"
    blob = bytearray(obj.read_bytes())
    if how == "plain, shorter than its header":
        blob = blob[:40]
    elif how == "plain, shorter than its prefix":
        blob = blob[:varnel.htj2k_chunk_ranges(bytes(blob), 1).ranges[0][0] + 20]
    elif how == "shard entry shorter than the prefix":
        index_at = len(blob) - (16 + 4)
        struct.pack_into("<Q", blob, index_at + 8, 100)  # the entry's length
        from varnel._stored_layout import _crc32c
        struct.pack_into("<I", blob, len(blob) - 4, _crc32c(bytes(blob[index_at:len(blob) - 4])))
    obj.write_bytes(bytes(blob))
    return zarr.open_array(str(path), mode="r")


@pytest.mark.parametrize("how,reason", [
    ("plain, shorter than its header", "where header and plane index need"),
    ("plain, shorter than its prefix", "asked for bytes 100-1437 of 'c/0/0/0', got 0 bytes"),
    ("shard entry shorter than the prefix", "plane index points past the chunk's 100 bytes"),
])
def test_malformed_lengths_are_errors(tmp_path, how, reason):
    array = truncated(tmp_path, how)
    for read in (lambda: varnel.zarr.ReducedReader(array).read(1),
                 lambda: varnel.zarr.levels(array)[1][...]):
        with pytest.raises(ValueError, match=reason) as info:
            read()
        assert "c/0/0/0" in str(info.value)


# --- the group ------------------------------------------------------------------


def test_ome_multiscales_metadata(written):
    paths, _ = written
    store = varnel.zarr.MultiscaleStore(zarr.open_array(str(paths["plain"]), mode="r"))
    group = zarr.open_group(store, mode="r")
    ome = group.attrs["ome"]
    assert ome["version"] == "0.5"
    (ms,) = ome["multiscales"]
    assert ms["axes"] == [{"name": "t", "type": "time"}, {"name": "y", "type": "space"},
                          {"name": "x", "type": "space"}]
    assert [d["path"] for d in ms["datasets"]] == ["0", "1", "2", "3", "4"]
    assert ms["datasets"][3]["coordinateTransformations"] == [{"type": "scale", "scale": [1.0, 8.0, 8.0]}]
    assert sorted(k for k, _ in group.arrays()) == ["0", "1", "2", "3", "4"]
    level = json.loads(sync(store.get("2/zarr.json", default_buffer_prototype())).to_bytes())
    assert level["codecs"] == [{"name": "varnel.htj2k_reduced", "configuration": {"reduce": 2}}]
    assert level["shape"] == [2, 34, 44] and level["dimension_names"] == ["t", "y", "x"]


@pytest.mark.parametrize("ndim,names,expected", [
    (2, None, [("y", "space"), ("x", "space")]),
    (3, None, [("z", "space"), ("y", "space"), ("x", "space")]),
    (5, None, [("t", "time"), ("c", "channel"), ("z", "space"), ("y", "space"), ("x", "space")]),
    (4, ("channel", None, "row", "col"), [("channel", "channel"), ("z", "space"), ("row", "space"),
                                          ("col", "space")]),
    (3, ("angle", "y", "x"), [("angle", None), ("y", "space"), ("x", "space")]),
])
def test_axes_from_dimension_names(ndim, names, expected):
    shape = (2,) * (ndim - 2) + (32, 32)
    a = zarr.create_array(zarr.storage.MemoryStore(), shape=shape, chunks=shape, dtype="uint8",
                          serializer=varnel.zarr.Htj2k(), compressors=None, dimension_names=names)
    axes = zarr.open_group(varnel.zarr.MultiscaleStore(a), mode="r").attrs["ome"]["multiscales"][0]["axes"]
    assert [(x["name"], x.get("type")) for x in axes] == expected


def test_levels_that_would_not_tile_are_left_out():
    a = zarr.create_array(zarr.storage.MemoryStore(), shape=(100, 90), chunks=(24, 40), dtype="uint8",
                          serializer=varnel.zarr.Htj2k(xy_levels=5), compressors=None)
    assert len(varnel.zarr.levels(a)) == 4  # 24 = 8 * 3
    b = zarr.create_array(zarr.storage.MemoryStore(), shape=(100, 90), chunks=(64, 64), dtype="uint8",
                          serializer=varnel.zarr.Htj2k(xy_levels=2), compressors=None)
    assert len(varnel.zarr.levels(b)) == 3  # xy_levels


def test_writes_deletes_and_metadata_changes_are_refused(written):
    paths, _ = written
    store = varnel.zarr.MultiscaleStore(zarr.open_array(str(paths["sharded"]), mode="r"))
    buf = default_buffer_prototype().buffer.from_bytes(b"{}")
    for action in (lambda: store.set("zarr.json", buf), lambda: store.delete("1/c/0/0/0"),
                   lambda: store.set("1/zarr.json", buf), lambda: store.clear()):
        with pytest.raises(ValueError, match="read-only"):
            sync(action())
    level = varnel.zarr.levels(zarr.open_array(str(paths["sharded"]), mode="r"))[1]
    with pytest.raises(Exception, match="read.only"):
        level[0, 0, 0] = 1
    with pytest.raises(Exception, match="read.only"):
        zarr.open_group(store, mode="w")


def test_unwritten_chunks_read_as_the_fill_value():
    a = zarr.create_array(zarr.storage.MemoryStore(), shape=(2, 128, 128), chunks=(1, 32, 32),
                          shards=(1, 64, 64), dtype="uint16", serializer=varnel.zarr.Htj2k(),
                          compressors=None, fill_value=7)
    a[0, :32, :32] = 1000
    level = varnel.zarr.levels(a)[2]
    got = level[...]
    assert (got[0, :8, :8] == 1000).all() and (got[0, 8:] == 7).all() and (got[1] == 7).all()
    assert np.array_equal(varnel.zarr.read_reduced(a, 2), got)


def test_arrays_that_are_not_htj2k_with_an_index_are_refused():
    def make(**kw):
        return zarr.create_array(zarr.storage.MemoryStore(), shape=(2, 64, 64), chunks=(1, 32, 32),
                                 dtype="uint16", **kw)
    cases = [
        (make(shards=(1, 64, 64), serializer=varnel.zarr.Htj2k()), "only codec inside the shards"),
        (make(shards=(1, 64, 64), serializer=varnel.zarr.Htj2k(index=False), compressors=None),
         "no plane index"),
        (make(), "only codec"),
    ]
    for array, message in cases:
        with pytest.raises(ValueError, match=message):
            varnel.zarr.MultiscaleStore(array)


# --- bad input ------------------------------------------------------------------


def damaged(tmp_path, how: str):
    data = image((2, 64, 64), seed=1)
    path = tmp_path / "d.zarr"
    a = zarr.create_array(str(path), shape=data.shape, chunks=(1, 32, 32), shards=(1, 64, 64),
                          dtype="uint16", serializer=varnel.zarr.Htj2k(), compressors=None)
    a[...] = data
    shard = path / "c" / "0" / "0" / "0"
    blob = bytearray(shard.read_bytes())
    index_at = len(blob) - (16 * 4 + 4)
    offset, length = struct.unpack_from("<QQ", blob, index_at + 16)  # inner chunk (0, 0, 1)
    if how == "shard index":
        struct.pack_into("<QQ", blob, index_at + 16, len(blob) + 100, length)
    elif how == "checksum":
        blob[index_at] ^= 1
    elif how == "plane index":  # plane 0's offset, past the inner chunk
        struct.pack_into("<Q", blob, offset + 8 + 4 * 3, length * 4)
    elif how == "header":  # the inner chunk claims another shape
        struct.pack_into("<I", blob, offset + 8 + 4 * 2, 16)
    if how == "shard index":  # a consistent checksum over the damaged index
        from varnel._stored_layout import _crc32c
        struct.pack_into("<I", blob, len(blob) - 4, _crc32c(bytes(blob[index_at:len(blob) - 4])))
    shard.write_bytes(bytes(blob))
    return zarr.open_array(str(path), mode="r")


@pytest.mark.parametrize("how,reason", [
    ("shard index", "points past the end of the shard"),  # or the store answered short
    ("checksum", "crc32c"),
    ("plane index", "plane index points"),
    ("header", "disagrees with the array"),
])
def test_damage_is_an_error_naming_key_inner_chunk_and_reason(tmp_path, how, reason):
    array = damaged(tmp_path, how)
    for read in (lambda: varnel.zarr.ReducedReader(array).read(1),
                 lambda: varnel.zarr.levels(array)[1][...]):
        with pytest.raises(ValueError) as info:
            read()
        text = str(info.value)
        assert "c/0/0/0" in text and reason in text, text
        if how != "checksum":
            assert "inner chunk (0, 0, 1)" in text, text


# --- plain zarr, dask ---------------------------------------------------------------


def test_levels_open_with_plain_zarr_in_a_fresh_process(tmp_path, written):
    """The pyramid copied key by key into a directory opens with nothing but
    zarr in another interpreter: the codecs come from varnel's entry points."""
    names = {e.name for e in importlib.metadata.entry_points(group="zarr.codecs")}
    if "varnel.htj2k_reduced" not in names:
        pytest.skip("varnel is not installed (entry points): scripts/test.sh installs the wheel")
    paths, data = written
    store = varnel.zarr.MultiscaleStore(zarr.open_array(str(paths["sharded"]), mode="r"))
    out = tmp_path / "pyramid.zarr"

    async def copy():
        async for key in store.list():
            buf = await store.get(key, default_buffer_prototype())
            if buf is not None:
                (out / key).parent.mkdir(parents=True, exist_ok=True)
                (out / key).write_bytes(buf.to_bytes())
    sync(copy())
    code = ("import sys, numpy as np, zarr\n"
            "g = zarr.open_group(sys.argv[1], mode='r')\n"
            "np.save(sys.argv[2], g['2'][...])\n")
    subprocess.run([sys.executable, "-c", code, str(out), str(tmp_path / "l2.npy")], check=True,
                   cwd=tmp_path)
    assert np.array_equal(np.load(tmp_path / "l2.npy"), reference(data, (1, 64, 64), 2, 4))


def test_dask_from_zarr_per_level(written):
    da = pytest.importorskip("dask.array")
    paths, data = written
    pyramid = varnel.zarr.levels(zarr.open_array(str(paths["plain"]), mode="r"))
    got = da.from_zarr(pyramid[3]).compute(scheduler="threads")
    assert np.array_equal(got, reference(data, (1, 48, 64), 3, 5))


def test_pyramid_store_pickles(written):
    import pickle
    paths, data = written
    level = varnel.zarr.levels(zarr.open_array(str(paths["sharded"]), mode="r"))[2]
    again = pickle.loads(pickle.dumps(level))
    assert np.array_equal(again[...], level[...])


def test_reads_from_another_event_loop(written):
    paths, data = written
    store = varnel.zarr.MultiscaleStore(zarr.open_array(str(paths["plain"]), mode="r"))
    got = asyncio.run(store.get("1/c/0/0/0", default_buffer_prototype()))
    assert got is not None and got.to_bytes()[:4] == b"vrht"


# --- lazy levels and smooth levels -----------------------------------------------

# selection -> whether it reads at once; planes the read touches (of SHAPE's 2)
SELECTIONS = {
    "napari's first slice: bare : on t": ((slice(None), slice(0, 30, 1), slice(10, 50, 1)), False),
    "every axis bare": ((slice(None),) * 3, False),
    "Ellipsis": (Ellipsis, True),
    "an integer": ((1, slice(None), slice(None)), True),
    "explicit slices (dask's)": ((slice(0, 2), slice(0, 30), slice(10, 50)), True),
    "fewer entries than axes": ((slice(None),), True),
}


@pytest.mark.parametrize("name", list(SELECTIONS))
def test_level_selection_reads_at_once_or_defers(written, name):
    paths, _ = written
    selection, at_once = SELECTIONS[name]
    log = RequestLog()
    a = zarr.open_array(counting_store(zarr.storage.LocalStore(paths["plain"], read_only=True), log), mode="r")
    level = varnel.zarr.levels(a)[1]
    full = np.asarray(zarr.open_array(level.store, path="1", mode="r")[...])
    log.clear()
    got = level[selection]
    assert isinstance(got, np.ndarray) == at_once and (log.count > 0) == at_once
    assert np.array_equal(np.asarray(got), full[selection])


# selections of a view: integers and positive slices compose; the rest index what the view reads
VIEW_SELECTIONS = [(1,), (0, slice(None), 3), (-1, slice(2, None, 3)), (Ellipsis, slice(1, 9, 2)),
                   (slice(None), 4, slice(None)), (0, slice(None, None, -1)), (np.array([1, 0]),),
                   (None, 0)]


@pytest.mark.parametrize("selection", VIEW_SELECTIONS, ids=repr)
def test_level_view_indexes_as_numpy(written, selection):
    paths, _ = written
    level = varnel.zarr.levels(zarr.open_array(str(paths["sharded"]), mode="r"))[1]
    view = level[slice(None), slice(5, 40, 1), slice(3, 60, 2)]
    full = np.asarray(zarr.open_array(level.store, path="1", mode="r")[...])[:, 5:40, 3:60:2]
    assert view.shape == full.shape and view.dtype == full.dtype
    assert np.array_equal(view[selection], full[selection])


def test_level_view_reads_only_the_plane_picked(written):
    paths, _ = written
    log = RequestLog()
    a = zarr.open_array(counting_store(zarr.storage.LocalStore(paths["plain"], read_only=True), log), mode="r")
    view = varnel.zarr.levels(a)[2][slice(None), slice(0, 34, 1), slice(0, 44, 1)]
    log.clear()
    np.asarray(view[1])
    assert {r.key.split("/")[1] for r in log.gets()} == {"1"}  # c/<t>/...: plane 1 only
    with pytest.raises(IndexError):
        view[2]


@pytest.mark.parametrize("name", list(LAYOUTS))
def test_smooth_level_is_the_mean_of_the_finer_reduced_level(written, name):
    paths, data = written
    a = zarr.open_array(str(paths[name]), mode="r")
    reduced, smooth = varnel.zarr.levels(a), varnel.zarr.levels(a, smooth=True)
    assert len(smooth) == len(reduced) and np.array_equal(smooth[0][...], data)
    for k in range(1, len(smooth)):
        assert smooth[k].shape == reduced[k].shape
        finer = reduced[k - 1][...]
        # where the finer level's size is odd, the last row or column also
        # averages the edge chunk's padding, as the stored chunk holds it
        ny, nx = finer.shape[-2] // 2, finer.shape[-1] // 2
        assert np.array_equal(smooth[k][..., :ny, :nx], mean2(finer)[..., :ny, :nx]), k
        stats = smooth[k].store.stats
        if k > 1:  # a prefix of each chunk, as the reduced level k - 1 reads
            assert stats.bytes_fetched < stats.bytes_full
    doc = json.loads(sync(smooth[0].store.get("2/zarr.json", default_buffer_prototype())).to_bytes())
    assert doc["codecs"] == [{"name": "varnel.htj2k_reduced", "configuration": {"reduce": 2, "smooth": True}}]


# block (2 x 2 samples) -> mean, rounded half up, in the block's dtype
MEANS = [
    (np.array([[1, 2], [3, 4]], np.uint16), [[3]]),       # 2.5 -> 3
    (np.array([[1, 1], [1, 3]], np.uint16), [[2]]),       # 1.5 -> 2
    (np.array([[1, 1], [1, 2]], np.uint16), [[1]]),       # 1.25 -> 1
    (np.array([[-1, -1], [-2, -2]], np.int16), [[-1]]),   # -1.5 -> -1
    (np.array([[65535] * 2] * 2, np.uint16), [[65535]]),  # no overflow
    (np.array([[1, 2, 7], [3, 4, 8]], np.uint8), [[3, 8]]),  # an odd column: the samples it has
]


@pytest.mark.parametrize("block,expected", MEANS, ids=lambda v: str(np.asarray(v).tolist()))
def test_mean2_rounds_half_up_in_the_dtype(block, expected):
    got = mean2(block)
    assert got.dtype == block.dtype and got.tolist() == expected


@pytest.mark.parametrize("config", [{"reduce": 0, "smooth": True}, {"reduce": 2, "smooth": 1},
                                    {"reduce": 2, "mean": True}])
def test_smooth_configuration_refused(config):
    with pytest.raises((ValueError, TypeError)):
        varnel.zarr.Htj2kReduced.from_dict({"name": "varnel.htj2k_reduced", "configuration": config})
