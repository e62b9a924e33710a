"""The napari reader (varnel.napari) through napari's own models, headless:
what it opens and declines, the layer's levels, labels, scale and contrast,
the chunks one redraw reads (counted at a local HTTP server), a damaged
chunk, and a screenshot of a real window under Xvfb where one can start."""

from __future__ import annotations

import importlib.metadata
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

zarr = pytest.importorskip("zarr")
napari = pytest.importorskip("napari")
npe2 = pytest.importorskip("npe2")

import varnel  # noqa: E402
import varnel.napari  # noqa: E402
import varnel.zarr  # noqa: E402
from varnel._level_codec import mean2  # noqa: E402
from remote_stores import RangeServer, RequestLog, http_store  # noqa: E402

T, SIZE, CHUNK = 6, 512, 128


def cells(shape, seed=0) -> np.ndarray:
    """Bright spots on a background of about 200, Poisson noise, 12-bit."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:shape[-2], 0:shape[-1]]
    out = np.empty(shape, np.uint16)
    for i in np.ndindex(*shape[:-2]):
        img = 200 + 40 * np.sin(x / 31.0) * np.cos(y / 23.0)
        for cy, cx in rng.uniform(0, 1, (20, 2)) * shape[-2:]:
            img = img + 1800 * np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / 20.0)
        out[i] = np.minimum(rng.poisson(img), 4095)
    return out


# name: shape, create_array arguments, dimension names, attributes
ARRAYS = {
    "plain": ((T, SIZE, SIZE), dict(chunks=(1, CHUNK, CHUNK)), ("t", "y", "x"),
              {"multiscales": [{"axes": [{"name": "t", "unit": "second"}, {"name": "y", "unit": "micrometer"},
                                         {"name": "x", "unit": "micrometer"}],
                                "datasets": [{"path": "0", "coordinateTransformations": [
                                    {"type": "scale", "scale": [2.0, 0.5, 0.5]}]}]}]}),
    "sharded, channels": ((3, 2, 256, 256), dict(chunks=(1, 1, 64, 64), shards=(1, 1, 256, 256)),
                          ("t", "c", "y", "x"), {"scale": {"y": 0.25, "x": 0.25}}),
    "unnamed": ((2, 256, 256), dict(chunks=(1, 128, 128)), None, {}),
}


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    """Each array of ARRAYS on disk, and the things the reader must decline."""
    root = tmp_path_factory.mktemp("napari")
    data = {}
    for name, (shape, kwargs, names, attrs) in ARRAYS.items():
        path = root / (name.replace(", ", "_") + ".zarr")
        a = zarr.create_array(str(path), shape=shape, dtype="uint16", serializer=varnel.zarr.Htj2k(),
                              compressors=None, dimension_names=names, attributes=attrs, **kwargs)
        data[name] = cells(shape, seed=len(name))
        a[...] = data[name]
    plain = zarr.create_array(str(root / "zstd.zarr"), shape=(64, 64), chunks=(32, 32), dtype="uint16")
    plain[...] = 1
    zarr.create_group(str(root / "group.zarr"))
    (root / "notzarr.zarr").mkdir()
    (root / "file.zarr").write_bytes(b"not a directory")
    return root, data


@pytest.fixture(scope="module")
def viewer_model():
    import npe2
    from napari.plugins import _initialize_plugins

    _initialize_plugins()
    pm = npe2.PluginManager.instance()
    if "varnel" not in pm._manifests:  # run from a build tree: no distribution, no entry point
        pm.register(npe2.PluginManifest.from_file(Path(varnel.__file__).with_name("napari.yaml")))
    from napari.components import ViewerModel
    return ViewerModel


def installed() -> bool:
    try:
        dist = importlib.metadata.distribution("varnel")
    except importlib.metadata.PackageNotFoundError:
        return False
    return Path(dist.locate_file("varnel/__init__.py")).resolve() == Path(varnel.__file__).resolve()


@pytest.mark.skipif(not installed(), reason="varnel is not installed as a distribution here")
def test_entry_point_names_a_manifest_of_the_distribution(viewer_model):
    manifest = npe2.PluginManifest.from_distribution("varnel")
    assert manifest.name == "varnel"
    assert [r.command for r in manifest.contributions.readers] == ["varnel.get_reader"]
    assert "varnel" in npe2.PluginManager.instance()._manifests


@pytest.mark.parametrize("target", ["zstd.zarr", "group.zarr", "notzarr.zarr", "file.zarr", "absent.zarr",
                                    "http://127.0.0.1:9/absent.zarr", ["plain.zarr", "unnamed.zarr"]])
def test_declines_what_is_not_a_varnel_array(written, target):
    root, _ = written
    path = [str(root / t) for t in target] if isinstance(target, list) else (
        target if "://" in target else str(root / target))
    assert varnel.napari.get_reader(path) is None


# name: layers, axis labels, scale (per layer), units
EXPECTED = {
    "plain": (1, ("t", "y", "x"), [2.0, 0.5, 0.5], ("s", "µm", "µm")),
    "sharded, channels": (2, ("t", "y", "x"), [1.0, 0.25, 0.25], None),
    "unnamed": (1, None, [1.0, 1.0, 1.0], None),
}


@pytest.mark.parametrize("name", list(ARRAYS))
def test_opens_one_multiscale_image(written, viewer_model, name):
    root, data = written
    nlayers, labels, scale, units = EXPECTED[name]
    layers = viewer_model().open(str(root / (name.replace(", ", "_") + ".zarr")), plugin="varnel")
    assert len(layers) == nlayers
    channels = [data[name]] if nlayers == 1 else [data[name][:, c] for c in range(nlayers)]
    for layer, values in zip(layers, channels):
        assert layer.multiscale and layer.data[0].shape == values.shape
        assert np.array_equal(np.asarray(layer.data[0][1]), values[1])
        assert [lvl.shape[-1] for lvl in layer.data] == [values.shape[-1] >> k for k in range(len(layer.data))]
        if labels:
            assert tuple(layer.axis_labels) == labels
        assert np.allclose(layer.scale, scale)
        if units:
            # (pint writes micro as the micro sign or as the Greek mu, by release)
            assert tuple(f"{u:~}".replace("\u03bc", "\u00b5") for u in layer.units) == units
        # contrast from the data: the background's low end, not a clipped 0
        lo, hi = layer.contrast_limits
        ref_lo, ref_hi = np.percentile(values, [1, 99.9])
        assert 0.6 * ref_lo < lo < ref_lo + 60 and lo < hi <= ref_hi + 1


def test_levels_shown_are_reduced_then_smooth(written):
    root, data = written
    [(levels, kwargs, kind)] = varnel.napari.layer_data(str(root / "plain.zarr"))
    assert kind == "image" and kwargs["multiscale"] is True
    a = zarr.open_array(str(root / "plain.zarr"), mode="r")
    reduced = varnel.zarr.levels(a)
    assert np.array_equal(levels[1][...], reduced[1][...])
    for k in range(2, len(levels)):
        assert np.array_equal(levels[k][...], mean2(reduced[k - 1][...])), k
    [(plain, _, _)] = varnel.napari.layer_data(str(root / "plain.zarr"), smooth=False)
    assert all(np.array_equal(p[...], r[...]) for p, r in zip(plain, reduced))


def chunk_reads(log: RequestLog) -> dict[tuple[int, ...], set]:
    """Stored chunks requested, by chunk coordinates: the ranges asked."""
    out: dict[tuple[int, ...], set] = {}
    for r in log.gets():
        parts = r.key.split("/c/")
        if len(parts) == 2:
            out.setdefault(tuple(int(p) for p in parts[1].split("/")), set()).add(r.range)
    return out


def test_a_redraw_reads_the_visible_chunks_of_its_plane(written, viewer_model):
    root, _ = written
    log = RequestLog()
    with RangeServer(root, log) as url:
        viewer = viewer_model()
        [layer] = viewer.open(f"{url}/plain.zarr", plugin="varnel")
        log.clear()
        viewer.dims.set_point(0, 4 * 2.0)  # world units: the scale along t is 2
        overview = chunk_reads(log)
        # the overview (the coarsest level) and the thumbnail: plane 4, every chunk, a prefix each
        assert set(overview) == {(4, y, x) for y in range(4) for x in range(4)}
        log.clear()
        # zoomed in on level 0, y and x 300-400 (world 150-200): one stored chunk, whole
        layer._update_draw(scale_factor=0.5, corner_pixels_displayed=np.array([[150, 150], [200, 200]]),
                           shape_threshold=(SIZE, SIZE))
        assert layer.data_level == 0
        zoomed = chunk_reads(log)
        whole = {c for c, ranges in zoomed.items() if None in ranges or "bytes=0-" in ranges}
        assert {c[0] for c in zoomed} == {4}
        assert whole == {(4, 2, 2), (4, 2, 3), (4, 3, 2), (4, 3, 3)} & whole and (4, 2, 2) in whole
        assert len(whole) <= 4


def test_zarr_levels_read_every_plane_where_the_plugin_reads_one(written, viewer_model):
    """The count above catches a reader that reads the other planes: plain
    zarr arrays of the same levels, sliced by napari, read all of them."""
    root, _ = written
    log = RequestLog()
    with RangeServer(root, log) as url:
        store = varnel.zarr.MultiscaleStore(zarr.open_array(http_store(f"{url}/plain.zarr"), mode="r"))
        zarr_levels = [zarr.open_array(store, path=str(k), mode="r") for k in range(store.top + 1)]
        viewer = viewer_model()
        viewer.add_image(zarr_levels, multiscale=True, contrast_limits=(0, 4095))
        log.clear()
        viewer.dims.set_point(0, 4)
        assert {c[0] for c in chunk_reads(log)} == set(range(T))


def test_damaged_chunk_fails_its_draw_naming_it(written, viewer_model, tmp_path):
    root, _ = written
    path = tmp_path / "damaged.zarr"
    shutil.copytree(root / "plain.zarr", path)
    chunk = path / "c" / "2" / "3" / "3"
    blob = bytearray(chunk.read_bytes())
    for i in range(len(blob) - 2000, len(blob), 7):  # the finest resolution's bytes only
        blob[i] ^= 0x5A
    chunk.write_bytes(bytes(blob))
    viewer = viewer_model()
    [layer] = viewer.open(str(path), plugin="varnel")
    viewer.dims.set_point(0, 4.0)  # plane 2: its coarse levels are intact
    shown = layer._slice.image.raw.copy()
    with pytest.raises(ValueError, match=r"chunk '0/c/2/3/3'.*'c/2/3/3'"):
        layer._update_draw(scale_factor=0.5, corner_pixels_displayed=np.array([[220, 220], [250, 250]]),
                           shape_threshold=(SIZE, SIZE))
    assert np.array_equal(layer._slice.image.raw, shown)  # nothing of the damaged chunk drawn


def test_ome_zarr_group_opens_with_its_stored_levels(tmp_path, viewer_model):
    writer = pytest.importorskip("ome_zarr.writer")
    data = cells((2, 256, 256), seed=3)
    group = zarr.open_group(str(tmp_path / "ome.zarr"), mode="w")
    try:
        writer.write_image(data, group, axes="tyx", scale_factors=(2, 4),
                           storage_options=dict(chunks=(1, 128, 128), serializer=varnel.zarr.Htj2k(),
                                                compressors=None))
    except TypeError as exc:
        pytest.skip(f"this ome-zarr writes no other serializer: {exc}")
    [layer] = viewer_model().open(str(tmp_path / "ome.zarr"), plugin="varnel")
    assert layer.multiscale and np.array_equal(np.asarray(layer.data[0][1]), data[1])
    assert tuple(layer.axis_labels) == ("t", "y", "x")
    assert len(layer.data) == len(group.attrs["ome"]["multiscales"][0]["datasets"]) > 1


def xvfb() -> str | None:
    return shutil.which("Xvfb")


@pytest.mark.skipif(xvfb() is None, reason="no Xvfb here (Debian: xvfb and the xcb libraries)")
def test_screenshot_of_a_window_under_xvfb(written, tmp_path):
    pytest.importorskip("qtpy")
    try:
        import qtpy  # noqa: F401
    except Exception as exc:  # qtpy raises when it finds no binding
        pytest.skip(f"no Qt binding: {exc}")
    root, _ = written
    png = tmp_path / "napari.png"
    script = Path(__file__).resolve().parents[2] / "scripts" / "napari_screenshot.py"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, str(script), str(root / "plain.zarr"), str(png)], env=env,
                          capture_output=True, text=True, timeout=300)
    if "could not start a display" in done.stdout:
        pytest.skip(done.stdout.strip())
    assert done.returncode == 0, done.stdout + done.stderr
    from PIL import Image
    image = np.asarray(Image.open(png).convert("L"))
    assert image.shape[0] > 200 and image.std() > 5  # the window with the image, not a blank
