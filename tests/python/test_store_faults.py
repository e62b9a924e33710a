"""Reduced reads over stores that change between reads or misbehave: a
rewritten shard, a server that ignores ``Range``, one that fails, answers
short, stalls or sends bytes from elsewhere. Every server here is a real
local one (`remote_stores.RangeServer`), and requests are counted where they
reach it."""

from __future__ import annotations

import asyncio
import re
import threading
import time
from pathlib import Path

import numpy as np
import pytest

zarr = pytest.importorskip("zarr")
pytest.importorskip("aiohttp")

from zarr.core.buffer import default_buffer_prototype  # noqa: E402
from zarr.core.sync import sync  # noqa: E402

import varnel  # noqa: E402
import varnel.zarr  # noqa: E402
from remote_stores import (RangeServer, RequestLog, counting_store, http_store,  # noqa: E402
                           obstore_http_store)

CLIENTS = {"fsspec": http_store, "obstore": obstore_http_store}


def constant_chunks(store, values=(2000, 2000, 3000, 4000), shards=True):
    """Four inner chunks of 64 x 64, each one value, in one shard (or four objects)."""
    a = zarr.create_array(store, shape=(1, 128, 128), chunks=(1, 64, 64), dtype="uint16",
                          shards=(1, 128, 128) if shards else None, fill_value=0,
                          serializer=varnel.zarr.Htj2k(), compressors=None)
    for n, v in enumerate(values):
        y, x = divmod(n, 2)
        a[0, 64 * y:64 * (y + 1), 64 * x:64 * (x + 1)] = v
    return a


def rewrite(a, how: str) -> None:
    noise = np.random.default_rng(3).integers(0, 4096, (64, 64)).astype(np.uint16)
    if how == "the first chunk is emptied, the others move":
        a[0, :64, :64] = 0
    elif how == "the first chunk grows, the others move":
        a[0, :64, :64] = noise
    elif how == "two chunks of one size trade values":
        a[0, :64, 64:] = 4000
        a[0, 64:, 64:] = 2000
    elif how == "the shard is deleted":
        a[...] = 0


REWRITES = ["the first chunk is emptied, the others move", "the first chunk grows, the others move",
            "two chunks of one size trade values", "the shard is deleted"]


def reader_of(entry: str, loop: str, array, k: int):
    """A function that reads all of `array` at level k through `entry` on a
    persistent event loop (zarr's) or a short-lived one per read."""
    if entry == "ReducedReader":
        reader = varnel.zarr.ReducedReader(array)
        return lambda: reader.read(k)
    if entry == "levels":
        level = varnel.zarr.levels(array)[k]
    else:
        level = zarr.open_group(varnel.zarr.MultiscaleStore(array), mode="r")[str(k)]
    if loop == "persistent":
        return lambda: level[...]
    return lambda: asyncio.run(level._async_array.getitem(...)).reshape(level.shape)


@pytest.mark.parametrize("sharded,how", [(True, how) for how in REWRITES]
                         + [(False, "the first chunk grows, the others move")])
@pytest.mark.parametrize("entry,loop", [("levels", "persistent"), ("levels", "short-lived"),
                                        ("MultiscaleStore", "persistent"),
                                        ("MultiscaleStore", "short-lived"),
                                        ("ReducedReader", "persistent")])
def test_a_rewrite_never_reads_a_stale_layout(how, entry, loop, sharded):
    """Read, rewrite, read at once (no pause): the values are the new ones."""
    inner = zarr.storage.MemoryStore()
    a = constant_chunks(inner, shards=sharded)
    read = reader_of(entry, loop, zarr.open_array(inner, mode="r"), 1)
    for step in ("cold", "warm", "rewritten", "warm again"):
        if step == "rewritten":
            rewrite(a, how)
        got = read()
        expected = np.asarray(a[...])[:, ::2, ::2] if how != "the first chunk grows, the others move" \
            or step in ("cold", "warm") else None
        if expected is not None:
            assert np.array_equal(got, expected), (step, np.unique(got))
        else:  # the noisy chunk: its reduced values, the constant ones exactly
            assert np.array_equal(got[:, 32:, :], np.asarray(a[...])[:, 64::2, ::2]), step
            assert np.array_equal(got[:, :32, 32:], np.asarray(a[...])[:, :64:2, 64::2]), step
            assert np.array_equal(got[:, :32, :32], varnel.zarr.read_reduced(a, 1)[:, :32, :32])


# --- stores without byte ranges ---------------------------------------------------


@pytest.fixture(scope="module")
def two_shards(tmp_path_factory):
    root = tmp_path_factory.mktemp("faults")
    data = np.random.default_rng(5).poisson(900, (2, 256, 256)).astype(np.uint16)
    a = zarr.create_array(str(root / "s.zarr"), shape=data.shape, chunks=(1, 64, 64),
                          shards=(1, 256, 256), dtype="uint16", serializer=varnel.zarr.Htj2k(),
                          compressors=None)
    a[...] = data
    return root, data


def logged(log: RequestLog, count: int) -> None:
    """Returns once `log` holds `count` requests for chunks, or after 2 s: the
    server logs a request after its answer is sent, and the read can end
    first."""
    deadline = time.monotonic() + 2
    while sum("/c/" in r.key for r in log.requests) < count and time.monotonic() < deadline:
        time.sleep(0.01)


def shard_size(root: Path, *parts: str) -> int:
    return (root / "s.zarr" / "c" / Path(*parts)).stat().st_size


@pytest.mark.parametrize("client", list(CLIENTS))
@pytest.mark.parametrize("what,shards", [("level 3 of the first image", ["0"]),
                                         ("all of the top level", ["0", "1"]),
                                         ("ReducedReader at 2", ["0", "1"])])
def test_a_server_without_ranges_sends_each_object_once_per_read(two_shards, client, what, shards):
    """The server answers ranges with 200 and the whole object (or obstore
    says it has no ranges): each object is fetched once per read, cold and
    warm, and the values are right."""
    root, data = two_shards
    log = RequestLog()
    with RangeServer(root, log, ranges=False) as url:
        array = zarr.open_array(CLIENTS[client](f"{url}/s.zarr"), mode="r")
        if what.startswith("ReducedReader"):
            reader = varnel.zarr.ReducedReader(array)
            read, expected = (lambda: reader.read(2)), varnel.zarr.read_reduced(
                zarr.open_array(str(root / "s.zarr"), mode="r"), 2)
        else:
            pyramid = varnel.zarr.levels(array)
            level = pyramid[3] if what.startswith("level 3") else pyramid[-1]
            sel = (0,) if what.startswith("level 3") else (...,)
            read = lambda: level[sel]  # noqa: E731
            expected = varnel.zarr.read_reduced(zarr.open_array(str(root / "s.zarr"), mode="r"),
                                                len(pyramid) - 1 if sel == (...,) else 3)[sel]
        for step in ("cold", "warm"):
            log.clear()
            assert np.array_equal(read(), expected), step
            logged(log, len(shards))
            gets = [r for r in log.gets() if "/c/" in r.key and (r.range is None or client == "fsspec")]
            assert sorted(r.key.rsplit("/c/", 1)[1] for r in gets) == [f"{s}/0/0" for s in shards], step
            assert sum(r.nbytes for r in gets) == sum(shard_size(root, s, "0", "0") for s in shards)
            # obstore finds out with requests of its own (a HEAD, ranges it then
            # refuses), in the first round of the first read only.
            probes = {r.key for r in log.requests if r not in gets}
            assert len(probes) <= (len(shards) if step == "cold" and client == "obstore" else 0)


# --- errors belong to their own store request and chunk -------------------------------


def store_raising(inner, exc_type, log: RequestLog):
    """`inner` whose ranged gets raise `exc_type`; whole-object gets are logged."""
    from zarr.storage import WrapperStore

    class Raising(WrapperStore):
        async def get(self, key, prototype, byte_range=None):
            if byte_range is not None and "/c/" in "/" + key:
                raise exc_type(f"ranges of {key} refused")
            if "/c/" in "/" + key:
                log.requests.append(key)
            return await self._store.get(key, prototype, byte_range)

    return Raising(inner)


@pytest.mark.parametrize("exc_type,falls_back", [(TypeError, False), (KeyError, False),
                                                 (NotImplementedError, True)])
def test_only_the_stores_no_ranges_signal_means_whole_objects(exc_type, falls_back):
    inner = zarr.storage.MemoryStore()
    a = constant_chunks(inner)
    log = RequestLog()
    array = zarr.open_array(store_raising(inner, exc_type, log), mode="r")
    for read in (lambda: varnel.zarr.ReducedReader(array).read(1),
                 lambda: varnel.zarr.levels(array)[1][...]):
        log.requests.clear()
        if falls_back:
            assert np.array_equal(read(), np.asarray(a[...])[:, ::2, ::2])
            assert log.requests == ["c/0/0/0"]
        else:
            with pytest.raises(ValueError, match=f"{exc_type.__name__}.*ranges of c/0/0/0 refused") as info:
                read()
            assert "'c/0/0/0'" in str(info.value) and isinstance(info.value.__cause__, exc_type)
            assert log.requests == []


def failing_shard(status: int, key: str):
    return lambda path, span, data: (status, b"") if path.endswith(key) else None


@pytest.mark.parametrize("client", list(CLIENTS))
def test_each_shard_gets_its_own_outcome(two_shards, client):
    """One batch of chunk requests over two shards, one of which the server
    fails with 503: the other's chunks come back, the failing one's name it."""
    root, data = two_shards
    with RangeServer(root, RequestLog(), fault=failing_shard(503, "c/1/0/0")) as url:
        array = zarr.open_array(CLIENTS[client](f"{url}/s.zarr"), mode="r")
        store = varnel.zarr.MultiscaleStore(array)
        keys = ["2/c/0/0/0", "2/c/1/0/0", "2/c/0/1/1", "2/c/1/2/3"]
        got = sync(store.read_chunks(keys))
        healthy = varnel.zarr.ReducedReader(zarr.open_array(str(root / "s.zarr"), mode="r"))
        assert isinstance(got[0], bytes) and isinstance(got[2], bytes)
        assert np.array_equal(
            np.frombuffer(varnel.htj2k_decode_reduced(got[2], (1, 64, 64), "uint16", 2),
                          np.uint16).reshape(16, 16), healthy.read(2, (0, slice(16, 32), slice(16, 32))))
        for bad, where in ((got[1], "inner chunk (1, 0, 0)"), (got[3], "inner chunk (1, 2, 3)")):
            assert isinstance(bad, ValueError), bad
            assert "'s.zarr/c/1/0/0'" in str(bad) or "'c/1/0/0'" in str(bad), bad
            assert where in str(bad) and "its shard's index" in str(bad), bad
        assert np.array_equal(varnel.zarr.ReducedReader(array).read(2, 0), healthy.read(2, 0))


def chunk_offsets(path: Path) -> set[int]:
    blob = path.read_bytes()
    lay_slots = 16
    index = np.frombuffer(blob[-(16 * lay_slots + 4):-4], "<u8").reshape(-1, 2)
    return {int(o) for o, _ in index if o != (1 << 64) - 1}


FAULTS = {
    # name: fault builder (the shard's chunk offsets -> fault), what the message says
    "a short answer": (lambda starts: lambda path, span, data: (
        (206, data[span[0]:span[0] + (span[1] - span[0]) // 2])
        if "/c/" in path and span and span[1] < len(data) else None), "got"),
    "404 for the chunks": (lambda starts: lambda path, span, data: (
        (404, b"") if "/c/" in path and span and span[1] < len(data) else None),
        "the store answered that the object does not exist"),
    "503 for the chunks": (lambda starts: lambda path, span, data: (
        (503, b"") if "/c/" in path and span and span[1] < len(data) else None),
        "the store failed"),
}


@pytest.mark.parametrize("client", list(CLIENTS))
@pytest.mark.parametrize("fault", list(FAULTS))
def test_store_faults_say_what_the_store_did(two_shards, fault, client):
    root, _ = two_shards
    build, says = FAULTS[fault]
    with RangeServer(root, RequestLog(), fault=build(chunk_offsets(root / "s.zarr/c/0/0/0"))) as url:
        array = zarr.open_array(CLIENTS[client](f"{url}/s.zarr"), mode="r")
        for read in (lambda: varnel.zarr.ReducedReader(array).read(2, 0),
                     lambda: varnel.zarr.levels(array)[2][0]):
            with pytest.raises(ValueError) as info:
                read()
            text = str(info.value)
            assert "c/0/0/0" in text and "inner chunk (0, " in text and "asked for bytes" in text, text
            assert says in text, text


def test_a_shrunk_shard_is_read_again_after_a_failed_ask(tmp_path):
    """A kept layout places asks past the end of a shard that shrank (the
    server answers 416): the read re-plans from the fresh index, and the
    next read is one round again."""
    path = tmp_path / "a.zarr"
    a = zarr.create_array(str(path), shape=(1, 256, 256), chunks=(1, 64, 64), shards=(1, 256, 256),
                          dtype="uint16", serializer=varnel.zarr.Htj2k(), compressors=None)
    a[...] = np.random.default_rng(2).integers(0, 4096, a.shape).astype(np.uint16)
    log = RequestLog()
    with RangeServer(tmp_path, log) as url:
        array = zarr.open_array(http_store(f"{url}/a.zarr"), mode="r")
        reader = varnel.zarr.ReducedReader(array)
        level = varnel.zarr.levels(array)[1]
        with zarr.config.set({"async.concurrency": 64}):
            for step in ("cold", "warm", "shrunk", "again"):
                if step == "shrunk":
                    a[...] = np.full(a.shape, 7, np.uint16) + (np.arange(256) % 2).astype(np.uint16)
                expected = varnel.zarr.read_reduced(zarr.open_array(str(path), mode="r"), 1)
                for name, stats, read in (("ReducedReader", reader.stats, lambda: reader.read(1)),
                                          ("levels", level.store.stats, lambda: level[...])):
                    log.clear()
                    before = stats.rounds
                    assert np.array_equal(read(), expected), (step, name)
                    refused = [r for r in log.requests if r.nbytes == 0]
                    assert bool(refused) == (step == "shrunk"), (step, name, log.timeline())
                    assert stats.rounds - before <= (3 if step in ("cold", "shrunk") else 1), (step, name)


# --- a stalled store --------------------------------------------------------------


@pytest.mark.parametrize("client", list(CLIENTS))
def test_a_stalled_store_ends_the_read_at_its_timeout(two_shards, client):
    root, _ = two_shards
    release = threading.Event()

    def stall(path, span, data):
        if "/c/" in path:
            release.wait(60)
        return None
    try:
        with RangeServer(root, RequestLog(), fault=stall) as url:
            array = zarr.open_array(CLIENTS[client](f"{url}/s.zarr"), mode="r")
            for read in (lambda: varnel.zarr.ReducedReader(array, timeout=0.3).read(2),
                         lambda: varnel.zarr.levels(array, timeout=0.3)[2][...]):
                with pytest.raises(TimeoutError, match=r"within the read's 0.3 s.*c/[01]/0/0"):
                    read()
    finally:
        release.set()


def test_the_timeout_is_checked():
    a = constant_chunks(zarr.storage.MemoryStore())
    for bad in (0, -1, "1", True):
        with pytest.raises(ValueError, match="timeout"):
            varnel.zarr.ReducedReader(a, timeout=bad)
    assert np.array_equal(varnel.zarr.levels(a, timeout=30)[1][...], np.asarray(a[...])[:, ::2, ::2])


# --- bytes of the right length from the wrong place ----------------------------------


@pytest.mark.parametrize("checksums", [True, False])
def test_shifted_prefix_bytes_are_refused_naming_the_chunk(tmp_path, checksums):
    """The server answers every range but a chunk's first with the right
    length of bytes 16 further on; with checksums in the plane index the
    decode refuses them, and the message names the key and chunk. Without
    them the read cannot tell: wrong values, or a failure elsewhere."""
    codec = varnel.zarr.Htj2k(checksums=checksums)
    path = tmp_path / "p.zarr"
    a = zarr.create_array(str(path), shape=(2, 128, 128), chunks=(2, 64, 64), dtype="uint16",
                          serializer=codec, compressors=None)
    a[...] = np.random.default_rng(1).integers(0, 4096, a.shape).astype(np.uint16)

    def shifted(p, span, data):
        if "/c/" in p and span and span[0] > 0:
            return 206, data[span[0] + 16:span[1] + 16]
        return None
    with RangeServer(tmp_path, RequestLog(), fault=shifted) as url:
        array = zarr.open_array(http_store(f"{url}/p.zarr"), mode="r")
        for read in (lambda: varnel.zarr.ReducedReader(array).read(1),
                     lambda: varnel.zarr.levels(array)[1][...]):
            if not checksums:
                try:
                    got = read()
                except ValueError as e:
                    assert "checksum" not in str(e)
                else:
                    assert not np.array_equal(got, varnel.zarr.read_reduced(a, 1))
                continue
            with pytest.raises(ValueError) as info:
                read()
            text = str(info.value)
            assert re.search(r"'c/0/0/\d'.*chunk \(0, 0, \d\)", text) and "checksum" in text, text


def test_a_level_decode_error_names_the_key_and_stored_chunk():
    inner = zarr.storage.MemoryStore()
    a = constant_chunks(inner, shards=False)
    blob = bytearray(sync(inner.get("c/0/0/1", default_buffer_prototype())).to_bytes())
    head = varnel.htj2k_chunk_ranges(bytes(blob), 1)
    o, m = head.ranges[0]
    blob[o + m - 3:o + m] = b"\xff\xff\xff"  # the prefix's last bytes
    sync(inner.set("c/0/0/1", default_buffer_prototype().buffer.from_bytes(bytes(blob))))
    with pytest.raises(ValueError) as info:
        varnel.zarr.levels(zarr.open_array(inner, mode="r"))[1][...]
    assert "'1/c/0/0/1'" in str(info.value) and "'c/0/0/1'" in str(info.value), info.value
