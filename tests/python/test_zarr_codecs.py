"""varnel.zarr: zarr v3 arrays coded with Htj2k and Zfp, through zarr's
pipelines (sharded and not, edge chunks), their configuration, the checks at
array creation, corrupt chunks, and arrays opened by path in a new process."""

from __future__ import annotations

import asyncio
import doctest
import json
import subprocess
import sys

import numpy as np
import pytest

zarr = pytest.importorskip("zarr")

import varnel  # noqa: E402
import varnel._native_calls  # noqa: E402
import varnel.numcodecs  # noqa: E402
import varnel.zarr  # noqa: E402
from varnel.zarr import Htj2k, Zfp  # noqa: E402

# FusedCodecPipeline (zarr >= 3.2) runs codecs through their synchronous methods.
PIPELINES = ["zarr.core.codec_pipeline.BatchedCodecPipeline"]
if hasattr(zarr.core.codec_pipeline, "FusedCodecPipeline"):
    PIPELINES.append("zarr.core.codec_pipeline.FusedCodecPipeline")


def data(dtype, shape, seed=0):
    rng = np.random.default_rng(seed)
    dt = np.dtype(dtype)
    if dt.kind == "f":
        return rng.standard_normal(shape).astype(dt)
    info = np.iinfo(dt)
    return rng.integers(int(info.min), int(info.max), shape, dtype=np.int64, endpoint=True).astype(dt)


# codec, dtype, array shape, chunks, shards; every array has edge chunks.
ROUND_TRIPS = [
    (Htj2k(), "uint8", (3, 70, 50), (2, 32, 32), None),
    (Htj2k(xy_levels=0), "int8", (40, 33), (16, 16), None),
    (Htj2k(progression="LRCP", index=False), "uint16", (2, 3, 20, 21), (1, 2, 16, 8), None),
    (Htj2k(), "int16", (65, 65), (64, 64), None),
    (Htj2k(xy_levels=2), "uint32", (2, 50, 40), (1, 32, 32), None),
    (Htj2k(), "int32", (50, 40), (16, 16), (32, 32)),
    (Htj2k(), ">u2", (20, 30), (8, 8), (16, 16)),
    (Zfp(), "float32", (33, 17), (16, 16), None),
    (Zfp(), "float64", (5, 9, 7), (4, 4, 4), (4, 8, 4)),
    (Zfp(), "int64", (100,), (30,), None),
    (Zfp(), "uint8", (9, 9, 9, 9), (4, 4, 4, 4), None),
    (Zfp(), "int16", (20, 20), (8, 8), (16, 16)),
    (Zfp(), "<i4", (2, 2, 30, 30), (1, 1, 16, 16), None),
    (Zfp(dims=2), "float32", (2, 3, 1, 30, 30), (1, 1, 1, 16, 16), None),
    (Zfp(), ">f8", (10, 10), (4, 4), None),
]


@pytest.mark.parametrize("pipeline", PIPELINES)
@pytest.mark.parametrize("codec, dtype, shape, chunks, shards", ROUND_TRIPS)
def test_lossless_round_trip(codec, dtype, shape, chunks, shards, pipeline):
    a = data(dtype, shape)
    with zarr.config.set({"codec_pipeline.path": pipeline}):
        z = zarr.create_array({}, shape=shape, chunks=chunks, shards=shards, dtype=dtype,
                              serializer=codec, compressors=None, fill_value=0)
        z[:] = a
        back = z[:]
        assert back.dtype == np.dtype(dtype)
        np.testing.assert_array_equal(back, a)
        # a partial write reads, merges and rewrites chunks
        sel = tuple(slice(1, 3) for _ in shape)
        z[sel] = a[sel][::-1]
        a[sel] = a[sel][::-1].copy()
        np.testing.assert_array_equal(z[:], a)


@pytest.mark.parametrize("codec, bound", [
    (Zfp(mode="fixed_accuracy", tolerance=1e-3), 1e-3),
    (Zfp(mode="fixed_precision", precision=24), 1e-4),
    (Zfp(mode="fixed_rate", rate=16), 1e-2),
])
def test_lossy_modes_stay_within_their_bounds(codec, bound):
    a = np.sin(np.linspace(0, 20, 70 * 45)).reshape(70, 45)
    z = zarr.create_array({}, shape=a.shape, chunks=(32, 32), dtype=a.dtype, serializer=codec, compressors=None)
    z[:] = a
    err = np.abs(z[:] - a).max()
    assert 0 < err <= bound


# --- configuration -------------------------------------------------------------

@pytest.mark.parametrize("codec", [Htj2k(), Htj2k(xy_levels=3, progression="CPRL", index=False), Zfp(),
                                   Zfp(mode="fixed_rate", rate=4), Zfp(mode="fixed_precision", precision=9, dims=3)])
def test_configuration_round_trips_through_json(codec):
    d = json.loads(json.dumps(codec.to_dict()))
    assert type(codec).from_dict(d) == codec
    assert set(d["configuration"]) <= set(codec.config_keys)


def module_encode(cls, dtype, shape, **settings):
    """The module function's encoding of a zero chunk, with a codec's settings
    (but ``checksums``, which only the codecs' entry point takes)."""
    settings.pop("checksums", None)
    chunk = np.zeros(shape, dtype).tobytes()
    encode = varnel.htj2k_encode if cls.__name__ == "Htj2k" else varnel.varnel_zfp_encode
    return encode(chunk, shape, np.dtype(dtype).name, **settings)


BAD_SETTINGS = [
    (Htj2k, dict(xy_levels=33)), (Htj2k, dict(xy_levels=-1)), (Htj2k, dict(xy_levels="5")),
    (Htj2k, dict(progression="rpcl")), (Htj2k, dict(index=1)),
    (Zfp, dict(mode="lossless")), (Zfp, dict(rate=8)), (Zfp, dict(mode="fixed_rate")),
    (Zfp, dict(mode="fixed_rate", rate=0)), (Zfp, dict(mode="fixed_accuracy", tolerance="x")),
    (Zfp, dict(mode="fixed_precision", precision=65)), (Zfp, dict(dims=5)),
]


def raised(call):
    with pytest.raises(Exception) as info:
        call()
    return info.value


@pytest.mark.parametrize("family", ["zarr", "numcodecs"])
@pytest.mark.parametrize("cls, kwargs", BAD_SETTINGS)
def test_bad_settings_fail_as_the_module_function_does(cls, kwargs, family):
    expected = raised(lambda: module_encode(cls, "uint8", (8, 8), **kwargs))
    cls = cls if family == "zarr" else getattr(varnel.numcodecs, cls.__name__)
    name = "varnel.htj2k" if cls.__name__ == "Htj2k" else "varnel.zfp"
    builds = [lambda: cls(**kwargs)]
    if family == "zarr":  # from array metadata too
        builds.append(lambda: cls.from_dict({"name": name, "configuration": kwargs}))
    else:
        builds.append(lambda: cls.from_config({"id": name, **kwargs}))
    for build in builds:
        got = raised(build)
        assert (type(got), str(got)) == (type(expected), str(expected))
        assert any(name in note for note in got.__notes__)


@pytest.mark.parametrize("cls, config", [(Htj2k, {"levels": 3}), (Zfp, {"mode": "reversible", "accuracy": 1})])
def test_unknown_configuration_keys_are_refused(cls, config):
    with pytest.raises(ValueError, match=f"^{cls.codec_name}: unknown configuration key"):
        cls.from_dict({"name": cls.codec_name, "configuration": config})


# --- checks when the array is created ---------------------------------------------

UNSUPPORTED = [  # codec, dtype, array shape, chunks
    (Htj2k(), "float32", (8, 8), (8, 8)),
    (Htj2k(), "int64", (8, 8), (8, 8)),
    (Htj2k(), "bool", (8, 8), (8, 8)),
    (Htj2k(), "uint8", (64,), (16,)),
    (Zfp(), "uint32", (8, 8), (8, 8)),
    (Zfp(), "float16", (8, 8), (8, 8)),
    (Zfp(), "float32", (2, 2, 2, 2, 8), (1, 2, 1, 2, 8)),
    (Zfp(dims=2), "float32", (2, 2, 8), (2, 2, 8)),
    (Zfp(), "uint8", (2, 4097, 1, 1), (2, 4097, 1, 1)),
]


@pytest.mark.parametrize("codec, dtype, shape, chunks", UNSUPPORTED)
def test_unsupported_arrays_are_refused_at_creation(codec, dtype, shape, chunks, tmp_path):
    settings = codec.to_dict()["configuration"]
    expected = raised(lambda: module_encode(type(codec), dtype, chunks, **settings))
    reason = str(expected).removeprefix("invalid argument: ")
    # the codec classes point to their own `dims` setting, zarr having no reshape codec
    reason = reason.replace("collapse singleton dimensions with a reshape codec upstream",
                            "give the codec dims=N (1 to 4) to drop the chunk's singleton dimensions and code "
                            "the rest as an N-dimensional field")
    with pytest.raises(ValueError) as got:
        zarr.create_array(tmp_path / "a", shape=shape, chunks=chunks, dtype=dtype, serializer=codec, compressors=None)
    assert str(got.value) == f"{codec.codec_name}: {reason}"
    assert not (tmp_path / "a" / "zarr.json").exists()


def test_chunks_with_more_planes_than_a_container_indexes_are_refused():
    # the encoder would write them; the container reader refuses more than 2**24 planes
    with pytest.raises(ValueError, match=r"^varnel.htj2k: htj2k chunks hold at most 16777216 planes; "
                                         r"chunk shape \[4097, 4096, 1, 1\] has 16781312$"):
        zarr.create_array({}, shape=(4097, 4096, 1, 1), dtype="uint8", serializer=Htj2k(), compressors=None,
                          chunks=(4097, 4096, 1, 1))


def test_sharding_checks_its_inner_chunks():
    if not hasattr(zarr.core.codec_pipeline, "FusedCodecPipeline"):
        pytest.skip("zarr < 3.2 does not validate the codecs inside a shard")
    with pytest.raises(ValueError, match="^varnel.htj2k: htj2k needs a chunk with trailing 2D"):
        zarr.create_array({}, shape=(64,), chunks=(32,), shards=(64,), dtype="uint8", serializer=Htj2k(),
                          compressors=None)


# --- bad chunks --------------------------------------------------------------------

CORRUPTIONS = {
    "empty": lambda b: b"",
    "truncated": lambda b: b[: len(b) // 2],
    "garbage": lambda b: bytes(range(256)) * 4,
    "another chunk's shape": None,  # the chunk of a smaller array
}
CORRUPT_CASES = [(codec, c) for codec in (Htj2k(), Zfp(mode="fixed_rate", rate=16), Zfp()) for c in CORRUPTIONS]


def write_then_corrupt(path, codecs, corruption):
    a = data("uint16", (40, 40))
    codecs = {"compressors": None, **codecs}
    z = zarr.create_array(path / "a", shape=a.shape, chunks=(32, 32), dtype=a.dtype, **codecs)
    z[:] = a
    intact = z[:, :32]
    key = path / "a" / "c" / "0" / "1"
    corrupt = CORRUPTIONS[corruption] if isinstance(corruption, str) else corruption
    if corrupt is None:
        other = zarr.create_array(path / "b", shape=(16, 16), chunks=(16, 16), dtype=a.dtype, **codecs)
        other[:] = a[:16, :16]
        key.write_bytes((path / "b" / "c" / "0" / "0").read_bytes())
    else:
        key.write_bytes(corrupt(key.read_bytes()))
    return z, a, intact


@pytest.mark.parametrize("codec, corruption", CORRUPT_CASES)
def test_corrupt_chunks_raise_errors_naming_codec_and_chunk(codec, corruption, tmp_path):
    z, a, intact = write_then_corrupt(tmp_path, dict(serializer=codec), corruption)
    pattern = rf"^{codec.codec_name}: cannot decode the chunk of shape \(32, 32\) and dtype uint16: "
    with pytest.raises(ValueError, match=pattern):
        z[:]
    np.testing.assert_array_equal(z[:, :32], intact)  # the other chunk still reads


def test_a_checksum_codec_catches_what_a_stream_cannot(tmp_path):
    # A zfp stream carries no checksum: a flipped bit among its blocks decodes
    # to other values.
    crc32c = pytest.importorskip("zarr.codecs").Crc32cCodec()

    def flip(b):
        return b[:40] + bytes([b[40] ^ 0x10]) + b[41:]
    z, a, _ = write_then_corrupt(tmp_path, dict(serializer=Zfp()), flip)
    assert not np.array_equal(z[:], a)
    z, _, _ = write_then_corrupt(tmp_path / "crc", dict(serializer=Zfp(), compressors=crc32c), flip)
    with pytest.raises(ValueError, match="checksum"):
        z[:]


@pytest.mark.parametrize("dtype", ["uint32", "int32"])
def test_every_32_bit_value_is_written_and_read_back(dtype):
    """Once refused at write past about 2**28: single-element updates at
    the dtype's extremes read back, beside the chunk's other values."""
    info = np.iinfo(dtype)
    z = zarr.create_array({}, shape=(4, 4), dtype=dtype, serializer=Htj2k(), compressors=None)
    z[...] = 7
    z[0, 0], z[3, 2] = info.max, info.min
    expect = np.full((4, 4), 7, dtype)
    expect[0, 0], expect[3, 2] = info.max, info.min
    np.testing.assert_array_equal(z[...], expect)


# --- other processes and documentation ---------------------------------------------

def test_arrays_open_by_path_in_a_fresh_interpreter(tmp_path):
    """Only the entry points tell a new interpreter where the codecs live."""
    arrays = {
        "htj2k": (dict(serializer=Htj2k(xy_levels=2)), data("int16", (30, 40))),
        "zfp": (dict(serializer=Zfp(mode="fixed_rate", rate=32)), data("float32", (30, 40))),
        "v2-htj2k": (dict(zarr_format=2, compressors=varnel.numcodecs.Htj2k(dtype="int16")), data("int16", (30, 40))),
        "v2-zfp": (dict(zarr_format=2, compressors=varnel.numcodecs.Zfp(dtype="uint8")), data("uint8", (30, 40))),
    }
    for name, (kwargs, a) in arrays.items():
        kwargs.setdefault("compressors", None)
        z = zarr.create_array(tmp_path / name, shape=a.shape, chunks=(16, 16), dtype=a.dtype, **kwargs)
        z[:] = a
        np.save(tmp_path / f"{name}.npy", z[:])  # as this process reads it
    script = (
        "import sys, numpy as np, zarr\n"
        "for name in sys.argv[2:]:\n"
        "    a = zarr.open_array(sys.argv[1] + '/' + name, mode='r')\n"
        "    assert np.array_equal(a[:], np.load(sys.argv[1] + '/' + name + '.npy')), name\n"
        "print(sorted(m for m in sys.modules if m.startswith('varnel.')))\n"
    )
    run = subprocess.run([sys.executable, "-c", script, str(tmp_path), *arrays], capture_output=True, text=True,
                         cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert "'varnel.numcodecs'" in run.stdout and "'varnel.zarr'" in run.stdout


def test_import_varnel_needs_no_optional_package():
    run = subprocess.run([sys.executable, "-c", "import sys, varnel; "
                          "print([m for m in ('zarr', 'numcodecs', 'dask', 'numpy') if m in sys.modules])"],
                         capture_output=True, text=True)
    assert run.returncode == 0 and run.stdout.strip() == "[]", run.stderr


@pytest.mark.parametrize("module", [varnel, varnel.zarr, varnel.numcodecs], ids=lambda m: m.__name__)
def test_docstring_examples(module):
    result = doctest.testmod(module, optionflags=doctest.ELLIPSIS)
    assert result.attempted > 0 and result.failed == 0


def test_chunks_code_off_the_event_loop(monkeypatch):
    seen = []

    def on_loop():
        try:
            asyncio.get_running_loop()
            return True
        except RuntimeError:
            return False

    for name in ("encode_htj2k", "decode_htj2k"):
        real = getattr(varnel._native_calls, name)
        monkeypatch.setattr(varnel._native_calls, name,
                            lambda *a, _real=real, **k: (seen.append(on_loop()), _real(*a, **k))[1])
    with zarr.config.set({"codec_pipeline.path": PIPELINES[0]}):
        z = zarr.create_array({}, shape=(64, 64), chunks=(16, 16), dtype="uint8", serializer=Htj2k(), compressors=None)
        z[:] = 7
        assert (z[:] == 7).all()
    assert len(seen) == 32 and not any(seen)
