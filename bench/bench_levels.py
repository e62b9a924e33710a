"""Pyramids for free: reduced levels of one stored varnel.htj2k array on an
S3-compatible server, against an OME-Zarr pyramid stored beside it.

Data: a planes x size x size uint16 microscopy-like stack (spots on a smooth
background, Poisson noise, 12-bit; bench/synthetic.py), default 16 x 8192 x
8192, sharded (shards 1 x 4096 x 4096, chunks 1 x 1024 x 1024), written with
varnel.zarr.Htj2k. Beside it, a stored pyramid as ome-zarr writes one:
levels 1-5, each the 2 x 2 mean of the one before, written with
varnel.zarr.Htj2k in the same chunks and shards (clipped to the level).

Both are uploaded to moto's standalone S3 server (a subprocess on a free
port) and read through a counting HTTP proxy in front of it that holds every
request for a fixed time (--latency, 30 ms by default; requests are held in
parallel, as a remote object store's round trips overlap) with zarr's
ObjectStore over obstore's S3Store (or --store s3fs). moto answers requests
one at a time, spending milliseconds of Python on each, where S3 serves them
in parallel; so by default the proxy, an asyncio server in a process of its
own, answers byte-range GETs itself from a copy of each object that it
fetched whole from moto once (--forward: a threaded proxy that sends every
request on to moto). Every request and byte is counted at the proxy.

For levels 3 and 5, over the whole array and over one 1024 x 1024 viewport
(plane 0, at the level's origin), it reports wall time, the client's CPU
time (this process: zarr, the store client, varnel's fetching and
decoding), rounds, requests and bytes of:
- the stored level (plain zarr);
- the virtual level through `varnel.zarr.levels` (plain zarr over a
  MultiscaleStore) and through `varnel.zarr.ReducedReader`;
- reading level 0 and downsampling (2 x 2 means), once;
- the reduced read's requests alone: the ReducedReader's requests of its cold
  and of its last warm read, made again through the same store client in as
  many waves as the reader took rounds, neither parsed nor decoded. Their time is the floor for any read
  of those bytes on this client and machine.
Each of the first three is read cold (its first read: a new store or reader,
nothing of the layout kept; the client's connections are opened beforehand) and then --repeat times warm (the median time is
reported: a viewer reads the same array again and again, and the virtual
level's layout cache then asks for every chunk in the first round), the
three sides taking turns.
zarr's async.concurrency is raised to 1024 for every read (--concurrency;
zarr issues that many chunk requests at a time, 10 by default: a whole-array
read of a level is then one batch of 1024 chunk requests, so it takes the
same rounds through zarr as through ReducedReader), and s3fs's connection
pool to 128 connections. obstore is the default client: its requests are
made in Rust, and a reduced read makes one request per inner chunk.

Goals: virtual bytes within 1.3x of the stored level's, time within 1.5x of
reading the stored level, and at least 10x faster than level 0 + downsampling.
Prints a table and writes a PNG (demo-output/bench_levels.png by default).

    python bench/bench_levels.py [--planes 16] [--size 8192] [--latency 0.03] [--store obstore|s3fs]
                                 [--xy-levels 5] [--forward] [--repeat 5]
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import NamedTuple

import numpy as np
import zarr

import varnel
import varnel.zarr

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "tests" / "python"))
from async_proxy import async_proxy  # noqa: E402
from remote_stores import (RequestLog, S3Proxy, moto_server, obstore_store, s3fs_store,  # noqa: E402
                           upload_dir)
from synthetic import microscopy_stack  # noqa: E402

LEVELS = (3, 5)


def mean2(a: np.ndarray) -> np.ndarray:
    """2 x 2 means of the trailing two axes (an odd edge repeated), rounded."""
    y, x = a.shape[-2:]
    if y % 2 or x % 2:
        a = np.pad(a, [(0, 0)] * (a.ndim - 2) + [(0, y % 2), (0, x % 2)], mode="edge")
    s = (a[..., ::2, ::2].astype(np.uint32) + a[..., 1::2, ::2] + a[..., ::2, 1::2] + a[..., 1::2, 1::2])
    return ((s + 2) // 4).astype(a.dtype)


def downsample(a: np.ndarray, k: int) -> np.ndarray:
    for _ in range(k):
        a = mean2(a)
    return a


def stored_bytes(path: Path) -> int:
    return sum(f.stat().st_size for f in path.rglob("*") if f.is_file() and f.name != "zarr.json")


def write(args, work: Path) -> tuple[dict, np.ndarray]:
    """The array and its stored pyramid on disk; returns stored bytes per part
    and plane 0 (for the plot)."""
    t0 = time.perf_counter()
    data = microscopy_stack(args.planes, args.size)
    print(f"data {data.shape} uint16 ({data.nbytes / 2**20:.0f} MiB) made in "
          f"{time.perf_counter() - t0:.1f} s")
    chunk, shard = args.chunk, args.shard
    t0 = time.perf_counter()
    a = zarr.create_array(str(work / "image.zarr"), shape=data.shape, chunks=(1, chunk, chunk),
                          shards=(1, shard, shard), dtype="uint16",
                          serializer=varnel.zarr.Htj2k(xy_levels=args.xy_levels),
                          compressors=None, dimension_names=("t", "y", "x"))
    a[...] = data
    sizes = {"array": stored_bytes(work / "image.zarr")}
    level = data
    group = zarr.open_group(str(work / "pyramid.zarr"), mode="w")
    for k in range(1, 6):
        level = mean2(level)
        side = level.shape[-1]
        p = group.create_array(str(k), shape=level.shape, chunks=(1, min(chunk, side), min(chunk, side)),
                               shards=(1, min(shard, side), min(shard, side)), dtype="uint16",
                               serializer=varnel.zarr.Htj2k(xy_levels=min(args.xy_levels,
                                                                          side.bit_length() - 1)),
                               compressors=None, dimension_names=("t", "y", "x"))
        p[...] = level
        sizes[k] = stored_bytes(work / "pyramid.zarr" / str(k))
    print(f"written in {time.perf_counter() - t0:.1f} s")
    return sizes, data[0]


class Side(NamedTuple):
    """One way of reading a region: cold (its first read, nothing kept) and
    warm (the median time of the reads after it; requests, bytes and rounds
    of the last)."""

    cold: tuple[float, int, int, int, float]  # seconds, requests, bytes, rounds, client CPU seconds
    warm: tuple[float, int, int, int, float]


def measure(log: RequestLog, sides: dict, repeat: int) -> tuple[dict, dict, dict]:
    """Reads each side's function once cold, then `repeat` times warm, the
    sides taking turns; returns ({name: Side}, {name: last result},
    {name: (the cold read's requests, the last warm read's)}). Rounds are the
    waves of requests the proxy saw (none in flight before each)."""
    runs: dict = {name: [] for name in sides}
    out, logged = {}, {}
    for _ in range(1 + repeat):
        for name, fn in sides.items():
            time.sleep(0.3)  # a MultiscaleStore keeps shard indexes until 0.2 s without a request
            log.clear()
            t0, c0 = time.perf_counter(), time.process_time()
            out[name] = fn()
            runs[name].append((time.perf_counter() - t0, log.count, log.nbytes, log.rounds(),
                               time.process_time() - c0))
            logged.setdefault(name, []).append(log.requests)
    result = {}
    for name, got in runs.items():
        warm = got[1:] or got
        result[name] = Side(got[0], (statistics.median(r[0] for r in warm),) + warm[-1][1:4]
                            + (statistics.median(r[4] for r in warm),))
    return result, out, {name: (got[0], got[-1]) for name, got in logged.items()}


def waves(requests: list, rounds: int) -> list[list]:
    """The requests of a read that took `rounds` rounds, in its waves: all at
    once for one round; for two, the shard indexes (suffix requests) first;
    else the waves the proxy saw (`RequestLog.rounds`), which under load can
    split a round where a request started after all earlier ones had ended."""
    if rounds == 1:
        return [list(requests)]
    if rounds == 2:
        first = [r for r in requests if r.range.startswith("bytes=-")]
        return [first, [r for r in requests if not r.range.startswith("bytes=-")]]
    out, busy_until = [], float("-inf")
    for r in sorted(requests, key=lambda r: r.start):
        if r.start >= busy_until:
            out.append([])
        out[-1].append(r)
        busy_until = max(busy_until, r.end)
    return out


def bare(store, prefix: str, requests: list, rounds: int):
    """A function that makes `requests` again through `store`'s own ``get``,
    in the waves of a read of `rounds` rounds (`waves`), each wave at once, and neither parses nor decodes what
    comes back: what the reduced read's requests alone cost this client."""
    from zarr.abc.store import RangeByteRequest, SuffixByteRequest
    from zarr.core.buffer import default_buffer_prototype
    from zarr.core.sync import sync

    proto = default_buffer_prototype()

    def ask(r):
        a, _, b = r.range[len("bytes="):].partition("-")
        rng = SuffixByteRequest(int(b)) if a == "" else RangeByteRequest(int(a), int(b) + 1)
        return r.key.split(prefix, 1)[1], rng

    plan = [[ask(r) for r in wave] for wave in waves(requests, rounds) if wave]

    async def run():
        for wave in plan:
            await asyncio.gather(*[store.get(k, proto, byte_range=rng) for k, rng in wave])

    return lambda: sync(run())


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--planes", type=int, default=16)
    ap.add_argument("--size", type=int, default=8192)
    ap.add_argument("--chunk", type=int, default=1024)
    ap.add_argument("--shard", type=int, default=4096)
    ap.add_argument("--xy-levels", type=int, default=5,
                    help="varnel.zarr.Htj2k's xy_levels, for the array and the stored pyramid")
    ap.add_argument("--latency", type=float, default=0.03, help="seconds added to each request")
    ap.add_argument("--repeat", type=int, default=5,
                    help="warm reads of each region after the cold one (their median is reported)")
    ap.add_argument("--store", choices=["s3fs", "obstore"], default="obstore")
    ap.add_argument("--concurrency", type=int, default=1024,
                    help="zarr's async.concurrency for every read (chunk requests in flight)")
    ap.add_argument("--forward", action="store_true",
                    help="a threaded proxy in this process that sends every request on to moto (by "
                         "default an asyncio proxy in its own process answers byte-range GETs from "
                         "a copy of each object it fetched from moto once)")
    ap.add_argument("--png", type=Path, default=ROOT / "demo-output" / "bench_levels.png")
    args = ap.parse_args()
    print(f"varnel {varnel.__version__}, zarr {zarr.__version__}, Python {sys.version.split()[0]}")

    work = Path(tempfile.mkdtemp(prefix="varnel-levels-"))
    rows = []
    try:
        sizes, plane0 = write(args, work)
        with moto_server() as endpoint, zarr.config.set({"async.concurrency": args.concurrency}), \
                contextlib.ExitStack() as stack:
            t0 = time.perf_counter()
            upload_dir(endpoint, "bench", work / "image.zarr", "image.zarr")
            upload_dir(endpoint, "bench", work / "pyramid.zarr", "pyramid.zarr")
            print(f"uploaded to moto in {time.perf_counter() - t0:.1f} s; every request below is "
                  f"held {args.latency * 1e3:.0f} ms at the proxy ({'threaded, forwarding to moto' if args.forward else 'asyncio, own process, serving ranges from its copy'}); "
                  f"client {args.store}, zarr async.concurrency {args.concurrency}\n")
            shutil.rmtree(work, ignore_errors=True)
            if args.forward:
                log = RequestLog()
                proxy = stack.enter_context(S3Proxy(endpoint, log))
            else:
                proxy, log = stack.enter_context(async_proxy(endpoint))
            def store(prefix):
                if args.store == "s3fs":
                    return s3fs_store(proxy, f"bench/{prefix}", pool=128)
                return obstore_store(proxy, "bench", prefix)

            image = zarr.open_array(store("image.zarr"), mode="r")
            pyramid = zarr.open_group(store("pyramid.zarr"), mode="r")
            log.latency = args.latency
            # One read of many chunks first, so that the client's connection pool
            # holds the connections a round of 1,088 requests needs: "cold"
            # below means nothing of the array's layout kept, not new connections.
            varnel.zarr.ReducedReader(image, layout_cache=0).read(LEVELS[-1])
            thumb = None
            for k in LEVELS:
                v = 1024  # the viewport, in level-k pixels
                for region, sel in (("whole array", (slice(None),) * 3),
                                    (f"viewport {v}x{v}", (0, slice(0, v), slice(0, v)))):
                    stored_arr = pyramid[str(k)]
                    virtual = varnel.zarr.levels(image)[k]  # a new store: its first read is cold
                    reader = varnel.zarr.ReducedReader(image)
                    reader_rounds = []  # the reader's own count, read by read

                    def read_reduced():
                        before = reader.stats.rounds
                        got = reader.read(k, sel)
                        reader_rounds.append(reader.stats.rounds - before)
                        return got

                    sides, got, logged = measure(log, {
                        "stored level": lambda: stored_arr[sel],
                        # (np.asarray: a selection of slices of a Level is a lazy view)
                        "virtual: levels() + zarr": lambda: np.asarray(virtual[sel]),
                        "virtual: ReducedReader": read_reduced}, args.repeat)
                    assert np.array_equal(got["virtual: levels() + zarr"], got["virtual: ReducedReader"])
                    f = 1 << k
                    sel0 = sel if region == "whole array" else (0, slice(0, v * f), slice(0, v * f))
                    level0, _, _ = measure(log, {"level 0 + downsample": lambda: downsample(image[sel0], k)}, 0)
                    sides.update(level0)
                    # The floor: the reduced read's own requests, neither parsed nor decoded.
                    cold_reqs, warm_reqs = logged["virtual: ReducedReader"]
                    floor_cold, _, _ = measure(log, {"requests alone": bare(
                        image.store, "image.zarr/", cold_reqs, reader_rounds[0])}, 0)
                    floor_warm, _, _ = measure(log, {"requests alone": bare(
                        image.store, "image.zarr/", warm_reqs, reader_rounds[-1])}, args.repeat)
                    sides["requests alone"] = Side(floor_cold["requests alone"].cold,
                                                   floor_warm["requests alone"].warm)
                    if k == LEVELS[-1] and region != "whole array":
                        thumb = got["virtual: ReducedReader"]
                    rows.append((k, region, sides))
            log.latency = 0
    finally:
        shutil.rmtree(work, ignore_errors=True)
    report(args, sizes, rows)
    plot(args, sizes, rows, plane0, thumb)


def report(args, sizes: dict, rows: list) -> None:
    mib = 2**20
    pyr = sum(sizes[k] for k in range(1, 6))
    print(f"stored: array {sizes['array'] / mib:,.1f} MiB; a stored pyramid (levels 1-5) adds "
          f"{pyr / mib:,.1f} MiB (+{100 * pyr / sizes['array']:.1f} %); the virtual pyramid adds 0")
    print("  " + "  ".join(f"level {k}: {sizes[k] / mib:,.2f} MiB" for k in range(1, 6)))
    print(f"cold: the first read (a new store or reader, nothing kept); warm: the median of the "
          f"{args.repeat} reads after it. Ratios are against the stored level at the same temperature.")
    print()
    head = (f"{'level':>5} {'region':<17} {'read':<28} {'':<4} {'time s':>8} {'cpu s':>6} "
            f"{'rounds':>6} {'requests':>9} {'MiB':>9}  {'bytes/stored':>12} {'time/stored':>11}")
    print(head)
    print("-" * len(head))
    verdicts = []
    for k, region, sides in rows:
        stored = sides["stored level"]
        for name, side in sides.items():
            for temp in ("cold", "warm"):
                if name == "level 0 + downsample" and temp == "warm":
                    continue
                t, n, b, w, cpu = getattr(side, temp)
                ts, _, bs, _, _ = getattr(stored, temp)
                print(f"{k:>5} {region:<17} {name:<28} {temp:<4} {t:8.3f} {cpu:6.2f} {w:>6d} "
                      f"{n:>9,d} {b / mib:9.2f}  {b / bs:12.2f} {t / ts:11.2f}")
        virtual, reader = sides["virtual: levels() + zarr"], sides["virtual: ReducedReader"]
        level0 = sides["level 0 + downsample"].cold[0]
        for temp in ("cold", "warm"):
            t_best = min(getattr(virtual, temp)[0], getattr(reader, temp)[0])
            b_most = max(getattr(virtual, temp)[2], getattr(reader, temp)[2])
            ts, _, bs, _, _ = getattr(stored, temp)
            floor = getattr(sides["requests alone"], temp)[0] / ts
            verdicts.append((k, region, temp, b_most / bs, t_best / ts, level0 / t_best, floor))
        print()
    print("goals: bytes <= 1.3x stored level, time <= 1.5x stored level, >= 10x faster than "
          "level 0 + downsample")
    for k, region, temp, bratio, tratio, speedup, floor in verdicts:
        ok = lambda c: "met" if c else "MISSED"  # noqa: E731
        print(f"  level {k}, {region:<17} {temp}: bytes {bratio:5.2f}x ({ok(bratio <= 1.3)}), "
              f"time {tratio:5.2f}x ({ok(tratio <= 1.5)}; its requests alone {floor:4.2f}x), "
              f"{speedup:6.1f}x faster than level 0 + downsample ({ok(speedup >= 10)})")
    print("(\"requests alone\": the ReducedReader's requests of that read made again through the "
          "same store client, wave after wave, neither parsed nor decoded; the time no read of "
          "those bytes can beat here)")


def plot(args, sizes: dict, rows: list, plane0: np.ndarray, thumb) -> None:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("(matplotlib is not installed: no plot)")
        return
    mib = 2**20
    fig, axes = plt.subplots(1, 4, figsize=(19, 4.4))
    ax = axes[0]
    pyr = sum(sizes[k] for k in range(1, 6))
    bars = ax.bar([0, 1], [sizes["array"] / mib, (sizes["array"] + pyr) / mib],
                  color=["#1f77b4", "#7f7f7f"])
    ax.bar_label(bars, fmt="%.0f")
    ax.set_xticks([0, 1], ["array\n(virtual pyramid)", "array +\nstored pyramid"], fontsize=8)
    ax.set_title("stored (MiB)")
    labels = [f"L{k} {'all' if r == 'whole array' else 'view'}" for k, r, *_ in rows]
    x = np.arange(len(rows))
    bars = [("stored level", "cold", "stored, cold", "#bfbfbf"), ("stored level", "warm", "stored, warm", "#7f7f7f"),
            ("virtual: levels() + zarr", "cold", "levels(), cold", "#9ecae1"),
            ("virtual: levels() + zarr", "warm", "levels(), warm", "#1f77b4"),
            ("virtual: ReducedReader", "cold", "ReducedReader, cold", "#a1d99b"),
            ("virtual: ReducedReader", "warm", "ReducedReader, warm", "#2ca02c"),
            ("requests alone", "warm", "its requests alone, warm", "#ffbb78"),
            ("level 0 + downsample", "cold", "level 0 + downsample", "#d62728")]
    width = 0.8 / len(bars)
    for ax, idx, title, scale in ((axes[1], 0, "wall time (s, log)", 1), (axes[2], 2, "MiB fetched (log)", mib)):
        for j, (name, temp, label, color) in enumerate(bars):
            ax.bar(x + (j - (len(bars) - 1) / 2) * width,
                   [getattr(sides[name], temp)[idx] / scale for _, _, sides in rows], width,
                   label=label, color=color)
        ax.set_yscale("log")
        ax.set_xticks(x, labels, fontsize=8)
        ax.set_title(title)
    axes[1].legend(fontsize=7)
    ax = axes[3]
    if thumb is not None:
        ax.imshow(np.asarray(thumb), cmap="gray")
        ax.set_title(f"plane 0 at level {LEVELS[-1]} {tuple(np.asarray(thumb).shape)}, "
                     "from the array's prefixes", fontsize=9)
    ax.axis("off")
    fig.suptitle(f"virtual pyramid of a {args.planes}x{args.size}x{args.size} uint16 array on S3 "
                 f"(moto, {args.latency * 1e3:.0f} ms per request, {args.store})")
    fig.tight_layout()
    args.png.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(args.png, dpi=110)
    print(f"\nplot written to {args.png}")


if __name__ == "__main__":
    main()
