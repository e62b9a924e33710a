"""napari reader for varnel.htj2k zarr v3 arrays: one multiscale image layer.

napari finds it through the ``napari.manifest`` entry point (napari.yaml
beside this module): ``napari stack.zarr``, drag-and-drop, and
``viewer.open(url, plugin="varnel")`` open a zarr v3 array whose serializer
is varnel.htj2k (plain or sharded, on disk or at an ``https://`` or
``s3://`` URL), or an OME-Zarr group whose level 0 is one, as one
multiscale image layer. Anything else is declined (`get_reader` returns
None) so that other readers take it.

The layer's levels are `varnel.zarr.levels` (`Level` arrays: napari's
slices of them stay lazy until it picks the plane it shows, so a redraw
reads only the chunks of the visible region of that plane): level 0 the
stored array, level 1 its reduced decode, levels 2 ... N the smooth levels
(2 x 2 means of the reduced decode one level finer), which follow a mean
pyramid where the plain reduced decode undershoots near bright edges and
aliases small spots; bench/bench_smooth.py has the numbers. Axis labels come
from ``dimension_names`` (an axis named c or channel becomes napari's
``channel_axis``), the scale from OME-style ``multiscales`` or a ``scale``
attribute (else pixels), contrast limits from percentiles of the coarsest
level.

Options, for the reader napari calls (environment variables) and for
`layer_data` (keywords):

- ``VARNEL_NAPARI_SMOOTH`` / ``smooth``: ``auto`` (the levels above),
  ``1`` (every level k > 0 smooth), ``0`` (the plain reduced decode).
- ``VARNEL_NAPARI_TIMEOUT`` / ``timeout``: seconds a read may wait for the
  store before it raises (`varnel.zarr.ReadTimeout`); none by default.
- ``VARNEL_NAPARI_PERCENTILES`` / ``percentiles``: the contrast limits'
  percentiles of the coarsest level, ``1,99.9`` by default.
"""

from __future__ import annotations

import logging
import math
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

__all__ = ["get_reader", "layer_data", "open_source"]

_log = logging.getLogger(__name__)
CHANNEL_NAMES = ("c", "channel")
#: Planes of the coarsest level whose samples set the contrast limits.
CONTRAST_PLANES = 16
DEFAULT_PERCENTILES = (1.0, 99.9)
#: From this level up the plugin shows smooth levels: level 1 smooth would
#: read whole chunks, as level 0 does, for a correlation with block means
#: that the reduced decode already reaches there (0.998 microscopy, 0.991 labels).
SMOOTH_FROM = 2


@dataclass
class Source:
    """A varnel.htj2k array found at a path: the array itself, or the
    datasets of an OME-Zarr group whose first is one."""

    name: str
    array: Any  # level 0
    stored_levels: list = field(default_factory=list)  # an OME-Zarr group's datasets
    multiscales: dict | None = None  # OME-style metadata, from the group or the array


def get_reader(path: str | Sequence[str]) -> Callable[[Any], list] | None:
    """The reader of `path` when it is a varnel.htj2k array (or an OME-Zarr
    group whose level 0 is one), else None. Never raises: a path this plugin
    cannot read belongs to another reader."""
    if isinstance(path, (list, tuple)):
        if len(path) != 1:
            return None
        path = path[0]
    try:
        source = open_source(os.fspath(path))
    except Exception as exc:  # not ours: unreadable, not zarr, not varnel
        _log.debug("varnel declines %r: %s", path, exc)
        return None
    if source is None:
        return None
    return lambda _path: layer_data(source, **_options_from_environment())


def _options_from_environment() -> dict:
    options: dict[str, Any] = {}
    smooth = os.environ.get("VARNEL_NAPARI_SMOOTH", "").strip().lower()
    if smooth:
        options["smooth"] = {"auto": "auto", "1": True, "true": True, "0": False, "false": False}[smooth]
    if os.environ.get("VARNEL_NAPARI_TIMEOUT"):
        options["timeout"] = float(os.environ["VARNEL_NAPARI_TIMEOUT"])
    if os.environ.get("VARNEL_NAPARI_PERCENTILES"):
        lo, hi = (float(v) for v in os.environ["VARNEL_NAPARI_PERCENTILES"].split(","))
        options["percentiles"] = (lo, hi)
    return options


def _is_url(path: str) -> bool:
    return "://" in path


def open_source(path: str, storage_options: dict | None = None) -> Source | None:
    """The varnel.htj2k array at `path` (a directory or a URL), or None
    when it holds something else. Errors of the store pass on."""
    import zarr

    import varnel.zarr  # noqa: F401  (the codecs, where no entry point registers them)
    from varnel._stored_layout import stored_layout

    if not _is_url(path) and not (Path(path).is_dir() and (Path(path) / "zarr.json").is_file()):
        return None  # not a zarr v3 node on disk
    kwargs = {"storage_options": storage_options} if _is_url(path) and storage_options else {}
    node = zarr.open(path, mode="r", **kwargs)
    name = path.rstrip("/").rsplit("/", 1)[-1].removesuffix(".zarr") or "image"
    if isinstance(node, zarr.Array):
        if node.metadata.zarr_format != 3 or not _is_varnel(node, stored_layout):
            return None
        return Source(name, node, multiscales=_multiscales(dict(node.attrs)))
    multiscales = _multiscales(dict(node.attrs))
    if multiscales is None:
        return None
    paths = [d["path"] for d in multiscales.get("datasets", [])]
    if not paths:
        return None
    arrays = [node[p] for p in paths]
    if not isinstance(arrays[0], zarr.Array) or not _is_varnel(arrays[0], stored_layout):
        return None
    return Source(multiscales.get("name") or name, arrays[0], arrays, multiscales)


def _is_varnel(array: Any, stored_layout: Callable) -> bool:
    try:
        stored_layout(array)
    except ValueError:
        return False
    return True


def _multiscales(attrs: dict) -> dict | None:
    """The first OME-style ``multiscales`` entry (OME-Zarr 0.5 keeps it
    under ``ome``, 0.4 at the top)."""
    found = attrs.get("ome", {}).get("multiscales") if isinstance(attrs.get("ome"), dict) else None
    found = found or attrs.get("multiscales")
    return found[0] if isinstance(found, list) and found and isinstance(found[0], dict) else None


def _scale_translate(transforms: list) -> tuple[list | None, list | None]:
    scale = translate = None
    for t in transforms or []:
        if t.get("type") == "scale" and "scale" in t:
            scale = [float(v) for v in t["scale"]]
        elif t.get("type") == "translation" and "translation" in t:
            translate = [float(v) for v in t["translation"]]
    return scale, translate


def _physical(source: Source, ndim: int, names: list[str | None]) -> dict:
    """scale, translate and units of level 0 from OME-style metadata or a
    ``scale`` attribute; nothing where there is none (pixel units)."""
    out: dict[str, Any] = {}
    ms = source.multiscales
    if ms:
        datasets = ms.get("datasets") or [{}]
        scale, translate = _scale_translate(datasets[0].get("coordinateTransformations"))
        outer_scale, outer_translate = _scale_translate(ms.get("coordinateTransformations"))
        if scale and outer_scale and len(scale) == len(outer_scale):
            scale = [a * b for a, b in zip(scale, outer_scale)]
        scale = scale or outer_scale
        if translate and outer_translate and len(translate) == len(outer_translate):
            translate = [a + b for a, b in zip(translate, outer_translate)]
        translate = translate or outer_translate
        if scale and len(scale) == ndim:
            out["scale"] = scale
        if translate and len(translate) == ndim:
            out["translate"] = translate
        units = [a.get("unit") if isinstance(a, dict) else None for a in ms.get("axes") or []]
        if len(units) == ndim and all(units):
            out["units"] = units
    if "scale" not in out:
        given = source.array.attrs.get("scale")
        if isinstance(given, dict):
            given = [given.get(n, 1.0) if n else 1.0 for n in names]
        if isinstance(given, list) and len(given) == ndim and all(
                isinstance(v, (int, float)) and v > 0 for v in given):
            out["scale"] = [float(v) for v in given]
    return out


def _names(source: Source) -> list[str | None]:
    ndim = source.array.ndim
    names = list(source.array.metadata.dimension_names or [None] * ndim)
    if not any(names) and source.multiscales:
        axes = source.multiscales.get("axes") or []
        if len(axes) == ndim:
            names = [a.get("name") if isinstance(a, dict) else a for a in axes]
    return names


def pyramid(source: Source, smooth: bool | str = "auto", timeout: float | None = None) -> list:
    """The layer's levels: an OME-Zarr group's datasets as they are stored
    (when it has more than one), else `varnel.zarr.levels` of the array
    (`smooth`: "auto" smooth from `SMOOTH_FROM` up, True or False for every
    level), all lazy in napari's slices (`varnel.zarr.Level`)."""
    import varnel.zarr

    if len(source.stored_levels) > 1:
        return [varnel.zarr.Level(a._async_array) for a in source.stored_levels]
    if smooth == "auto":
        plain = varnel.zarr.levels(source.array, timeout=timeout)
        smoothed = varnel.zarr.levels(source.array, timeout=timeout, smooth=True)
        return plain[:SMOOTH_FROM] + smoothed[SMOOTH_FROM:]
    if not isinstance(smooth, bool):
        raise ValueError(f"smooth must be 'auto', True or False, not {smooth!r}")
    return varnel.zarr.levels(source.array, timeout=timeout, smooth=smooth)


def contrast_limits(level: Any, channel_axis: int | None, percentiles: tuple[float, float]) -> list:
    """[low, high] per channel (one pair without a channel axis): the
    percentiles of up to `CONTRAST_PLANES` planes of `level`, spread over
    its leading axes."""
    lead = [i for i in range(level.ndim - 2) if i != channel_axis]
    channels = range(level.shape[channel_axis]) if channel_axis is not None else [None]
    count = math.prod(level.shape[i] for i in lead)
    picks = np.unique(np.linspace(0, count - 1, min(count, CONTRAST_PLANES)).round().astype(int))
    out = []
    for c in channels:
        samples = []
        for flat in picks:
            index: list[Any] = [slice(None)] * level.ndim
            for i, v in zip(lead, np.unravel_index(flat, [level.shape[i] for i in lead])):
                index[i] = int(v)
            if c is not None:
                index[channel_axis] = c
            samples.append(np.asarray(level[tuple(index)]).ravel())
        values = np.concatenate(samples)
        lo, hi = (float(v) for v in np.percentile(values, percentiles))
        if hi <= lo:
            lo, hi = float(values.min()), float(values.max())
            hi = hi if hi > lo else lo + 1
        out.append([lo, hi])
    return out


def layer_data(source: Source | str, *, smooth: bool | str = "auto", timeout: float | None = None,
               percentiles: tuple[float, float] = DEFAULT_PERCENTILES,
               storage_options: dict | None = None) -> list[tuple[list, dict, str]]:
    """napari's layer data of a varnel.htj2k array: ``[(levels, kwargs,
    "image")]`` (`source`: a path or URL, or what `open_source` found)::

        for data, kwargs, kind in varnel.napari.layer_data("stack.zarr", smooth=False):
            viewer.add_image(data, **kwargs)
    """
    if not isinstance(source, Source):
        found = open_source(os.fspath(source), storage_options)
        if found is None:
            raise ValueError(f"{source!r} is not a varnel.htj2k zarr v3 array")
        source = found
    levels = pyramid(source, smooth, timeout)
    ndim = levels[0].ndim
    names = _names(source)
    lowered = [str(n).lower() if n else "" for n in names]
    channel_axis = next((i for i, n in enumerate(lowered) if n in CHANNEL_NAMES and i < ndim - 2), None)
    kwargs: dict[str, Any] = {"name": source.name, "multiscale": True}
    physical = _physical(source, ndim, names)
    try:
        limits = contrast_limits(levels[-1], channel_axis, percentiles)
    except ValueError as exc:  # a damaged chunk there: napari's own draws will say which
        _log.warning("varnel: contrast limits of %s from the dtype's range: %s", source.name, exc)
        info = np.iinfo(levels[0].dtype) if levels[0].dtype.kind in "iu" else None
        limits = [[float(info.min), float(info.max)]] * (1 if channel_axis is None else
                                                        levels[0].shape[channel_axis]) if info else None
    if any(names):
        kwargs["axis_labels"] = [n or f"dim_{i}" for i, n in enumerate(names)]
    kwargs.update(physical)
    if channel_axis is not None:
        kwargs["channel_axis"] = channel_axis
        for key in ("axis_labels", "scale", "translate", "units"):
            if key in kwargs:  # napari takes these per channel layer, without the channel axis
                kwargs[key] = [v for i, v in enumerate(kwargs[key]) if i != channel_axis]
        if limits is not None:
            kwargs["contrast_limits"] = limits
        kwargs["name"] = [f"{source.name} [{c}]" for c in range(levels[0].shape[channel_axis])]
    elif limits is not None:
        kwargs["contrast_limits"] = limits[0]
    return [(levels, kwargs, "image")]
