"""Dask writes and reads varnel-coded zarr arrays on a cluster of two worker
processes; the codec objects travel to the workers by pickle, and the workers
open the arrays by path through the entry points."""

from __future__ import annotations

import pickle
import sys

import numpy as np
import pytest

zarr = pytest.importorskip("zarr")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

import varnel.numcodecs  # noqa: E402
import varnel.zarr  # noqa: E402

CODECS = [
    varnel.zarr.Htj2k(xy_levels=3), varnel.zarr.Zfp(mode="fixed_precision", precision=20, dims=3),
    varnel.numcodecs.Htj2k(dtype="uint16"), varnel.numcodecs.Zfp(mode="fixed_rate", rate=8.5, dtype="int16"),
]


@pytest.mark.parametrize("codec", CODECS, ids=repr)
def test_codecs_pickle(codec):
    back = pickle.loads(pickle.dumps(codec))
    assert back == codec and type(back) is type(codec)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40) as cluster, distributed.Client(cluster) as c:
        yield c


# array arguments, dtype, and whether the codec is lossless
ARRAYS = [
    (dict(serializer=varnel.zarr.Htj2k()), "uint16", True),
    (dict(serializer=varnel.zarr.Zfp()), "float32", True),
    (dict(serializer=varnel.zarr.Zfp(mode="fixed_accuracy", tolerance=1e-2)), "float64", False),
    (dict(zarr_format=2, compressors=varnel.numcodecs.Htj2k(dtype="int16")), "int16", True),
    (dict(zarr_format=2, compressors=varnel.numcodecs.Zfp()), "float64", True),
]


@pytest.mark.parametrize("kwargs, dtype, lossless", ARRAYS)
def test_dask_writes_and_reads_on_worker_processes(client, kwargs, dtype, lossless, tmp_path):
    x = da.random.default_rng(7).integers(0, 3000, size=(4, 90, 70), chunks=(2, 32, 32)).astype(dtype)
    # dask blocks are zarr chunks, so no two tasks write to one chunk
    z = zarr.create_array(tmp_path, shape=x.shape, chunks=(2, 32, 32), dtype=dtype,
                          **{"compressors": None, **kwargs})
    da.store(x, z, lock=False, compute=True)
    back = da.from_zarr(str(tmp_path))
    assert back.dtype == np.dtype(dtype)
    expected, got = client.compute([x, back], sync=True)
    if lossless:
        np.testing.assert_array_equal(got, expected)
    else:
        np.testing.assert_allclose(got, expected, atol=1e-2, rtol=0)
    module = "varnel.zarr" if "serializer" in kwargs else "varnel.numcodecs"
    ran_there = client.run(lambda: module in sys.modules)
    assert len(ran_there) == 2 and any(ran_there.values())
