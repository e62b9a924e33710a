"""Configuration, element types and chunk shapes of varnel's codec classes.

Shared by the zarr (``varnel.zarr``) and numcodecs (``varnel.numcodecs``)
codecs, so both refuse the same things with the same words:

- ``htj2k_config`` / ``zfp_config`` check a codec's keyword arguments by
  running the module function on a one-sample chunk, so a bad value fails with
  the module function's own exception and message, and return them normalised
  to plain JSON values;
- ``refuse_unknown_keys`` refuses configuration keys a codec does not have;
- ``element_type`` maps any dtype to the native-order dtype the codec codes,
  or refuses it with the module function's message;
- ``htj2k_chunk_problem`` / ``zfp_chunk_problem`` say why a chunk shape
  cannot be coded (the module functions' messages), for refusing an array
  when it is created rather than at its first write.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Iterable, Mapping
from typing import Any

import numpy as np

from varnel import _native_calls
from varnel._container import MAX_NDIM as _HTJ2K_MAX_NDIM
from varnel._container import MAX_PLANES as _HTJ2K_MAX_PLANES
from varnel._container import U32_MAX as _U32_MAX

HTJ2K = "varnel.htj2k"
ZFP = "varnel.zfp"

HTJ2K_KEYS = ("xy_levels", "progression", "index", "checksums")
ZFP_KEYS = ("mode", "rate", "tolerance", "precision", "dims")

# The element types of each codec, by NumPy name (any byte order is accepted
# here; the codecs code the native-order values).
HTJ2K_DTYPES = frozenset({"uint8", "int8", "uint16", "int16", "uint32", "int32"})
ZFP_DTYPES = frozenset({"uint8", "int8", "uint16", "int16", "int32", "int64", "float32", "float64"})

# The htj2k container's limits on a chunk are varnel._container's (imported
# above). Largest extent per axis that a zfp header records, by field dimensionality.
_ZFP_MAX_EXTENT = {1: 1 << 48, 2: 1 << 24, 3: 1 << 16, 4: 1 << 12}


def _noted(exc: BaseException, codec: str) -> BaseException:
    exc.add_note(f"(while building the {codec} codec)")
    return exc


def htj2k_config(xy_levels: Any = 5, progression: Any = "RPCL", index: Any = True,
                 checksums: Any = None) -> dict[str, Any]:
    """The htj2k settings, checked by the encoder itself and normalised.
    ``checksums`` None (unset) follows ``index``: the prefix checksums live in
    the plane index."""
    if checksums is None:
        checksums = index
    cfg = {"xy_levels": xy_levels, "progression": progression, "index": index, "checksums": checksums}
    try:
        _native_calls.check_htj2k_config(cfg)
    except (TypeError, ValueError, OverflowError) as exc:
        raise _noted(exc, HTJ2K) from None
    return {"xy_levels": operator.index(xy_levels), "progression": str(progression), "index": bool(index),
            "checksums": bool(checksums)}


def htj2k_recorded(configuration: Any) -> Any:
    """A recorded htj2k configuration (array metadata, numcodecs config) as
    keyword arguments: one without ``checksums`` was written before them and
    keeps writing chunks without, so that the releases it was written for
    still read what is added to it."""
    if isinstance(configuration, Mapping) and "checksums" not in configuration:
        return {**configuration, "checksums": False}
    return configuration


def htj2k_settings(cfg: Mapping[str, Any]) -> dict[str, Any]:
    """The htj2k settings as a configuration records them: ``checksums``
    only when set, so that an array written without them keeps the metadata
    that varnel releases before them read."""
    return {k: v for k, v in cfg.items() if v is not None and (k != "checksums" or v)}


def zfp_config(
    mode: Any = "reversible", rate: Any = None, tolerance: Any = None, precision: Any = None, dims: Any = None
) -> dict[str, Any]:
    """The zfp settings, checked by the encoder itself and normalised; the
    parameters a mode does not take are left out."""
    cfg = {"mode": mode, "rate": rate, "tolerance": tolerance, "precision": precision, "dims": dims}
    try:
        _native_calls.check_zfp_config(cfg)
    except (TypeError, ValueError, OverflowError) as exc:
        raise _noted(exc, ZFP) from None
    out: dict[str, Any] = {"mode": str(mode)}
    if rate is not None:
        out["rate"] = float(rate)
    if tolerance is not None:
        out["tolerance"] = float(tolerance)
    if precision is not None:
        out["precision"] = operator.index(precision)
    if dims is not None:
        out["dims"] = operator.index(dims)
    return out


def refuse_unknown_keys(codec: str, given: Iterable[str], known: Iterable[str]) -> None:
    unknown = sorted(set(given) - set(known))
    if unknown:
        listed = ", ".join(f'"{k}"' for k in unknown)
        raise ValueError(
            f"{codec}: unknown configuration key{'s' if len(unknown) > 1 else ''} {listed}; "
            f"the keys are {', '.join(known)}"
        )


def _quoted(name: str) -> str:
    return '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'


def element_type(codec: str, dtype: Any) -> np.dtype:
    """The native-order NumPy dtype that ``codec`` codes for ``dtype``; a type
    the codec has no path for is refused with the module function's message."""
    dt = np.dtype(dtype)
    if dt.byteorder not in "=|":
        dt = dt.newbyteorder("=")
    if codec == HTJ2K:
        if dt.name not in HTJ2K_DTYPES:
            raise ValueError(f"{codec}: htj2k has no integer path for dtype {_quoted(dt.name)}")
    elif dt.name not in ZFP_DTYPES:
        raise ValueError(f"{codec}: zfp has no path for dtype {_quoted(dt.name)}")
    return dt


def _shape_text(shape: Iterable[int]) -> str:
    return "[" + ", ".join(str(int(e)) for e in shape) + "]"


def htj2k_chunk_problem(chunk_shape: tuple[int, ...]) -> str | None:
    """Why the htj2k codec cannot code chunks of this shape, or None."""
    n = len(chunk_shape)
    if n < 2:
        return f"htj2k needs a chunk with trailing 2D (y, x) planes; got {n} dimension(s)"
    if n > _HTJ2K_MAX_NDIM:
        return f"htj2k chunks carry at most {_HTJ2K_MAX_NDIM} dimensions; got {n}"
    for extent in chunk_shape:
        if extent > _U32_MAX:
            return f"chunk extent {extent} exceeds u32"
    planes = math.prod(chunk_shape[:-2])
    if planes > _HTJ2K_MAX_PLANES:
        shown = _shape_text(chunk_shape)
        return f"htj2k chunks hold at most {_HTJ2K_MAX_PLANES} planes; chunk shape {shown} has {planes}"
    return None


def zfp_field_shape(chunk_shape: tuple[int, ...], dims: int | None) -> tuple[int, ...] | str:
    """The zfp field shape of a chunk (the direct mapping, or squeeze-and-pad
    to ``dims`` dimensions), or the reason there is none."""
    shown = _shape_text(chunk_shape)
    if not chunk_shape:
        return "zfp: chunk shape has no dimensions"
    if dims is None:
        if len(chunk_shape) > 4:
            return (
                f"zfp: chunk shape {shown} has {len(chunk_shape)} dimensions but ZFP fields are 1-4 "
                "dimensional; give the codec dims=N (1 to 4) to drop the chunk's singleton dimensions "
                "and code the rest as an N-dimensional field"
            )
        return tuple(chunk_shape)
    kept = tuple(e for e in chunk_shape if e != 1)
    if len(kept) > dims:
        return (
            f"zfp: chunk shape {shown} has {len(kept)} non-singleton dimensions but the configuration "
            f"declares dims={dims}; reduce chunking or raise dims"
        )
    return (1,) * (dims - len(kept)) + kept


def zfp_chunk_problem(chunk_shape: tuple[int, ...], dims: int | None) -> str | None:
    """Why the zfp codec cannot code chunks of this shape, or None."""
    field = zfp_field_shape(chunk_shape, dims)
    if isinstance(field, str):
        return field
    if any(e > _ZFP_MAX_EXTENT[len(field)] for e in field):
        return f"varnel_zfp: shape {_shape_text(field)} exceeds the ZFP header metadata bounds"
    return None


def chunk_error(codec: str, action: str, shape: Any, dtype: Any, exc: BaseException | str) -> ValueError:
    """The error raised for a chunk that cannot be encoded or decoded: it names
    the codec, the chunk's shape and dtype when known, and the module's reason
    (or the codec's own, given as text)."""
    what = "a chunk"
    if shape is not None:
        what = f"the chunk of shape {tuple(shape)}"
        if dtype is not None:
            what += f" and dtype {np.dtype(dtype).name}"
    return ValueError(f"{codec}: cannot {action} {what}: {exc}")


def refuse_object_array(codec: str, array: np.ndarray, role: str) -> None:
    """Object arrays hold references, not values: TypeError, as numcodecs'
    own codecs raise."""
    if array.dtype.hasobject:
        raise TypeError(f"{codec}: cannot {role} an object array (shape {array.shape}); it holds references, not values")


def zfp_encode_problem(shape: tuple[int, ...], dims: int | None) -> str | None:
    """Why the codec classes cannot code a chunk of this shape with zfp (their
    own words for a chunk of too many dimensions), or None."""
    field = zfp_field_shape(shape, dims)
    return field if isinstance(field, str) else None
