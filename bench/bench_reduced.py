"""Reduced-resolution reads of htj2k chunks, and decoding into a buffer.

For a chunk of 4 microscopy-like 1024x1024 uint16 planes, per `reduce`: the
share of the chunk's bytes that `htj2k_decode_reduced` reads (header, index
and each plane's prefix) and its time against the full-resolution
`htj2k_decode` of the same chunk, measured side by side in the same run
(alternating, median of several rounds). Also `_codecs.htj2k_decode_into`
against `htj2k_decode` (bytes result).

    python bench/bench_reduced.py [--rounds R] [--levels L] [--progression P]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np

import varnel
from varnel import _codecs

sys.path.insert(0, str(Path(__file__).resolve().parent))
from synthetic import microscopy_stack  # noqa: E402


def timed(fn) -> float:
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def side_by_side(ours, reference, rounds: int) -> tuple[float, float]:
    """Medians of alternating runs of both (seconds); which one goes first
    alternates too."""
    a, b = [], []
    for r in range(rounds):
        if r % 2:
            b.append(timed(reference))
            a.append(timed(ours))
        else:
            a.append(timed(ours))
            b.append(timed(reference))
    return statistics.median(a), statistics.median(b)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--levels", type=int, default=5)
    parser.add_argument("--progression", default="RPCL")
    args = parser.parse_args()

    data = microscopy_stack(4, 1024)
    shape = data.shape
    chunk = _codecs.htj2k_encode(data, shape, "uint16", xy_levels=args.levels,
                                 progression=args.progression)
    full = lambda: varnel.htj2k_decode(chunk, shape, "uint16")  # noqa: E731
    print(f"chunk {shape} uint16, {args.progression}, {args.levels} levels: "
          f"{len(chunk)} bytes ({data.nbytes / len(chunk):.2f}:1)")
    print("reduce  output      bytes read      time vs full decode")
    for reduce in range(args.levels + 1):
        plan = varnel.htj2k_chunk_ranges(chunk, reduce)
        read = plan.index_end + sum(n for _, n in plan.ranges)
        ours, ref = side_by_side(lambda: varnel.htj2k_decode_reduced(chunk, shape, "uint16", reduce),
                                 full, args.rounds)
        side = -(-shape[-1] // (1 << reduce))
        print(f"{reduce:>6}  {side:>4}x{side:<4}  {read:>9} ({read / len(chunk):6.1%})  "
              f"{ours * 1e3:7.2f} ms vs {ref * 1e3:7.2f} ms  = {ours / ref:.3f}x")
    out = np.empty_like(data)
    ours, ref = side_by_side(lambda: _codecs.htj2k_decode_into(chunk, shape, "uint16", out), full,
                             args.rounds)
    print(f"decode_into vs decode to bytes: {ours * 1e3:.2f} ms vs {ref * 1e3:.2f} ms "
          f"= {ours / ref:.3f}x")


if __name__ == "__main__":
    main()
