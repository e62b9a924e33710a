"""Stress: mixed htj2k and zfp chunks coded and decoded from 8 threads at once
(module functions, the buffer codecs and reduced reads, failing calls among
them) give exactly the results of a serial run, for a fixed number of rounds."""

import threading

import numpy as np

import varnel
from varnel import _codecs

THREADS = 8
ROUNDS = 3


def _htj2k_job(i):
    rng = np.random.default_rng(i)
    shape = [(1, 96, 80), (3, 64, 64), (200, 150), (2, 5, 300)][i % 4]
    dtype = ["uint8", "int16", "uint16", "int32"][i % 4]
    hi = {"uint8": 255, "int16": 2000, "uint16": 65535, "int32": 1 << 20}[dtype]
    lo = -hi if dtype.startswith("int") else 0
    a = rng.integers(lo, hi, shape, endpoint=True).astype(dtype)
    kw = {"xy_levels": 2 + i % 4, "progression": ["RPCL", "LRCP", "CPRL"][i % 3]}

    def run():
        blob = varnel.htj2k_encode(a.tobytes(), shape, dtype, **kw)
        out = np.empty_like(a)
        _codecs.htj2k_decode_into(blob, shape, dtype, out)
        try:
            varnel.htj2k_decode(blob[: len(blob) * 2 // 3], shape, dtype)
            damaged = "decoded"
        except ValueError as e:
            damaged = str(e)
        return (blob, varnel.htj2k_decode(blob, shape, dtype), out.tobytes(),
                varnel.htj2k_decode_reduced(blob, shape, dtype, 1 + i % 2), damaged)

    return run


def _zfp_job(i):
    rng = np.random.default_rng(1000 + i)
    shape = [(16, 16, 16), (40, 30), (1000,), (3, 5, 7, 9)][i % 4]
    dtype = ["float32", "float64", "int64", "uint16"][i % 4]
    mode, params = [("reversible", {}), ("fixed_rate", {"rate": 12.0}),
                    ("fixed_accuracy", {"tolerance": 0.25}), ("fixed_precision", {"precision": 18})][i % 4]
    if dtype.startswith("float"):
        a = np.cumsum(rng.normal(size=shape), axis=-1).astype(dtype)
    else:
        a = rng.integers(0, 4000, shape).astype(dtype)

    def run():
        blob = varnel.varnel_zfp_encode(a.tobytes(), shape, dtype, mode=mode, **params)
        out = np.empty_like(a)
        _codecs.zfp_decode_into(blob, shape, dtype, out, mode=mode, **params)
        try:
            varnel.varnel_zfp_decode(blob[: len(blob) // 2], shape, dtype, mode=mode, **params)
            damaged = "decoded"
        except ValueError as e:
            damaged = str(e)
        return blob, varnel.varnel_zfp_decode(blob, shape, dtype, mode=mode, **params), out.tobytes(), damaged

    return run


def test_mixed_chunks_from_eight_threads_give_the_serial_results():
    jobs = [(_htj2k_job if i % 2 == 0 else _zfp_job)(i // 2) for i in range(32)]
    serial = [job() for job in jobs]
    assert all(r[1] == r[2] for r in serial)  # the into-buffer decodes agree with the owned ones
    assert all(r[-1] != "decoded" for r in serial)  # every damaged copy is refused

    for _ in range(ROUNDS):
        results = [[None] * len(jobs) for _ in range(THREADS)]
        start = threading.Barrier(THREADS)

        def worker(t):
            start.wait()
            for k in range(len(jobs)):  # each thread from its own starting point
                i = (k + 5 * t) % len(jobs)
                results[t][i] = jobs[i]()

        threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        for t in range(THREADS):
            assert results[t] == serial, f"thread {t}"
