"""The zfp chunk codec from Python: exact messages and kinds, round trips,
interoperability with zfpy in both directions, concurrency, bad input."""

from __future__ import annotations

import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from varnel import _codecs as c
from varnel import varnel_zfp_decode as dec
from varnel import varnel_zfp_encode as enc

zfpy = pytest.importorskip("zfpy")

MODES = {
    "reversible": {},
    "fixed_rate": {"rate": 8.0},
    "fixed_accuracy": {"tolerance": 1e-3},
    "fixed_precision": {"precision": 20},
}
ZFPY_TYPES = ["int32", "int64", "float32", "float64"]
ALL_TYPES = ["uint8", "int8", "uint16", "int16"] + ZFPY_TYPES
SHAPES = [(37,), (9, 7), (4, 4), (5, 6, 7), (1, 8, 8), (3, 4, 2, 5), (2, 1, 9, 4)]


def field(shape, dtype, seed=0):
    """A smooth field plus noise, in the range of the dtype."""
    rng = np.random.default_rng(seed)
    grids = np.meshgrid(*[np.linspace(0, 3, n) for n in shape], indexing="ij")
    smooth = np.sin(sum(grids)) + 0.1 * rng.standard_normal(shape)
    dt = np.dtype(dtype)
    if dt.kind == "f":
        return (smooth * 1000).astype(dt)
    info = np.iinfo(dt)
    span = min(float(info.max) - float(info.min), 2.0**40)
    mid = (float(info.max) + float(info.min)) / 2
    return np.clip(mid + smooth * span / 5, info.min, info.max).astype(dt)


def raises(message, call):
    with pytest.raises(ValueError) as e:
        call()
    assert str(e.value) == message
    return e.value


# --- messages and kinds -----------------------------------------------------

class TestMessages:
    def test_unknown_dtype(self):
        raises('zfp has no path for dtype "uint32"', lambda: enc(b"", (1,), "uint32"))
        raises('zfp has no path for dtype "<u1"', lambda: dec(b"", (1,), "<u1"))
        for name in ["uint64", "float16", "bool", ">i2", "=i2"]:
            with pytest.raises(ValueError, match="zfp has no path for dtype"):
                enc(b"", (1,), name)

    def test_configuration(self):
        raises('invalid argument: zfp: "reversible" mode does not take "rate"',
               lambda: enc(b"\0" * 4, (4,), "u1", rate=8.0))
        raises('invalid argument: zfp: "reversible" mode does not take "tolerance"',
               lambda: enc(b"\0" * 4, (4,), "u1", tolerance=0.1, precision=3))
        raises('invalid argument: zfp: "fixed_rate" mode does not take "tolerance"',
               lambda: enc(b"\0" * 4, (4,), "u1", mode="fixed_rate", tolerance=0.1))
        raises('invalid argument: zfp: fixed_rate mode needs a "rate"',
               lambda: enc(b"\0" * 4, (4,), "u1", mode="fixed_rate"))
        raises('invalid argument: zfp: fixed_accuracy mode needs a "tolerance"',
               lambda: dec(b"", (4,), "u1", mode="fixed_accuracy"))
        raises('invalid argument: zfp: fixed_precision mode needs a "precision"',
               lambda: dec(b"", (4,), "u1", mode="fixed_precision"))
        raises('unsupported: zfp: unknown mode "Reversible"',
               lambda: enc(b"\0" * 4, (4,), "u1", mode="Reversible"))
        raises('unsupported: zfp: unknown mode "fixed-rate"',
               lambda: enc(b"\0" * 4, (4,), "u1", mode="fixed-rate"))
        raises('unsupported: zfp: unknown mode "a\\"b\\n"',
               lambda: enc(b"\0" * 4, (4,), "u1", mode='a"b\n'))
        for d in (0, 5):
            raises(f"invalid argument: zfp: dims must be 1..=4, got {d}",
                   lambda: enc(b"", (4,), "u1", mode="nope", dims=d))

    @pytest.mark.parametrize("rate, shown", [(0.0, "0"), (-1.0, "-1"), (float("nan"), "NaN"),
                                             (float("inf"), "inf"), (-0.0, "-0")])
    def test_rate_values(self, rate, shown):
        raises("invalid argument: varnel_zfp: fixed-rate mode needs a positive finite rate, got " + shown,
               lambda: enc(b"\0" * 4, (4,), "u1", mode="fixed_rate", rate=rate))

    def test_tolerance_and_precision_values(self):
        raises("invalid argument: varnel_zfp: fixed-accuracy mode needs a non-negative finite tolerance, "
               "got -0." + "0" * 299 + "1",
               lambda: enc(b"\0" * 4, (4,), "u1", mode="fixed_accuracy", tolerance=-1e-300))
        raises("invalid argument: varnel_zfp: fixed-accuracy mode needs a non-negative finite tolerance, "
               "got -1000000000000000000000",
               lambda: enc(b"\0" * 4, (4,), "u1", mode="fixed_accuracy", tolerance=-1e21))
        for t in (0.0, -0.0, 5e-324):
            out = enc(b"\0" * 4, (4,), "u1", mode="fixed_accuracy", tolerance=t)
            assert dec(out, (4,), "u1", mode="fixed_accuracy", tolerance=t) == b"\0" * 4
        for p in (0, 65):
            raises(f"invalid argument: varnel_zfp: fixed-precision mode needs 1..=64 bit planes, got {p}",
                   lambda: enc(b"\0" * 4, (4,), "u1", mode="fixed_precision", precision=p))
        assert enc(b"\0" * 4, (4,), "u1", mode="fixed_precision", precision=64)

    def test_shapes(self):
        raises("invalid argument: zfp: chunk shape has no dimensions", lambda: enc(b"", (), "u1"))
        raises("invalid argument: zfp: chunk shape [4, 0, 4] has a zero extent",
               lambda: dec(b"", (4, 0, 4), "u1", dims=2))
        raises("invalid argument: zfp: chunk shape [1, 1, 1, 8, 8] has 5 dimensions but ZFP fields are "
               "1-4 dimensional; collapse singleton dimensions with a reshape codec upstream",
               lambda: enc(bytes(64), (1, 1, 1, 8, 8), "u1"))
        raises("invalid argument: zfp: chunk shape [2, 3, 4, 5] has 4 non-singleton dimensions but the "
               "configuration declares dims=3; reduce chunking or raise dims",
               lambda: enc(bytes(120), (2, 3, 4, 5), "u1", dims=3))
        raises("invalid argument: zfp: chunk shape [4, 4] (U16) needs 32 bytes, got 30",
               lambda: enc(bytes(30), (4, 4), "uint16"))
        raises("invalid argument: zfp: chunk shape [4294967296, 4294967296] overflows usize",
               lambda: dec(b"", (2**32, 2**32), "u1"))
        raises("invalid argument: varnel_zfp: shape [1, 1, 1, 4097] exceeds the ZFP header metadata bounds",
               lambda: enc(bytes(4097), (1, 1, 1, 4097), "u1"))

    def test_stream_errors_are_malformed_at_byte_0(self):
        a = np.arange(32, dtype=np.float32).reshape(8, 4)
        s = enc(a.tobytes(), (8, 4), "float32")
        pre = "malformed codestream at byte 0: varnel_zfp: "
        raises(pre + "invalid ZFP header magic", lambda: dec(bytes(8), (8, 4), "float32"))
        raises(pre + "invalid ZFP header magic", lambda: dec(b"", (8, 4), "float32"))
        raises(pre + "stream holds float samples, expected int32", lambda: dec(s, (8, 4), "int32"))
        raises(pre + "stream declares dimensions [4, 8, 0, 0], expected [8, 4, 0, 0] (shape [4, 8])",
               lambda: dec(s, (4, 8), "float32"))
        raises(pre + "stream compression parameters do not match the configuration",
               lambda: dec(s, (8, 4), "float32", mode="fixed_precision", precision=20))
        e = raises(pre + "stream is 4096 bytes but this configuration compresses to at most 56",
                   lambda: dec(bytes(4096), (4,), "float64"))
        assert isinstance(e, ValueError)

    def test_fixed_rate_exact_size(self):
        a = field((16, 16), "float32")
        s = enc(a.tobytes(), (16, 16), "float32", mode="fixed_rate", rate=8.0)
        assert len(s) == 272
        for n in (264, 280):
            raises(f"malformed codestream at byte 0: varnel_zfp: fixed-rate stream is {n} bytes, "
                   "computed size is 272",
                   lambda: dec((s + bytes(8))[:n], (16, 16), "float32", mode="fixed_rate", rate=8.0))

    def test_none_is_omitted(self):
        a = field((6, 6), "float64").tobytes()
        assert enc(a, (6, 6), "float64", rate=None) == enc(a, (6, 6), "float64")
        assert enc(a, (6, 6), "f8", mode="fixed_rate", rate=4.0, tolerance=None, precision=None,
                   dims=None) == enc(a, (6, 6), "<f8", mode="fixed_rate", rate=4.0)


# --- round trips ---------------------------------------------------------------

@pytest.mark.parametrize("dtype", ALL_TYPES)
@pytest.mark.parametrize("shape", SHAPES)
def test_reversible_round_trip(dtype, shape):
    a = field(shape, dtype, seed=len(shape))
    s = enc(a.tobytes(), shape, dtype)
    assert len(s) % 8 == 0 and s[:4] == b"zfp\x05"
    assert dec(s, shape, dtype) == a.tobytes()


@pytest.mark.parametrize("dtype", ALL_TYPES)
@pytest.mark.parametrize("mode", list(MODES))
def test_every_mode_decodes_to_the_right_size(dtype, mode):
    shape = (5, 6, 7)
    a = field(shape, dtype)
    s = enc(a.tobytes(), shape, dtype, mode=mode, **MODES[mode])
    out = np.frombuffer(dec(s, shape, dtype, mode=mode, **MODES[mode]), dtype=dtype).reshape(shape)
    if mode == "fixed_accuracy" and dtype.startswith("float"):
        assert np.max(np.abs(out.astype(np.float64) - a)) <= 1e-3


@pytest.mark.parametrize("chunk_shape, dims", [((1, 1, 4, 4), 2), ((1, 8, 1, 8), 3), ((1, 1, 100), 1),
                                               ((1, 1), 3), ((3, 1, 5, 1, 2), 4)])
def test_squeeze_and_pad_round_trip(chunk_shape, dims):
    a = field(chunk_shape, "uint16")
    s = enc(a.tobytes(), chunk_shape, "uint16", dims=dims)
    assert dec(s, chunk_shape, "uint16", dims=dims) == a.tobytes()


def test_dims_needed_to_decode():
    a = field((1, 1, 4, 4), "float32")
    s = enc(a.tobytes(), (1, 1, 4, 4), "float32", dims=2)
    assert s == enc(a.tobytes(), (4, 4), "float32")
    raises("malformed codestream at byte 0: varnel_zfp: stream declares dimensions [4, 4, 0, 0], "
           "expected [4, 4, 1, 1] (shape [1, 1, 4, 4])", lambda: dec(s, (1, 1, 4, 4), "float32"))


def test_narrow_integers_saturate():
    a = np.array([0, 255] * 32, dtype=np.uint8)
    s = enc(a.tobytes(), (8, 8), "uint8", mode="fixed_precision", precision=2)
    out = np.frombuffer(dec(s, (8, 8), "uint8", mode="fixed_precision", precision=2), np.uint8)
    assert out.shape == (64,)


# --- interoperability with zfpy ------------------------------------------------

ZFPY_SHAPES = [(37,), (9, 7), (5, 6, 7), (3, 4, 2, 5), (1, 16, 16), (64, 64)]


@pytest.mark.parametrize("dtype", ZFPY_TYPES)
@pytest.mark.parametrize("shape", ZFPY_SHAPES)
@pytest.mark.parametrize("mode", list(MODES))
def test_varnel_streams_decode_with_zfpy(dtype, shape, mode):
    a = field(shape, dtype, seed=3)
    s = enc(a.tobytes(), shape, dtype, mode=mode, **MODES[mode])
    ours = np.frombuffer(dec(s, shape, dtype, mode=mode, **MODES[mode]), dtype=dtype).reshape(shape)
    theirs = zfpy.decompress_numpy(s)
    assert theirs.dtype == np.dtype(dtype) and theirs.shape == shape
    np.testing.assert_array_equal(theirs, ours)


@pytest.mark.parametrize("dtype", ZFPY_TYPES)
@pytest.mark.parametrize("shape", ZFPY_SHAPES)
@pytest.mark.parametrize("mode", list(MODES))
def test_zfpy_streams_decode_with_varnel(dtype, shape, mode):
    a = field(shape, dtype, seed=4)
    z = zfpy.compress_numpy(a, **MODES[mode])
    ours = np.frombuffer(dec(z, shape, dtype, mode=mode, **MODES[mode]), dtype=dtype).reshape(shape)
    np.testing.assert_array_equal(ours, zfpy.decompress_numpy(z))
    if mode == "reversible":
        np.testing.assert_array_equal(ours, a)
    # Same library, same parameters, same field: the same stream.
    assert enc(a.tobytes(), shape, dtype, mode=mode, **MODES[mode]) == z


def test_where_zfpy_and_varnel_differ():
    a = (np.arange(8, dtype=np.int32) * 1000)
    # zfpy accepts a fixed rate whose per-block budget (4 * 10000 bits) the
    # header cannot record: its stream then misstates its own blocks, and
    # zfpy itself decodes the second block as zeros. varnel refuses the rate.
    z = zfpy.compress_numpy(a, rate=10000)
    assert not np.array_equal(zfpy.decompress_numpy(z), a)
    msg = ("invalid argument: varnel_zfp: fixed rate 10000 gives 40000 bits per 4-value block, "
           "which a ZFP header cannot record (1..=32768 bits per block)")
    raises(msg, lambda: enc(a.tobytes(), (8,), "int32", mode="fixed_rate", rate=10000.0))
    raises(msg, lambda: dec(z, (8,), "int32", mode="fixed_rate", rate=10000.0))
    # A budget of 0 bits per block likewise (int fields have no minimum).
    raises("invalid argument: varnel_zfp: fixed rate 0.1 gives 0 bits per 4-value block, "
           "which a ZFP header cannot record (1..=32768 bits per block)",
           lambda: enc(a.tobytes(), (8,), "int32", mode="fixed_rate", rate=0.1))
    # zfpy has no narrow integer types; varnel promotes them to int32 fields,
    # which zfpy then reads as int32 values in bits 23..30.
    u8 = np.arange(16, dtype=np.uint8).reshape(4, 4)
    s = enc(u8.tobytes(), (4, 4), "uint8")
    np.testing.assert_array_equal(zfpy.decompress_numpy(s), (u8.astype(np.int32) - 128) << 23)


NARROW_SHIFT = {"uint8": (23, 128), "int8": (23, 0), "uint16": (15, 32768), "int16": (15, 0)}


@pytest.mark.parametrize("dtype", list(NARROW_SHIFT))
@pytest.mark.parametrize("shape", [(37,), (9, 7), (5, 6, 7), (3, 4, 2, 5), (64, 64)])
@pytest.mark.parametrize("mode", list(MODES))
def test_narrow_integers_code_as_zfpy_codes_their_promoted_field(dtype, shape, mode):
    # varnel promotes a block at a time while coding: the stream is zfpy's
    # for the whole promoted int32 field, and decodes to zfpy's values, demoted.
    a = field(shape, dtype, seed=6)
    shift, offset = NARROW_SHIFT[dtype]
    promoted = (a.astype(np.int32) - offset) << shift
    kw = dict(MODES[mode], tolerance=2.0**shift) if mode == "fixed_accuracy" else MODES[mode]
    s = enc(a.tobytes(), shape, dtype, mode=mode, **kw)
    assert s == zfpy.compress_numpy(promoted, **kw)
    back = np.frombuffer(dec(s, shape, dtype, mode=mode, **kw), dtype).reshape(shape)
    info = np.iinfo(dtype)
    theirs = np.clip((zfpy.decompress_numpy(s) >> shift), info.min - offset, info.max - offset) + offset
    np.testing.assert_array_equal(back, theirs.astype(dtype))


@pytest.mark.parametrize("dtype", ["float64", "float32", "uint16", "int8"])
@pytest.mark.parametrize("mode", list(MODES))
def test_buffers_at_odd_addresses(dtype, mode):
    # Chunks, streams and outputs one byte off their natural alignment code
    # as aligned ones do.
    shape = (6, 9, 10)
    a = field(shape, dtype, seed=9)
    kw = MODES[mode]
    s = enc(a.tobytes(), shape, dtype, mode=mode, **kw)
    odd = bytearray(a.nbytes + 1)
    odd[1:] = a.tobytes()
    assert c.zfp_encode(memoryview(odd)[1:], shape, dtype, mode=mode, **kw) == s
    odd_stream = bytearray(len(s) + 1)
    odd_stream[1:] = s
    out = bytearray(a.nbytes + 1)
    assert c.zfp_decode_into(memoryview(odd_stream)[1:], shape, dtype, memoryview(out)[1:],
                             mode=mode, **kw) is None
    assert out[1:] == dec(s, shape, dtype, mode=mode, **kw)


@pytest.mark.parametrize("mode", ["reversible", "fixed_accuracy", "fixed_precision"])
def test_long_streams_cut_anywhere_near_the_end(mode):
    # Long streams are read in place up to their last few kilobytes.
    a = field((40, 50, 60), "float64", seed=10)
    kw = MODES[mode]
    s = enc(a.tobytes(), a.shape, "float64", mode=mode, **kw)
    whole = dec(s, a.shape, "float64", mode=mode, **kw)
    for n in [len(s) - k for k in (8, 9, 100, 1000, 2047, 2048, 2100, 4000, 20000)]:
        raises(cut_message(mode, n, len(s)), lambda: dec(s[:n], a.shape, "float64", mode=mode, **kw))
    assert dec(s + bytes(8), a.shape, "float64", mode=mode, **kw) == whole


def test_calls_that_reuse_memory_start_clean():
    # Stream buffers up to 32 MiB come back from the heap with the previous
    # call's bytes in them; larger ones are fresh zero pages. Either way a
    # stream that follows a busy one is zfpy's stream to the byte, and a
    # short stream decodes as if the buffer had been clean.
    rng = np.random.default_rng(5)
    for n in (1 << 16, 4_500_000):
        busy = rng.standard_normal(n)
        quiet = np.zeros(n)
        quiet[n // 2] = quiet[-1] = 1.0  # the last block ends mid-word
        for mode in ("reversible", "fixed_accuracy"):
            kw = MODES[mode]
            expected = zfpy.compress_numpy(quiet, **kw)
            for a in (busy, quiet, busy, quiet):
                s = enc(a.tobytes(), (n,), "float64", mode=mode, **kw)
                back = np.frombuffer(dec(s, (n,), "float64", mode=mode, **kw), np.float64)
                if a is quiet:
                    assert s == expected
                    np.testing.assert_array_equal(back, zfpy.decompress_numpy(expected))
                elif mode == "reversible":
                    np.testing.assert_array_equal(back, a)


# --- concurrency -----------------------------------------------------------------

def test_threads_give_the_bytes_of_a_serial_run():
    jobs = []
    for i in range(48):
        dtype = ALL_TYPES[i % len(ALL_TYPES)]
        mode = list(MODES)[i % 4]
        shape = [(16, 16, 16), (40, 30), (1000,), (6, 7, 8, 9)][i % 4]
        jobs.append((field(shape, dtype, seed=i).tobytes(), shape, dtype, mode))

    def run(job):
        chunk, shape, dtype, mode = job
        s = enc(chunk, shape, dtype, mode=mode, **MODES[mode])
        return s, dec(s, shape, dtype, mode=mode, **MODES[mode])

    serial = [run(j) for j in jobs]
    for _ in range(3):
        with ThreadPoolExecutor(max_workers=8) as pool:
            assert list(pool.map(run, jobs)) == serial


def test_threads_share_nothing_between_errors_and_results():
    good = field((32, 32), "float64").tobytes()
    stream = enc(good, (32, 32), "float64")
    barrier = threading.Barrier(8)
    failures = []

    def worker(k):
        barrier.wait()
        for _ in range(30):
            if k % 2:
                if dec(stream, (32, 32), "float64") != good:
                    failures.append("decode")
            else:
                try:
                    dec(stream[:40] + bytes(8), (32, 32), "float64", mode="fixed_rate", rate=4.0)
                    failures.append("no error")
                except ValueError as e:
                    if not str(e).startswith("malformed codestream at byte 0: varnel_zfp: "):
                        failures.append(str(e))

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


# --- truncated streams -----------------------------------------------------------

TRUNCATED = "varnel_zfp decompress: stream truncated"


def cut_message(mode, n, whole):
    """The error for a stream of `whole` bytes cut to `n` (header intact)."""
    if mode == "fixed_rate":
        return (f"malformed codestream at byte 0: varnel_zfp: fixed-rate stream is {n} bytes, "
                f"computed size is {whole}")
    return f"malformed codestream at byte {n}: {TRUNCATED}"


@pytest.mark.parametrize("dtype, shape, dims", [("float32", (9, 11), None), ("int64", (5, 6, 7), None),
                                                ("uint16", (40,), None), ("float64", (3, 4, 2, 5), None),
                                                ("int8", (1, 12, 1, 10), 2)])
@pytest.mark.parametrize("mode", list(MODES))
def test_a_truncated_stream_is_refused(mode, dtype, shape, dims):
    kw = dict(mode=mode, dims=dims, **MODES[mode])
    s = enc(field(shape, dtype, seed=7).tobytes(), shape, dtype, **kw)
    whole = dec(s, shape, dtype, **kw)
    if dtype in ZFPY_TYPES:
        assert zfpy.decompress_numpy(s).tobytes() == whole
    out = np.empty(len(whole), np.uint8)
    assert c.zfp_decode_into(s, shape, dtype, out, **kw) is None and out.tobytes() == whole
    # The last 64-bit word holds at least one bit the encoder wrote, so a cut
    # of a whole word or more always takes some; so does a cut into the header.
    for n in (len(s) - 8, len(s) // 2, 16):
        raises(cut_message(mode, n, len(s)), lambda: dec(s[:n], shape, dtype, **kw))
        raises(cut_message(mode, n, len(s)), lambda: c.zfp_decode_into(s[:n], shape, dtype, out, **kw))
    with pytest.raises(ValueError, match="^malformed codestream at byte 0: varnel_zfp: "):
        dec(s[:5], shape, dtype, **kw)  # a cut header fails one of its checks
    # Inside the last word: a cut that takes a non-zero byte is refused; one
    # that takes only zero bytes decodes to the same values, or is refused
    # when the encoder's last bits were zeros.
    refused = False
    for k in range(1, 8):
        try:
            got = dec(s[:-k], shape, dtype, **kw)
        except ValueError as e:
            if mode != "fixed_rate":
                assert str(e) == f"malformed codestream at byte {len(s) - k}: {TRUNCATED}"
            refused = True
            continue
        assert not refused and mode != "fixed_rate" and not any(s[-k:]) and got == whole


@pytest.mark.parametrize("mode", list(MODES))
def test_truncated_zfpy_streams_are_refused(mode):
    a = field((20, 30), "float64", seed=8)
    z = zfpy.compress_numpy(a, **MODES[mode])
    np.testing.assert_array_equal(np.frombuffer(dec(z, a.shape, "float64", mode=mode, **MODES[mode])),
                                  zfpy.decompress_numpy(z).ravel())
    raises(cut_message(mode, len(z) - 8, len(z)),
           lambda: dec(z[:-8], a.shape, "float64", mode=mode, **MODES[mode]))


# --- bad input sweeps ------------------------------------------------------------

def _decode_or_malformed(stream, shape, dtype, mode):
    try:
        out = dec(stream, shape, dtype, mode=mode, **MODES[mode])
    except ValueError as e:
        assert (str(e).startswith("malformed codestream at byte 0: varnel_zfp")
                or str(e) == f"malformed codestream at byte {len(stream)}: {TRUNCATED}"), str(e)
        return False
    assert len(out) == int(np.prod(shape)) * np.dtype(dtype).itemsize
    return True


@pytest.mark.parametrize("mode", list(MODES))
def test_truncations_and_bit_flips(mode):
    rng = np.random.default_rng(5)
    for dtype, shape in [("float32", (9, 11)), ("int16", (3, 5, 7)), ("float64", (50,))]:
        s = enc(field(shape, dtype).tobytes(), shape, dtype, mode=mode, **MODES[mode])
        for n in range(len(s)):
            _decode_or_malformed(s[:n], shape, dtype, mode)
        for _ in range(300):
            b = bytearray(s)
            bit = int(rng.integers(len(b) * 8))
            b[bit // 8] ^= 1 << (bit % 8)
            _decode_or_malformed(bytes(b), shape, dtype, mode)


@pytest.mark.parametrize("mode", list(MODES))
def test_random_bytes(mode):
    rng = np.random.default_rng(6)
    for i in range(300):
        junk = bytearray(rng.integers(0, 256, int(rng.integers(0, 200)), dtype=np.uint8).tobytes())
        if i % 2 and len(junk) >= 4:
            junk[:4] = b"zfp\x05"
        _decode_or_malformed(bytes(junk), (7, 9), "float32", mode)


def test_unbounded_stream_size_is_refused():
    raises("invalid argument: varnel_zfp: shape [1152921504606846976] exceeds the ZFP stream size bounds",
           lambda: dec(bytes(16), (2**60,), "uint8"))
