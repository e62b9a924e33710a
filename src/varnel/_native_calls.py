"""The one place where varnel's codec classes call the native module.

Every call from ``varnel.zarr`` and ``varnel.numcodecs`` into ``varnel._varnel``
goes through the functions below, which take and give NumPy arrays:

- ``encode_htj2k(array, shape, dtype, cfg) -> bytes``
- ``decode_htj2k(buf, shape, dtype, out=None) -> ndarray``
- ``encode_zfp(array, shape, dtype, cfg) -> bytes``
- ``decode_zfp(buf, shape, dtype, cfg, out=None) -> ndarray``
- ``decode_htj2k_reduced(buf, shape, dtype, reduce) -> ndarray``
- ``check_htj2k_config(cfg)`` and ``check_zfp_config(cfg)``, which raise the
  module functions' own exceptions for a bad configuration.

``array`` is a NumPy array of ``dtype`` (native byte order) and ``shape``; it
need not be contiguous. ``buf`` is any object with the buffer protocol.
``out``, when given, is a writeable C-contiguous array of ``shape`` and
``dtype`` that receives the result; without it a new array is returned, which
may be read-only. ``cfg`` is the codec's normalised keyword arguments.

Chunks go to ``varnel._codecs``, whose entry points read any C-contiguous
buffer in place and decode straight into an array: a C-contiguous chunk is
never copied, and a decoded chunk is written once, into ``out`` or into a new
writeable array. The configuration checks use the module functions of
``varnel._varnel`` themselves, so their messages are exactly those.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np

from varnel import _codecs, _varnel

__all__ = [
    "check_htj2k_config",
    "check_zfp_config",
    "decode_htj2k",
    "decode_htj2k_reduced",
    "decode_zfp",
    "encode_htj2k",
    "encode_zfp",
]


def _c_order(array: np.ndarray) -> np.ndarray:
    """The array itself when it is C-contiguous, else a C-ordered copy."""
    return np.ascontiguousarray(array)


def _target(shape: tuple[int, ...], dtype: np.dtype, out: np.ndarray | None) -> np.ndarray:
    return np.empty(shape, dtype=dtype) if out is None else out


def encode_htj2k(array: np.ndarray, shape: tuple[int, ...], dtype: np.dtype, cfg: Mapping[str, Any]) -> bytes:
    return _codecs.htj2k_encode(_c_order(array), shape, dtype.name, **cfg)


def decode_htj2k(buf: Any, shape: tuple[int, ...], dtype: np.dtype, out: np.ndarray | None = None) -> np.ndarray:
    if out is None:
        try:
            out = np.empty(shape, dtype=dtype)
        except (MemoryError, ValueError):
            # The shape (which may come from the chunk itself) is too large
            # to set aside up front. The growing decode takes room only plane
            # by plane as each plane's data prove it, so a chunk that cannot
            # hold what it declares is refused with its ValueError here.
            data = _varnel.htj2k_decode(buf if isinstance(buf, bytes) else bytes(buf), shape, dtype.name)
            return np.frombuffer(data, dtype=dtype).reshape(shape)
    _codecs.htj2k_decode_into(buf, shape, dtype.name, out)
    return out


def encode_zfp(array: np.ndarray, shape: tuple[int, ...], dtype: np.dtype, cfg: Mapping[str, Any]) -> bytes:
    return _codecs.zfp_encode(_c_order(array), shape, dtype.name, **cfg)


def decode_zfp(
    buf: Any, shape: tuple[int, ...], dtype: np.dtype, cfg: Mapping[str, Any], out: np.ndarray | None = None
) -> np.ndarray:
    target = _target(shape, dtype, out)
    _codecs.zfp_decode_into(buf, shape, dtype.name, target, **cfg)
    return target


def check_htj2k_config(cfg: Mapping[str, Any]) -> None:
    """Runs the htj2k encoder on a one-sample chunk, so that a bad setting
    fails with exactly the module function's exception. ``checksums``, which
    only the codecs' entry point takes, is checked there, after the rest."""
    rest = {k: v for k, v in cfg.items() if k != "checksums"}
    _varnel.htj2k_encode(b"\0", (1, 1), "uint8", **rest)
    if "checksums" in cfg:
        _codecs.htj2k_encode(b"\0", (1, 1), "uint8", **cfg)


def check_zfp_config(cfg: Mapping[str, Any]) -> None:
    """Runs the zfp encoder on a one-sample chunk (the configuration is
    checked before the chunk), for the module function's own exception."""
    _varnel.varnel_zfp_encode(b"\0\0\0\0", (1,), "float32", **cfg)


def decode_htj2k_reduced(buf: Any, shape: tuple[int, ...], dtype: np.dtype, reduce: int) -> np.ndarray:
    """The planes of an htj2k chunk of `shape` at `reduce` levels below full
    resolution: an array of ``shape[:-2]`` and y, x ceil-divided by 2**reduce."""
    f = 1 << reduce
    data = _codecs.htj2k_decode_reduced(buf, shape, dtype.name, reduce)
    return np.frombuffer(data, dtype=dtype).reshape(tuple(shape[:-2]) + (-(-shape[-2] // f), -(-shape[-1] // f)))
