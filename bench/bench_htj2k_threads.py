"""htj2k chunk coding from several Python threads.

Codes many 512x512 uint16 microscopy-like chunks, first from one thread, then
from 2 threads at once (every call releases the interpreter lock), and prints
the throughput of each and the speed-up. Goal: at least 1.8x on 2 cores.
Wall-clock figures: run it on an otherwise idle machine; the load average is
printed alongside. For reference it also times 2 worker processes doing the
same work: they share no interpreter, allocator or address space, so their
speed-up is what the machine's cores give at that moment.

    python bench/bench_htj2k_threads.py [--chunks N] [--threads T] [--repeat R]
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
import multiprocessing
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

# NumPy's BLAS threads keep spinning after array work and would take a core
# from the threads being measured: one BLAS thread is enough here.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

from varnel import htj2k_decode, htj2k_encode


def microscopy_chunk(seed: int, size: int = 512) -> np.ndarray:
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:size, 0:size].astype(np.float64)
    img = 180.0 + 60.0 * np.sin(x / 97.0 + seed) * np.cos(y / 131.0)
    for _ in range(40):
        cx, cy = rng.uniform(0, size, 2)
        r = rng.uniform(3.0, 12.0)
        img += rng.uniform(300, 3000) * np.exp(-((x - cx) ** 2 + (y - cy) ** 2) / (2 * r * r))
    return np.clip(rng.poisson(np.clip(img, 0, 4095)), 0, 4095).astype(np.uint16)


# Work for the reference processes, inherited at fork: (function, items) per
# operation name.
JOBS: dict = {}


def code_range(name: str, lo: int, hi: int) -> None:
    fn, items = JOBS[name]
    for item in items[lo:hi]:
        fn(item)


def run_processes(pool: ProcessPoolExecutor, name: str, n: int, per_task: int = 2) -> float:
    """Codes the n items of JOBS[name] on the worker processes, a few chunks
    per task (a task's round trip costs more than a thread's)."""
    t0 = time.perf_counter()
    for f in [pool.submit(code_range, name, lo, min(lo + per_task, n)) for lo in range(0, n, per_task)]:
        f.result()
    return time.perf_counter() - t0


def run(pool: ThreadPoolExecutor, fn, items) -> float:
    """Codes `items` on a long-lived pool (as an array store's thread pool
    would), one task per chunk, so a worker that falls behind (a busier core)
    takes fewer chunks instead of holding up the end of the run."""
    t0 = time.perf_counter()
    for _ in pool.map(fn, items):
        pass
    return time.perf_counter() - t0


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--chunks", type=int, default=32)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--repeat", type=int, default=9)
    args = ap.parse_args()

    chunks = [microscopy_chunk(i) for i in range(args.chunks)]
    raw = [(c.tobytes(), c.shape) for c in chunks]
    blobs = [htj2k_encode(b, s, "uint16") for b, s in raw]
    mb = sum(c.nbytes for c in chunks) / 1e6

    def enc(item):
        return htj2k_encode(item[0], item[1], "uint16")

    def dec(blob):
        return htj2k_decode(blob, (512, 512), "uint16")

    print(f"{args.chunks} chunks of 512x512 uint16 ({mb:.1f} MB), median of {args.repeat}, "
          f"load average {os.getloadavg()[0]:.2f}, {os.cpu_count()} CPUs")
    # 1-thread and T-thread runs alternate and the speed-up is the median of
    # the pairwise ratios, so a drift in the machine's speed (shared hosts)
    # does not favour either side.
    JOBS.update(encode=(enc, raw), decode=(dec, blobs))
    procs = ProcessPoolExecutor(args.threads, mp_context=multiprocessing.get_context("fork"))
    for f in [procs.submit(code_range, "decode", 0, 1) for _ in range(args.threads)]:
        f.result()  # workers started before anything is timed
    single, pool = ThreadPoolExecutor(1), ThreadPoolExecutor(args.threads)
    for name, fn, items in [("encode", enc, raw), ("decode", dec, blobs)]:
        one, many, ratio, pratio = [], [], [], []
        for _ in range(args.repeat):
            a = run(single, fn, items)
            b = run(pool, fn, items)
            c = run_processes(procs, name, len(items))
            one.append(a)
            many.append(b)
            ratio.append(a / b)
            pratio.append(a / c)
        print(f"  {name}: 1 thread {mb / statistics.median(one):7.1f} MB/s   {args.threads} threads "
              f"{mb / statistics.median(many):7.1f} MB/s   speed-up {statistics.median(ratio):.2f} "
              f"(pairs {min(ratio):.2f}..{max(ratio):.2f})   {args.threads} processes: speed-up "
              f"{statistics.median(pratio):.2f}")
    procs.shutdown()

if __name__ == "__main__":
    main()
