"""Small hostile chunks whose declared geometry (precinct grids, code-blocks,
planes, extents, zfp fields) is far beyond what their bytes can hold: each
is refused with ValueError, never MemoryError, by a child process whose
address space may grow by no more than 256 MiB over its baseline, whose
resident memory may grow by no more than 64 MiB, and which has two seconds
of CPU time."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pytest

from hostile import codestream, container

W24, W26, U32 = 1 << 24, 1 << 26, (1 << 32) - 1
# Five levels, 1 x 1 precincts in resolution 0 and 2 x 2 above it.
FINE = [(0, 0)] + [(1, 1)] * 5


def one_plane(shape, stream, **kw):
    return container(shape, [stream], **kw)


def indexed(shape, stream, levels):
    """One plane with an index whose every prefix is the whole codestream."""
    return container(shape, [stream], levels=levels, index=[[len(stream)] * (levels + 1)])


# name: (call, chunk builder, shape, dtype, extra arguments, message part)
CASES = {
    "row of 2^24 precincts": (
        "htj2k_decode", lambda: one_plane((1, W24), codestream(W24, 1, precincts=[(0, 0)])),
        (1, W24), "uint8", (), "packet data too short for the declared packets"),
    "column of 2^24 precincts": (
        "htj2k_decode", lambda: one_plane((W24, 1), codestream(1, W24, precincts=[(0, 0)])),
        (W24, 1), "uint8", (), "packet data too short for the declared packets"),
    "row of 2^26 samples, five levels, RPCL": (
        "htj2k_decode", lambda: one_plane((1, W26), codestream(W26, 1, levels=5, precincts=FINE)),
        (1, W26), "uint16", (), "packet data too short for the declared packets"),
    "row at the 32-bit extent, LRCP": (
        "htj2k_decode",
        lambda: one_plane((1, U32), codestream(U32, 1, levels=5, precincts=FINE, progression=0)),
        (1, U32), "uint8", (), "packet data too short for the declared packets"),
    "2^32-1 square": (
        "htj2k_decode", lambda: one_plane((U32, U32), codestream(U32, U32, levels=5)),
        (U32, U32), "uint8", (), "image too large to decode in memory"),
    # 4 x 4 code-blocks: 8192 x 8192 of them in one precinct.
    "2^26 code-blocks in one precinct": (
        "htj2k_decode",
        lambda: one_plane((1 << 15, 1 << 15),
                          codestream(1 << 15, 1 << 15, xcb=2, ycb=2, body=b"\xfe\x00")),
        (1 << 15, 1 << 15), "uint8", (), "packet header truncated"),
    "2^26 code-blocks, CPRL, Psot 0": (
        "htj2k_decode",
        lambda: one_plane((1 << 15, 1 << 15),
                          codestream(1 << 15, 1 << 15, xcb=2, ycb=2, progression=4, body=b"\xfe\x00",
                                     psot=False)),
        (1 << 15, 1 << 15), "uint8", (), "packet header truncated"),
    "reduced read of a 2^26 row": (
        "htj2k_decode_reduced",
        lambda: indexed((1, W26), codestream(W26, 1, levels=5, precincts=FINE), 5),
        (1, W26), "uint8", (2,), "packet data too short for the declared packets"),
    "reduced read of 2^26 code-blocks": (
        "htj2k_decode_reduced",
        lambda: indexed((1 << 16, 1 << 16),
                        codestream(1 << 16, 1 << 16, levels=1, xcb=2, ycb=2, body=b"\xfe\x00"), 1),
        (1 << 16, 1 << 16), "uint8", (1,), "packet header truncated"),
    "huge reduce": (
        "htj2k_decode_reduced",
        lambda: indexed((1, W26), codestream(W26, 1, levels=5, precincts=FINE), 5),
        (1, W26), "uint8", (200,), "reduce"),
    "2^24 planes without an index": (
        "htj2k_decode", lambda: one_plane((4096, 4096, 1, 1), codestream(1, 1)),
        (4096, 4096, 1, 1), "uint8", (), "unexpected end of codestream"),
    "2^24 planes, index cut short": (
        "htj2k_decode",
        lambda: container((4096, 4096, 1, 1), [codestream(1, 1)], index=[[1]]),
        (4096, 4096, 1, 1), "uint8", (), "truncated coefficient-plane index"),
    "numcodecs Htj2k, shape from a 2^32-1 row": (
        "numcodecs", lambda: one_plane((1, U32), codestream(U32, 1, levels=5, precincts=FINE)),
        (1, U32), "uint8", (), "packet data too short for the declared packets"),
    "zfp field of 2^25 values in 4 KiB": (
        "varnel_zfp_decode", "zfp", (4096, 8192), "float32", (), "stream truncated"),
}

CHILD = r"""
import json, resource, sys, time


def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key + ":"))


sys.path.insert(0, sys.argv[1])
import numpy as np
import varnel, varnel._codecs, varnel.numcodecs
import test_hostile as t

call, build, shape, dtype, extra, _ = t.CASES[sys.argv[2]]
if build == "zfp":
    kw = {"mode": "fixed_accuracy", "tolerance": 1e-3}
    # Zero pages: the field costs no resident memory before the call.
    chunk = varnel._codecs.zfp_encode(np.zeros(shape, dtype), shape, dtype, **kw)[:4096]
else:
    kw, chunk = {}, build()
mib = 1 << 20
vm = status("VmSize")
resource.setrlimit(resource.RLIMIT_AS, (vm + 256 * mib, vm + 256 * mib))
used = resource.getrusage(resource.RUSAGE_SELF)
resource.setrlimit(resource.RLIMIT_CPU, (int(used.ru_utime + used.ru_stime) + 2, resource.RLIM_INFINITY))
try:  # the peak resident set starts again from here (Linux >= 4.0)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
except OSError:
    pass
before = status("VmRSS")
start = time.perf_counter()
try:
    if call == "numcodecs":  # the shape comes from the chunk
        varnel.numcodecs.Htj2k(dtype=dtype).decode(chunk)
    else:
        getattr(varnel, call)(chunk, shape, dtype, *extra, **kw)
    outcome = ["decoded", ""]
except Exception as e:
    outcome = [type(e).__name__, str(e)]
print(json.dumps({"outcome": outcome, "bytes": len(chunk), "seconds": time.perf_counter() - start,
                  "rss_growth_mib": (status("VmHWM") - before) / mib}))
"""


def run_case(name):
    here = os.path.dirname(os.path.abspath(__file__))
    done = subprocess.run([sys.executable, "-c", CHILD, here, name], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, f"{name}: child ended with {done.returncode}: {done.stderr[-2000:]}"
    return json.loads(done.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("name", list(CASES))
def test_hostile_input_is_refused_within_bounds(name):
    report = run_case(name)
    kind, message = report["outcome"]
    assert kind == "ValueError", f"{name}: {kind}: {message}"
    assert CASES[name][-1] in message, message
    assert report["bytes"] < 5000
    assert report["rss_growth_mib"] < 64, report


def test_the_geometry_alone_is_not_refused():
    """The same hand-built codestreams with the packets they declare (one
    empty packet byte each) decode, to zeros: the refusals above are about
    the bytes, not the geometry."""
    import numpy as np

    import varnel

    for shape, levels, precincts in (((1, 4096), 0, [(0, 0)]), ((4096, 1), 0, [(0, 0)]),
                                     ((3, 5000), 5, FINE)):
        h, w = shape
        # Packets per resolution: the precinct grid of that resolution.
        packets = 0
        for r in range(levels + 1):
            rw, rh = -(-w // (1 << (levels - r))), -(-h // (1 << (levels - r)))
            ppx, ppy = precincts[min(r, len(precincts) - 1)]
            packets += -(-rw // (1 << ppx)) * -(-rh // (1 << ppy))
        stream = codestream(w, h, levels=levels, precincts=precincts, body=bytes(packets))
        out = varnel.htj2k_decode(one_plane(shape, stream, levels=levels), shape, "uint8")
        assert np.frombuffer(out, np.uint8).tolist() == [128] * (w * h)
        # Half the packets: refused by name.
        short = codestream(w, h, levels=levels, precincts=precincts, body=bytes(packets // 2))
        with pytest.raises(ValueError, match="packet data too short|packet header truncated"):
            varnel.htj2k_decode(one_plane(shape, short, levels=levels), shape, "uint8")
