"""varnel_zfp_encode/decode against zfpy.compress_numpy/decompress_numpy.

Same arrays, same process, alternating runs; prints throughput (MB/s of raw
array bytes, medians) and the ratio varnel/zfpy. Then many chunks coded from
1 and 2 threads, each side's scaling next to a GIL-free control's (the
machine's ceiling). On shared 2-core machines one 1-thread/2-thread pair
can be off by 20 % either way, so that part takes the median of 9 pairs
(5 for the single-thread part, 3 with --quick; --repeat sets both).

    python bench/bench_zfp.py [--quick] [--repeat N]
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
from concurrent.futures import ThreadPoolExecutor

# NumPy's BLAS threads keep spinning after array work and would take a core
# from the threads being measured: one BLAS thread is enough here.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import zfpy

from varnel import varnel_zfp_decode, varnel_zfp_encode


class LinkedZfp:
    """The zfp library varnel links, called directly through ctypes with
    reused buffers (no allocation, no copy, no page faults): the ceiling
    varnel's own overhead is measured against. Where it is slower than zfpy
    at the same work, the library build differs from zfpy's bundled one
    (stream word size, compiler)."""

    TYPES = {np.dtype(np.int32): 1, np.dtype(np.int64): 2, np.dtype(np.float32): 3,
             np.dtype(np.float64): 4}

    def __init__(self):
        import ctypes as C
        self.C = C
        lib = C.CDLL(self.library_path())
        vp, sz = C.c_void_p, C.c_size_t
        for name, res, args in [
            ("zfp_stream_open", vp, [vp]), ("zfp_stream_close", None, [vp]),
            ("zfp_field_alloc", vp, []), ("zfp_field_free", None, [vp]),
            ("zfp_field_set_type", C.c_int, [vp, C.c_int]),
            ("zfp_field_set_pointer", None, [vp, vp]),
            ("zfp_field_set_size_3d", None, [vp, sz, sz, sz]),
            ("zfp_stream_set_reversible", None, [vp]),
            ("zfp_stream_set_rate", C.c_double, [vp, C.c_double, C.c_int, C.c_uint, C.c_int]),
            ("zfp_stream_set_accuracy", C.c_double, [vp, C.c_double]),
            ("zfp_stream_set_precision", C.c_uint, [vp, C.c_uint]),
            ("zfp_stream_maximum_size", sz, [vp, vp]),
            ("stream_open", vp, [vp, sz]), ("stream_close", None, [vp]),
            ("zfp_stream_set_bit_stream", None, [vp, vp]), ("zfp_stream_rewind", None, [vp]),
            ("zfp_write_header", sz, [vp, vp, C.c_uint]), ("zfp_read_header", sz, [vp, vp, C.c_uint]),
            ("zfp_compress", sz, [vp, vp]), ("zfp_decompress", sz, [vp, vp]),
        ]:
            f = getattr(lib, name)
            f.restype, f.argtypes = res, args
        self.lib = lib

    @staticmethod
    def library_path():
        """The zfp varnel links: the module itself when zfp is linked into it
        statically (its symbols are then visible there), else the shared
        libzfp it loads."""
        import ctypes as C
        import varnel._varnel as m
        try:
            C.CDLL(m.__file__).zfp_compress
            return m.__file__
        except AttributeError:
            return "libzfp.so.1"

    def word_bits(self):
        return self.C.c_size_t.in_dll(self.lib, "stream_word_bits").value

    def _setup(self, a, mode, kw):
        L = self.lib
        field = L.zfp_field_alloc()
        L.zfp_field_set_type(field, self.TYPES[a.dtype])
        nz, ny, nx = a.shape
        L.zfp_field_set_size_3d(field, nx, ny, nz)
        L.zfp_field_set_pointer(field, a.ctypes.data)
        zs = L.zfp_stream_open(None)
        if mode == "reversible":
            L.zfp_stream_set_reversible(zs)
        elif mode == "fixed_rate":
            L.zfp_stream_set_rate(zs, kw["rate"], self.TYPES[a.dtype], 3, 0)
        elif mode == "fixed_precision":
            L.zfp_stream_set_precision(zs, kw["precision"])
        else:
            L.zfp_stream_set_accuracy(zs, kw["tolerance"])
        return field, zs

    def codec(self, a, mode, kw):
        """(encode, decode) closures over preallocated buffers."""
        L = self.lib
        field, zs = self._setup(a, mode, kw)
        buf = np.zeros(L.zfp_stream_maximum_size(zs, field) + 8, np.uint8)
        out = np.empty_like(a)

        def encode():
            bs = L.stream_open(buf.ctypes.data, buf.nbytes)
            L.zfp_stream_set_bit_stream(zs, bs)
            L.zfp_stream_rewind(zs)
            L.zfp_write_header(zs, field, 7)
            n = L.zfp_compress(zs, field)
            L.stream_close(bs)
            return n

        encode()
        dfield = L.zfp_field_alloc()
        dzs = L.zfp_stream_open(None)

        def decode():
            bs = L.stream_open(buf.ctypes.data, buf.nbytes)
            L.zfp_stream_set_bit_stream(dzs, bs)
            L.zfp_stream_rewind(dzs)
            L.zfp_read_header(dzs, dfield, 7)
            L.zfp_field_set_pointer(dfield, out.ctypes.data)
            L.zfp_decompress(dzs, dfield)
            L.stream_close(bs)

        return encode, decode


def smooth_plus_noise(shape, dtype, seed=0):
    rng = np.random.default_rng(seed)
    grids = np.meshgrid(*[np.linspace(0, 4 * np.pi, n, dtype=np.float32) for n in shape],
                        indexing="ij", sparse=True)
    field = np.sin(grids[0]) * np.cos(grids[1]) + np.sin(0.5 * grids[2])
    field = field + 0.01 * rng.standard_normal(shape, dtype=np.float32)
    return field.astype(dtype)


def uint16_stack(shape, seed=1):
    f = smooth_plus_noise(shape, np.float32, seed)
    return np.clip(20000 + 8000 * f, 0, 65535).astype(np.uint16)


def promoted(a):
    """What varnel hands zfp for a uint16 chunk: the zfpy-side equivalent."""
    return ((a.astype(np.int32) - 32768) << 15)


def median_time(fn, repeat, clock=time.perf_counter):
    times = []
    for _ in range(repeat):
        t0 = clock()
        fn()
        times.append(clock() - t0)
    return statistics.median(times)


def paired_medians(fns, repeat, sample=0.05):
    """Alternating runs of single-threaded calls, timed in CPU time of the
    calling thread: all run on it (varnel releases the GIL but does not leave
    the thread), and other processes on a shared machine then cost none of
    them. Each timed sample repeats a call until it lasts about `sample`
    seconds (the same count for every side), so a short interruption of the
    machine weighs little in small arrays' samples. Seconds per call."""
    t0 = time.thread_time()
    fns[0]()
    once = max(time.thread_time() - t0, 1e-6)
    calls = max(1, round(sample / once))
    times = [[] for _ in fns]
    for _ in range(repeat):
        for f, t in zip(fns, times):
            t0 = time.thread_time()
            for _ in range(calls):
                f()
            t.append((time.thread_time() - t0) / calls)
    return [statistics.median(t) for t in times]


MODES = {
    "reversible": {},
    "fixed_rate": {"rate": 8.0},
    "fixed_accuracy": {"tolerance": 1e-3},
    "fixed_precision": {"precision": 20},
}


def zfpy_kwargs(mode, kw, dtype):
    if mode == "fixed_accuracy" and dtype == "uint16":
        return {"tolerance": 2.0 ** 15}  # one uint16 step in promoted units
    return kw


def single_thread(name, a, dtype, repeat):
    shape = a.shape
    raw = a.tobytes()
    mb = len(raw) / 1e6
    peer = promoted(a) if dtype == "uint16" else a
    rows = []
    for mode, kw in MODES.items():
        vkw = dict(kw)
        if mode == "fixed_accuracy" and dtype == "uint16":
            vkw = {"tolerance": 2.0 ** 15}
        zkw = zfpy_kwargs(mode, kw, dtype)
        stream = varnel_zfp_encode(raw, shape, dtype, mode=mode, **vkw)
        zstream = zfpy.compress_numpy(peer, **zkw)
        assert stream == zstream, (name, mode)  # zfpy's stream to the byte
        if LINKED is not None and peer.ndim == 3:
            l_enc, l_dec = LINKED.codec(np.ascontiguousarray(peer), mode, zkw)
        else:
            l_enc = l_dec = None
        fe = [lambda: varnel_zfp_encode(raw, shape, dtype, mode=mode, **vkw),
              lambda: zfpy.compress_numpy(peer, **zkw)] + ([l_enc] if l_enc else [])
        fd = [lambda: varnel_zfp_decode(stream, shape, dtype, mode=mode, **vkw),
              lambda: zfpy.decompress_numpy(zstream)] + ([l_dec] if l_dec else [])
        te = paired_medians(fe, repeat) + [float("nan")]
        td = paired_medians(fd, repeat) + [float("nan")]
        te_v, te_z, te_l = te[:3]
        td_v, td_z, td_l = td[:3]
        rows.append((name, mode, "encode", mb / te_v, mb / te_z, mb / te_l, len(raw) / len(stream)))
        rows.append((name, mode, "decode", mb / td_v, mb / td_z, mb / td_l, len(raw) / len(stream)))
    return rows


def chunks_of(a, n):
    step = a.shape[0] // n
    return [np.ascontiguousarray(a[i * step:(i + 1) * step]) for i in range(n)]


def wall_and_overlap(fn):
    """Wall time of one run, and the ratio of process CPU time to wall time:
    how many threads were running at once on average (1 when the GIL
    serialises them; up to 2 when two cores are free)."""
    w0, c0 = time.perf_counter(), time.process_time()
    fn()
    w, c = time.perf_counter() - w0, time.process_time() - c0
    return w, c / w


def two_threads(name, a, dtype, repeat, n_chunks=16):
    parts = chunks_of(a, n_chunks)
    raws = [(p.tobytes(), p.shape) for p in parts]
    peers = [promoted(p) if dtype == "uint16" else p for p in parts]
    mb = sum(len(r) for r, _ in raws) / 1e6
    mode = "reversible"
    out = []
    with ThreadPoolExecutor(1) as one, ThreadPoolExecutor(2) as two:
        streams = [varnel_zfp_encode(r, shp, dtype, mode=mode) for r, shp in raws]
        zstreams = [zfpy.compress_numpy(p) for p in peers]
        jobs = {
            "encode": (lambda pool: list(pool.map(
                           lambda r: varnel_zfp_encode(r[0], r[1], dtype, mode=mode), raws)),
                       lambda pool: list(pool.map(zfpy.compress_numpy, peers))),
            "decode": (lambda pool: list(pool.map(
                           lambda sr: varnel_zfp_decode(sr[0], sr[1][1], dtype, mode=mode),
                           zip(streams, raws))),
                       lambda pool: list(pool.map(zfpy.decompress_numpy, zstreams))),
        }
        for op, (v_all, z_all) in jobs.items():
            # The four runs alternate and the scalings are medians of pairwise
            # ratios, so a drift in the machine's speed favours no side.
            runs = {k: [] for k in ("v1", "v2", "vo", "z1", "z2", "zo")}
            for _ in range(repeat):
                for key, fn, pool in (("v", v_all, one), ("z", z_all, one)):
                    runs[key + "1"].append(wall_and_overlap(lambda: fn(pool))[0])
                for key, fn in (("v", v_all), ("z", z_all)):
                    w, o = wall_and_overlap(lambda: fn(two))
                    runs[key + "2"].append(w)
                    runs[key + "o"].append(o)
            med = {k: statistics.median(v) for k, v in runs.items()}
            v_scale = statistics.median(a / b for a, b in zip(runs["v1"], runs["v2"]))
            z_scale = statistics.median(a / b for a, b in zip(runs["z1"], runs["z2"]))
            out.append((name, op, mb / med["v1"], mb / med["v2"], v_scale, med["vo"],
                        mb / med["z1"], mb / med["z2"], z_scale, med["zo"]))
    return out


try:
    LINKED = LinkedZfp()
except OSError:
    LINKED = None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="small arrays, few repeats")
    ap.add_argument("--repeat", type=int, default=None)
    ap.add_argument("--only", choices=("single", "threads"), default=None,
                    help="run one of the two parts")
    args = ap.parse_args()
    repeat = args.repeat or (3 if args.quick else 5)
    pairs = args.repeat or (3 if args.quick else 9)
    if args.quick:
        cube, stack = (64, 64, 64), (16, 128, 128)
    else:
        cube, stack = (256, 256, 256), (64, 512, 512)
    arrays = [
        ("float32 " + "x".join(map(str, cube)), smooth_plus_noise(cube, np.float32), "float32"),
        ("float64 " + "x".join(map(str, cube)), smooth_plus_noise(cube, np.float64), "float64"),
        ("uint16 " + "x".join(map(str, stack)), uint16_stack(stack), "uint16"),
    ]
    if args.only != "threads":
        report_single(arrays, repeat)
    if args.only != "single":
        report_threads(arrays, pairs)


def report_single(arrays, repeat):
    print(f"single thread, median of {repeat} alternating runs, thread CPU time (MB/s of raw bytes;"
          f" zfpy codes uint16 as the same promoted int32 field); load average now"
          f" {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
    if LINKED is not None:
        if LINKED.library_path() == "libzfp.so.1":
            print(f"'libzfp' is the system's libzfp ({LINKED.word_bits()}-bit stream words; varnel's"
                  " own zfp is linked in with hidden symbols), called directly with reused buffers")
        else:
            print(f"'libzfp' is the zfp varnel links ({LINKED.word_bits()}-bit stream words), called"
                  " directly with reused buffers: varnel's ceiling on this library build")
    print(f"{'array':<22}{'mode':<16}{'op':<8}{'varnel':>10}{'zfpy':>10}{'ratio':>8}"
          f"{'libzfp':>10}{'v/lib':>8}{'CR':>7}")
    ratios = {"encode": [], "decode": []}
    for name, a, dtype in arrays:
        for row in single_thread(name, a, dtype, repeat):
            n, mode, op, v, z, lib, cr = row
            ratios[op].append(v / z)
            print(f"{n:<22}{mode:<16}{op:<8}{v:>10.1f}{z:>10.1f}{v / z:>8.3f}{lib:>10.1f}{v / lib:>8.3f}"
                  f"{cr:>7.2f}")
    print("varnel/zfpy: " + ", ".join(
        f"{op} lowest {min(r):.3f} median {statistics.median(r):.3f}" for op, r in ratios.items()))
    print()


def machine_scaling(repeat):
    """1-thread / 2-thread wall time of a GIL-free control (hashlib's SHA-256
    of 32 MiB blocks, 8 per run): what the machine lets two threads reach
    right now, the ceiling for the codec's scaling."""
    import hashlib
    block = np.random.default_rng(0).integers(0, 256, 32 << 20, dtype=np.uint8).tobytes()
    work = [block] * 8
    ratios = []
    with ThreadPoolExecutor(1) as one, ThreadPoolExecutor(2) as two:
        for _ in range(repeat):
            t1 = wall_and_overlap(lambda: list(one.map(lambda b: hashlib.sha256(b).digest(), work)))[0]
            t2 = wall_and_overlap(lambda: list(two.map(lambda b: hashlib.sha256(b).digest(), work)))[0]
            ratios.append(t1 / t2)
    return statistics.median(ratios)


def report_threads(arrays, repeat):
    print(f"control: SHA-256 from 1 vs 2 threads scales {machine_scaling(repeat):.2f}x on this machine now"
          " (the ceiling for the scalings below)")
    print(f"many chunks (16 per array, reversible), 1 vs 2 threads of a long-lived pool, wall clock"
          f" (MB/s), median of {repeat} alternated runs; scaling = median pairwise 1t/2t time; "
          f"load average now {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs")
    print("(overlap: process CPU time / wall time during the 2-thread run; other load on the machine"
          " caps it)")
    print(f"{'array':<22}{'op':<8}{'varnel 1t':>11}{'varnel 2t':>11}{'scaling':>9}{'overlap':>9}"
          f"{'zfpy 1t':>10}{'zfpy 2t':>10}{'scaling':>9}{'overlap':>9}{'2t vs zfpy 2t':>15}")
    for name, a, dtype in arrays:
        for n, op, v1, v2, vs, vo, z1, z2, zs, zo in two_threads(name, a, dtype, repeat):
            print(f"{n:<22}{op:<8}{v1:>11.1f}{v2:>11.1f}{vs:>9.2f}{vo:>9.2f}{z1:>10.1f}{z2:>10.1f}"
                  f"{zs:>9.2f}{zo:>9.2f}{v2 / z2:>15.2f}")


if __name__ == "__main__":
    main()
