"""The htj2k chunk container: its layout, its header parse and its index
arithmetic. The one module of the package that knows them.

Layout (integers little-endian)::

    "vrht"  version (1)  flags  xy_levels L  ndim n
    n x u32 extents (the chunk's shape, C order)
    with an index, per plane (C order of the leading dimensions):
        u64 offset, u32 length, L + 1 x u32 prefix lengths
        [with checksums: L + 1 x u32 prefix checksums]
    the planes' codestreams

Flags: 1, a plane index follows; 3, its entries carry checksums too; 0,
neither. Prefix length r of a plane is the number of leading bytes of its
codestream that hold every packet of resolutions 0..r; a decode ``reduce``
levels below full resolution reads prefix ``L - reduce`` of each plane.
Prefix checksum r is the CRC-32C of those bytes, which the native decoder
checks before it decodes them: bytes of the right length from the wrong
place (a range answered from elsewhere, an object replaced between the
fetch of its index and of its prefixes) are refused, naming the plane.

A reader on a byte-range store can therefore fetch less than the chunk:

1. Fetch the header and index: their size follows from the chunk shape and
   L alone (`index_size`); without them, the first ``HTJ2K_HEAD_PROBE`` bytes
   always hold the fixed header, whose first 8 + 4 * ndim bytes give that
   size (`htj2k_index_end`).
2. Ask `htj2k_chunk_ranges(head, reduce)` which byte range of each plane
   to fetch.
3. Fetch those ranges and re-pack them with `htj2k_compact_chunk`; the
   compacted chunk decodes with `varnel.htj2k_decode_reduced` at the same
   `reduce` (and at any larger one) exactly as the whole chunk would, and
   keeps the checksums of the prefixes it holds.
"""

from __future__ import annotations

import math
import struct
from typing import Any, NamedTuple, Sequence

__all__ = [
    "HTJ2K_HEAD_PROBE",
    "ReducedRanges",
    "htj2k_chunk_ranges",
    "htj2k_compact_chunk",
    "htj2k_index_end",
]

MAGIC = b"vrht"
VERSION = 1
FLAG_INDEX = 1
FLAG_CHECKSUMS = 2
#: The container's limits (the native encoder's and decoder's as well).
MAX_NDIM = 32
MAX_LEVELS = 32
MAX_PLANES = 1 << 24
U32_MAX = (1 << 32) - 1

#: Bytes that always hold the fixed header (8 bytes, then 4 per dimension,
#: at most 32 dimensions).
HTJ2K_HEAD_PROBE = 8 + 4 * MAX_NDIM


def header_size(ndim: int) -> int:
    """Bytes of the fixed header of a chunk of `ndim` dimensions."""
    return 8 + 4 * ndim


def entry_size(levels: int, checksums: bool = False) -> int:
    """Bytes of one plane's index entry: offset, length, levels + 1 prefix
    lengths (and as many checksums)."""
    return 16 + 4 * levels + (4 * (levels + 1) if checksums else 0)


def entry_struct(levels: int, checksums: bool) -> struct.Struct:
    """One index entry: offset, length, the prefix lengths, the checksums."""
    return struct.Struct(f"<QI{(levels + 1) * (2 if checksums else 1)}I")


def index_size(shape: Sequence[int], levels: int, checksums: bool = False) -> int:
    """Bytes of header and plane index of a chunk of `shape` and `levels`
    (with `checksums`, entries that carry them): the chunk's first bytes
    that a reduced read fetches before the prefixes."""
    return header_size(len(shape)) + math.prod(shape[:-2]) * entry_size(levels, checksums)


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


class Head(NamedTuple):
    """A parsed fixed header."""

    shape: tuple[int, ...]
    xy_levels: int
    planes: int
    header_end: int
    index_end: int  # header_end when the chunk has no index
    checksums: bool = False  # index entries carry prefix checksums


def shape_of(buf: Any) -> tuple[int, ...] | None:
    """The shape an htj2k chunk's header records, or None when its first
    bytes are not one (the decoder then says why)."""
    head = memoryview(buf).cast("B")
    if len(head) < 8 or bytes(head[:4]) != MAGIC:
        return None
    ndim = head[7]
    if not 2 <= ndim <= MAX_NDIM or len(head) < header_size(ndim):
        return None
    shape = struct.unpack_from(f"<{ndim}I", head, 8)
    return tuple(shape) if all(shape) else None


def parse_head(head: bytes | bytearray | memoryview, *, need_index: bool = True) -> Head:
    """The fixed header at the start of `head`; ValueError when it is not an
    htj2k chunk header (or, with `need_index`, has no plane index)."""
    head = memoryview(head).cast("B")
    if len(head) < 8:
        raise ValueError("htj2k chunk head too short: the first 8 bytes are needed")
    if bytes(head[:4]) != MAGIC:
        raise ValueError("not an htj2k chunk (bad magic)")
    version, flags, levels, ndim = head[4], head[5], head[6], head[7]
    if version != VERSION:
        raise ValueError(f"unsupported htj2k chunk container version {version}")
    if flags > FLAG_INDEX | FLAG_CHECKSUMS:
        raise ValueError(f"unknown htj2k chunk container flags {flags}")
    if flags == FLAG_CHECKSUMS:
        raise ValueError("htj2k chunk container flags: checksums without a plane index")
    if levels > MAX_LEVELS:
        raise ValueError(f"htj2k chunk declares {levels} wavelet levels, at most {MAX_LEVELS} exist")
    if not 2 <= ndim <= MAX_NDIM:
        raise ValueError(f"htj2k chunk ndim {ndim} outside 2..={MAX_NDIM}")
    header_end = header_size(ndim)
    if len(head) < header_end:
        raise ValueError(f"htj2k chunk head too short: the first {header_end} bytes are needed")
    shape = struct.unpack_from(f"<{ndim}I", head, 8)
    if 0 in shape:
        raise ValueError("htj2k chunk declares a zero dimension")
    planes = math.prod(shape[:-2])
    if planes > MAX_PLANES:
        raise ValueError("htj2k chunk declares more planes than supported")
    if not flags & FLAG_INDEX:
        if need_index:
            raise ValueError(
                "htj2k: a reduced-resolution decode needs the plane index (chunk written with "
                "index=False)")
        return Head(tuple(shape), levels, planes, header_end, header_end)
    checksums = bool(flags & FLAG_CHECKSUMS)
    return Head(tuple(shape), levels, planes, header_end, index_size(shape, levels, checksums), checksums)


def htj2k_index_end(head: bytes | bytearray | memoryview) -> int:
    """Size in bytes of header and plane index of an htj2k chunk.

    `head` is the start of the chunk and must hold its first 8 + 4 * ndim
    bytes (``HTJ2K_HEAD_PROBE`` bytes always do; byte 7 is ndim). Raises
    `ValueError` for a head that is not an htj2k chunk header or a chunk
    without a plane index.
    """
    return parse_head(head).index_end


def entries(head: memoryview, parsed: Head, reduce: int):
    """Yields (offset, length, prefix lengths) per plane, checking that the
    prefixes a decode at `reduce` reads are consistent."""
    if not 0 <= reduce <= parsed.xy_levels:
        raise ValueError(
            f"htj2k: reduce {reduce} exceeds the chunk's {parsed.xy_levels} wavelet levels"
            if reduce > 0 else f"htj2k: reduce {reduce} is negative")
    if len(head) < parsed.index_end:
        raise ValueError(
            f"htj2k chunk head holds {len(head)} bytes, header and index need {parsed.index_end}")
    top = parsed.xy_levels - reduce
    entry = entry_struct(parsed.xy_levels, parsed.checksums)
    for k in range(parsed.planes):
        offset, length, *prefixes = entry.unpack_from(head, parsed.header_end + k * entry.size)
        del prefixes[parsed.xy_levels + 1:]  # the checksums: `checksums_of` reads them
        kept = prefixes[:top + 1]
        if any(a > b for a, b in zip(kept, kept[1:])) or kept[-1] > length:
            raise ValueError(f"htj2k plane {k}: prefix lengths are inconsistent")
        yield offset, length, prefixes


def checksums_of(head: memoryview, parsed: Head, plane: int) -> list[int]:
    """The prefix checksums of `plane`'s index entry (empty without them)."""
    if not parsed.checksums:
        return []
    count = parsed.xy_levels + 1
    at = parsed.header_end + plane * entry_size(parsed.xy_levels, True) + 12 + 4 * count
    return list(struct.unpack_from(f"<{count}I", head, at))


def htj2k_chunk_ranges(head: bytes | bytearray | memoryview, reduce: int) -> ReducedRanges:
    """The byte ranges a decode at `reduce` levels below full resolution reads.

    `head` must hold the chunk's header and index (``htj2k_index_end(head)``
    bytes; more is fine). Raises `ValueError` for a chunk without an index,
    a `reduce` beyond the chunk's levels, or an inconsistent index.
    """
    view = memoryview(head).cast("B")
    parsed = parse_head(view)
    top = parsed.xy_levels - reduce
    ranges = [(offset, prefixes[top]) for offset, _, prefixes in entries(view, parsed, reduce)]
    return ReducedRanges(parsed.shape, parsed.xy_levels, parsed.index_end, ranges)


def stored_size(view: memoryview, parsed: Head) -> int:
    """The chunk's size as its index gives it: the end of its last codestream
    (at least the index's end)."""
    entry = entry_struct(parsed.xy_levels, parsed.checksums)
    end = parsed.index_end
    for k in range(parsed.planes):
        offset, length = struct.unpack_from("<QI", view, parsed.header_end + k * entry.size)
        end = max(end, offset + length)
    return end


#: Per reduce, bytes of the prefix's packets per byte of the plane's
#: codestream, times 4**reduce (the resolution's share of the samples), for a
#: level whose low-pass band is wavelet-coded further (reduce < levels):
#: measured on noise-limited 12-bit microscopy planes of 1024 x 1024
#: (bench/synthetic.py, xy_levels 5 and 8), then raised to the largest seen.
#: Shallow levels follow the share of samples; deeper bands cost more bits
#: per sample.
PREFIX_WEIGHTS = (1.0, 1.0, 0.97, 1.06, 1.42, 1.7, 1.8)
#: The same at reduce == levels, where the low-pass band is coded as it is
#: (about 13 bits a sample on those planes).
LOWPASS_WEIGHT = 2.1


def prefix_estimate(plane_bytes: float, reduce: int, levels: int) -> int:
    """A guess at the prefix length ``reduce`` levels below full resolution of
    a plane codestream of `plane_bytes` bytes and `levels` wavelet levels,
    made before its index is read (to fetch index and prefix in one request):
    the codestream's main header (about 160 + 4 * levels bytes with its
    packet lengths), then the packets, weighted by `PREFIX_WEIGHTS` (its
    last entry past the table) or `LOWPASS_WEIGHT`. A prefix that exceeds
    the guess is topped up by its reader; a guess that exceeds the prefix
    costs its excess.
    """
    if reduce <= 0:
        return int(plane_bytes) + 1
    weight = PREFIX_WEIGHTS[min(reduce, len(PREFIX_WEIGHTS) - 1)]
    if reduce >= levels:
        weight = max(weight, LOWPASS_WEIGHT)
    return int(160 + 4 * levels + plane_bytes * min(1.0, weight / 4 ** reduce)) + 1


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
    Checksums stay with the prefixes they cover (those above the kept
    resolution become its own, as their lengths do), and the decode checks
    each prefix against its resolution's checksum.
    Raises `ValueError` when a prefix is not of the length the index names.

    With `planes` (plane numbers in C order of the leading dimensions, each
    at most once) the result holds only those planes, as a container of shape
    ``(len(planes), y, x)``, and `prefixes` holds one prefix per listed plane.
    """
    view = memoryview(head).cast("B")
    parsed = parse_head(view)
    return compact_parsed(view, parsed, list(entries(view, parsed, reduce)), prefixes, reduce, planes)


def read_index(head: bytes | bytearray | memoryview, reduce: int) -> tuple[Head, list]:
    """The parsed header of `head` and its plane entries (offset, length,
    prefix lengths), checked for a decode at `reduce`."""
    view = memoryview(head).cast("B")
    parsed = parse_head(view)
    return parsed, list(entries(view, parsed, reduce))


def compact_parsed(view: memoryview, parsed: Head, found: list,
                   prefixes: Sequence[bytes | bytearray | memoryview], reduce: int,
                   planes: Sequence[int] | None = None) -> bytes:
    """`htj2k_compact_chunk` of a head already read (`read_index`)."""
    picked = range(parsed.planes) if planes is None else list(planes)
    if len(prefixes) != len(picked):
        raise ValueError(f"htj2k chunk: {len(picked)} planes asked for, got {len(prefixes)} prefixes")
    if any(not 0 <= k < parsed.planes for k in picked) or len(set(picked)) != len(picked):
        raise ValueError(f"htj2k chunk: plane numbers must be distinct and below {parsed.planes}")
    top = parsed.xy_levels - reduce
    entry = entry_struct(parsed.xy_levels, parsed.checksums)
    if planes is None:
        header = bytes(view[:parsed.header_end])
    else:  # the kept planes as a (planes, y, x) container
        header = bytes(view[:7]) + struct.pack("<B3I", 3, len(picked), *parsed.shape[-2:])
    index = bytearray(header) + bytearray(entry.size * len(picked))
    position = len(index)
    for slot, (k, prefix) in enumerate(zip(picked, prefixes)):
        lengths = found[k][2]
        needed = lengths[top]
        got = memoryview(prefix).nbytes
        if got != needed:
            raise ValueError(f"htj2k plane {k}: prefix of {got} bytes, the index names {needed}")
        kept = lengths[:top + 1] + [needed] * (parsed.xy_levels - top)
        if parsed.checksums:
            sums = checksums_of(view, parsed, k)
            kept += sums[:top + 1] + [sums[top]] * (parsed.xy_levels - top)
        entry.pack_into(index, len(header) + slot * entry.size, position, needed, *kept)
        position += needed
    return b"".join([index, *(memoryview(p).cast("B") for p in prefixes)])
