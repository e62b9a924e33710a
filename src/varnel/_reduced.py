"""Reduced-resolution reads of htj2k chunks.

`htj2k_decode_reduced(chunk, shape, dtype, reduce)` decodes every plane of a
chunk at `reduce` wavelet levels below full resolution and returns bytes (C
order, native-endian) of shape ``shape[:-2] + (ceil(y / 2**reduce),
ceil(x / 2**reduce))``. It reads only what the chunk's plane index names:
the container header, the index, and for each plane the prefix of its
codestream that holds every packet of the resolutions kept. A chunk written
with ``index=False``, or a `reduce` above the chunk's ``xy_levels``, is a
`ValueError`.

A reader on a byte-range store can therefore fetch less than the chunk:

1. Fetch the first ``HTJ2K_HEAD_PROBE`` bytes (or the whole chunk when it is
   shorter): they hold the fixed header, whose first 8 + 4 * ndim bytes give
   the size of header and index (`htj2k_index_end`).
2. Fetch the rest of the index if the probe did not hold it, then ask
   `htj2k_chunk_ranges(head, reduce)` which byte range of each plane to fetch.
3. Fetch those ranges and re-pack them with `htj2k_compact_chunk`; the
   compacted chunk decodes with `htj2k_decode_reduced` at the same `reduce`
   (and at any larger one) exactly as the whole chunk would.

Container layout (integers little-endian): "vrht", version 1, flags (1 with
an index), xy_levels L, ndim n, n u32 extents; then, with an index, per plane
u64 offset, u32 length and L + 1 u32 prefix lengths (prefix r: the leading
bytes of the plane's codestream holding every packet of resolutions 0..r).
"""

from __future__ import annotations

import math
import struct
from typing import NamedTuple, Sequence

from varnel._codecs import htj2k_decode_reduced

__all__ = [
    "HTJ2K_HEAD_PROBE",
    "ReducedRanges",
    "htj2k_chunk_ranges",
    "htj2k_compact_chunk",
    "htj2k_decode_reduced",
    "htj2k_index_end",
]

_MAGIC = b"vrht"
_MAX_NDIM = 32
_MAX_LEVELS = 32
_MAX_PLANES = 1 << 24

#: Bytes that always hold the fixed header (8 bytes, then 4 per dimension,
#: at most 32 dimensions).
HTJ2K_HEAD_PROBE = 8 + 4 * _MAX_NDIM


class ReducedRanges(NamedTuple):
    """What a reduced read of one chunk fetches.

    `shape` and `xy_levels` are the container's; `index_end` is the size of
    header and index (they are ``chunk[:index_end]``); `ranges` holds, per
    plane in C order of the leading dimensions, ``(offset, length)``: the
    bytes ``chunk[offset:offset + length]`` are the prefix of that plane's
    codestream which the decode at `reduce` reads.
    """

    shape: tuple[int, ...]
    xy_levels: int
    index_end: int
    ranges: list[tuple[int, int]]


class _Head(NamedTuple):
    shape: tuple[int, ...]
    xy_levels: int
    planes: int
    header_end: int
    index_end: int


def _parse_head(head: bytes | bytearray | memoryview) -> _Head:
    head = memoryview(head).cast("B")
    if len(head) < 8:
        raise ValueError("htj2k chunk head too short: the first 8 bytes are needed")
    if bytes(head[:4]) != _MAGIC:
        raise ValueError("not an htj2k chunk (bad magic)")
    version, flags, levels, ndim = head[4], head[5], head[6], head[7]
    if version != 1:
        raise ValueError(f"unsupported htj2k chunk container version {version}")
    if flags > 1:
        raise ValueError(f"unknown htj2k chunk container flags {flags}")
    if levels > _MAX_LEVELS:
        raise ValueError(f"htj2k chunk declares {levels} wavelet levels, at most 32 exist")
    if not 2 <= ndim <= _MAX_NDIM:
        raise ValueError(f"htj2k chunk ndim {ndim} outside 2..=32")
    header_end = 8 + 4 * ndim
    if len(head) < header_end:
        raise ValueError(f"htj2k chunk head too short: the first {header_end} bytes are needed")
    shape = struct.unpack_from(f"<{ndim}I", head, 8)
    if 0 in shape:
        raise ValueError("htj2k chunk declares a zero dimension")
    planes = math.prod(shape[:-2])
    if planes > _MAX_PLANES:
        raise ValueError("htj2k chunk declares more planes than supported")
    if flags == 0:
        raise ValueError(
            "htj2k: a reduced-resolution decode needs the plane index (chunk written with "
            "index=False)")
    index_end = header_end + planes * (16 + 4 * levels)
    return _Head(tuple(shape), levels, planes, header_end, index_end)


def htj2k_index_end(head: bytes | bytearray | memoryview) -> int:
    """Size in bytes of header and plane index of an htj2k chunk.

    `head` is the start of the chunk and must hold its first 8 + 4 * ndim
    bytes (``HTJ2K_HEAD_PROBE`` bytes always do; byte 7 is ndim). Raises
    `ValueError` for a head that is not an htj2k chunk header or a chunk
    without a plane index.
    """
    return _parse_head(head).index_end


def _entries(head: memoryview, parsed: _Head, reduce: int):
    """Yields (entry position, offset, length, prefix lengths) per plane."""
    if not 0 <= reduce <= parsed.xy_levels:
        raise ValueError(
            f"htj2k: reduce {reduce} exceeds the chunk's {parsed.xy_levels} wavelet levels"
            if reduce > 0 else f"htj2k: reduce {reduce} is negative")
    if len(head) < parsed.index_end:
        raise ValueError(
            f"htj2k chunk head holds {len(head)} bytes, header and index need {parsed.index_end}")
    top = parsed.xy_levels - reduce
    entry = struct.Struct(f"<QI{parsed.xy_levels + 1}I")
    for k in range(parsed.planes):
        at = parsed.header_end + k * entry.size
        offset, length, *prefixes = entry.unpack_from(head, at)
        kept = prefixes[:top + 1]
        if any(a > b for a, b in zip(kept, kept[1:])) or kept[-1] > length:
            raise ValueError(f"htj2k plane {k}: prefix lengths are inconsistent")
        yield at, offset, length, prefixes


def htj2k_chunk_ranges(head: bytes | bytearray | memoryview, reduce: int) -> ReducedRanges:
    """The byte ranges a decode at `reduce` levels below full resolution reads.

    `head` must hold the chunk's header and index (``htj2k_index_end(head)``
    bytes; more is fine). Raises `ValueError` for a chunk without an index,
    a `reduce` beyond the chunk's levels, or an inconsistent index.
    """
    view = memoryview(head).cast("B")
    parsed = _parse_head(view)
    top = parsed.xy_levels - reduce
    ranges = [(offset, prefixes[top]) for _, offset, _, prefixes in _entries(view, parsed, reduce)]
    return ReducedRanges(parsed.shape, parsed.xy_levels, parsed.index_end, ranges)


def htj2k_compact_chunk(head: bytes | bytearray | memoryview,
                        prefixes: Sequence[bytes | bytearray | memoryview],
                        reduce: int, planes: Sequence[int] | None = None) -> bytes:
    """A chunk holding only what a decode at `reduce` reads.

    `head` holds the original chunk's header and index; `prefixes` holds, per
    plane, the bytes of the range that ``htj2k_chunk_ranges(head, reduce)``
    names. The result is header and index with each entry pointing at its
    prefix, placed back to back after the index: its length is the prefix's,
    and prefix lengths of resolutions above the kept one are that length too,
    so the compacted chunk is a well-formed container that
    `htj2k_decode_reduced` decodes at `reduce` (or more) as the original.
    Raises `ValueError` when a prefix is not of the length the index names.

    With `planes` (plane numbers in C order of the leading dimensions, each
    at most once) the result holds only those planes, as a container of shape
    ``(len(planes), y, x)``, and `prefixes` holds one prefix per listed plane.
    """
    view = memoryview(head).cast("B")
    parsed = _parse_head(view)
    picked = range(parsed.planes) if planes is None else list(planes)
    if len(prefixes) != len(picked):
        raise ValueError(f"htj2k chunk: {len(picked)} planes asked for, got {len(prefixes)} prefixes")
    if any(not 0 <= k < parsed.planes for k in picked) or len(set(picked)) != len(picked):
        raise ValueError(f"htj2k chunk: plane numbers must be distinct and below {parsed.planes}")
    top = parsed.xy_levels - reduce
    entry = struct.Struct(f"<QI{parsed.xy_levels + 1}I")
    if planes is None:
        header = bytes(view[:parsed.header_end])
    else:  # the kept planes as a (planes, y, x) container
        header = bytes(view[:7]) + struct.pack("<B3I", 3, len(picked), *parsed.shape[-2:])
    index = bytearray(header) + bytearray(entry.size * len(picked))
    entries = list(_entries(view, parsed, reduce))
    position = len(index)
    for slot, (k, prefix) in enumerate(zip(picked, prefixes)):
        lengths = entries[k][3]
        needed = lengths[top]
        got = memoryview(prefix).nbytes
        if got != needed:
            raise ValueError(f"htj2k plane {k}: prefix of {got} bytes, the index names {needed}")
        kept = lengths[:top + 1] + [needed] * (parsed.xy_levels - top)
        entry.pack_into(index, len(header) + slot * entry.size, position, needed, *kept)
        position += needed
    return b"".join([index, *(memoryview(p).cast("B") for p in prefixes)])
