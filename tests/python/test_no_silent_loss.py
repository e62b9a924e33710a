"""What the codec classes (zarr v3 and numcodecs) store comes back, or is
refused before it is written: non-finite floats come back exactly in every
zfp mode (test_zfp_nonfinite.py has the details); 32-bit integers come back
whole at every level count."""

from __future__ import annotations

import numpy as np
import pytest

zarr = pytest.importorskip("zarr")
pytest.importorskip("numcodecs")

import varnel.numcodecs  # noqa: E402
import varnel.zarr  # noqa: E402

LOSSY = {"fixed_accuracy": dict(tolerance=1e-3), "fixed_rate": dict(rate=8), "fixed_precision": dict(precision=16)}


def field(dtype, nonfinite):
    """A smooth 2-D chunk with the non-finite values the case names: the
    first at (3, 5), the count returned beside it."""
    a = np.add.outer(np.linspace(0, 1, 20), np.linspace(0, 2, 24)).astype(dtype)
    if nonfinite == "NaN":
        a[3, 5] = a[17, 1] = np.nan
    elif nonfinite == "inf":
        a[3, 5], a[9, 9], a[10, 2] = np.inf, -np.inf, np.inf
    else:  # all NaN
        a[...] = np.nan
    return a, int((~np.isfinite(a)).sum())


def zarr_v3(codec, a):
    z = zarr.create_array({}, shape=a.shape, chunks=a.shape, dtype=a.dtype, serializer=codec, compressors=None)
    z[...] = a
    return z[...]


def zarr_v2(codec, a):
    z = zarr.create_array({}, shape=a.shape, chunks=a.shape, dtype=a.dtype, zarr_format=2, compressors=codec)
    z[...] = a
    return z[...]


def numcodec(codec, a):
    return codec.decode(codec.encode(a))


FAMILIES = {  # how a chunk is written and read back, and the codec class it takes
    "zarr v3": (varnel.zarr.Zfp, zarr_v3),
    "zarr v2": (varnel.numcodecs.Zfp, zarr_v2),
    "numcodecs": (varnel.numcodecs.Zfp, numcodec),
}


@pytest.mark.parametrize("family", list(FAMILIES))
@pytest.mark.parametrize("nonfinite", ["NaN", "inf", "all NaN"])
@pytest.mark.parametrize("mode", [*LOSSY, "reversible"])
@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_non_finite_values_are_kept(family, nonfinite, mode, dtype):
    cls, write_and_read = FAMILIES[family]
    codec = cls(mode=mode, **LOSSY.get(mode, {}))
    a, count = field(dtype, nonfinite)
    back = write_and_read(codec, a)
    bad = ~np.isfinite(a)
    assert int(bad.sum()) == count
    np.testing.assert_array_equal(~np.isfinite(back), bad)
    np.testing.assert_array_equal(back[bad], a[bad])  # NaN == NaN here, and the infinities' signs
    if mode in ("reversible", "fixed_accuracy"):
        assert np.abs(back[~bad] - a[~bad]).max(initial=0) <= LOSSY.get(mode, {}).get("tolerance", 0)


def test_finite_chunks_are_coded_as_zfp_codes_them():
    """The check costs the stream nothing: what the codec classes write for
    finite data is the module function's (zfpy's) stream."""
    a, _ = field("float32", "NaN")
    a = np.nan_to_num(a)
    for mode, kw in LOSSY.items():
        module = varnel.varnel_zfp_encode(a.tobytes(), a.shape, "float32", mode=mode, **kw)
        assert varnel.numcodecs.Zfp(mode=mode, **kw).encode(a) == module


def test_the_module_function_codes_non_finite_values_as_zfp_does():
    zfpy = pytest.importorskip("zfpy")
    a, _ = field("float64", "inf")
    assert varnel.varnel_zfp_encode(a.tobytes(), a.shape, "float64", mode="fixed_accuracy",
                                    tolerance=1e-3) == zfpy.compress_numpy(a, tolerance=1e-3)


def extremes(dtype, fill):
    """An (8, 6) chunk over the dtype's whole range in the pattern `fill`."""
    info = np.iinfo(dtype)
    if fill == "min and max":
        a = np.array([[info.min, info.max, 0]] * 16).reshape(8, 6)
    elif fill == "alternating":
        a = np.where(np.indices((8, 6)).sum(axis=0) % 2, info.min, info.max)
    else:
        a = np.random.default_rng(8).integers(info.min, info.max, size=(8, 6), endpoint=True)
    return a.astype(dtype)


@pytest.mark.parametrize("levels", [0, 1, 2, 3, 4, 5, 6, 7, 8, 32])
@pytest.mark.parametrize("fill", ["min and max", "alternating", "random"])
@pytest.mark.parametrize("dtype", ["uint32", "int32"])
@pytest.mark.parametrize("family", ["zarr v3", "numcodecs"])
def test_32_bit_values_come_back_at_every_level_count(levels, fill, dtype, family):
    if family == "zarr v3":
        codec = varnel.zarr.Htj2k(xy_levels=levels)
        round_trip = lambda a: zarr_v3(codec, a)  # noqa: E731
    else:
        codec = varnel.numcodecs.Htj2k(xy_levels=levels, dtype=dtype)
        round_trip = lambda a: numcodec(codec, a)  # noqa: E731
    a = extremes(dtype, fill)
    np.testing.assert_array_equal(round_trip(a), a)
