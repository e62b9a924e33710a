"""What an encoded chunk's own header says about the chunk it holds.

A numcodecs codec's ``decode`` may be called with nothing but the encoded
bytes, so it reads the chunk's shape from the encoded chunk:

- ``htj2k_shape``: the shape recorded in an htj2k chunk container
  (`varnel._container`, which owns that format, reads it);
- ``zfp_field``: the scalar type and field shape recorded in the full header
  of a zfp stream (32 bits of magic, then 52 bits of field metadata: scalar
  type, dimensionality and extents minus one); ``zfp_stream`` finds that
  stream inside the frame of a chunk whose NaN and infinities are kept.

Neither tells a chunk's dtype: an htj2k codestream records only the bit depth
its values need, and a zfp stream's int32 field also carries the 8- and
16-bit integer types. Both return None when the header cannot be read; the
decoder then reports the reason.
"""

from __future__ import annotations

import sys
from typing import Any

from varnel._container import shape_of as htj2k_shape  # noqa: F401

_ZFP_MAGIC = int.from_bytes(b"zfp\x05", "little")
# A lossy float chunk that holds NaN or infinities (native/zfp/nonfinite.hpp):
# magic, version, three zero bytes, the stream's length (u64, little-endian),
# the stream, then the record of those values.
_FRAME_MAGIC = b"vznf"
_FRAME_HEADER = 16

# zfp's scalar type codes (1 to 4) as NumPy names; int32 is ambiguous.
ZFP_SCALARS = {1: "int32", 2: "int64", 3: "float32", 4: "float64"}
# Bits per extent in the field metadata, by dimensionality.
_ZFP_EXTENT_BITS = {1: 48, 2: 24, 3: 16, 4: 12}


def zfp_field(buf: Any) -> tuple[str, tuple[int, ...]] | None:
    """(scalar type, field shape in C order) of a zfp stream with a full header."""
    head = memoryview(buf).cast("B")
    if len(head) < 16:
        return None
    # The stream is 64-bit words in the machine's byte order, filled from the
    # least significant bit: the first two words hold the 84 bits read here.
    bits = int.from_bytes(head[0:8], sys.byteorder) | int.from_bytes(head[8:16], sys.byteorder) << 64
    if bits & 0xFFFFFFFF != _ZFP_MAGIC:
        return None
    meta = (bits >> 32) & ((1 << 52) - 1)
    scalar = ZFP_SCALARS[(meta & 3) + 1]
    dims = ((meta >> 2) & 3) + 1
    width = _ZFP_EXTENT_BITS[dims]
    extents = [((meta >> (4 + width * k)) & ((1 << width) - 1)) + 1 for k in range(dims)]  # x first
    return scalar, tuple(reversed(extents))


def zfp_stream(buf: Any) -> memoryview | None:
    """The zfp stream of an encoded zfp chunk: the chunk itself, or the
    stream inside a framed chunk; None for a frame whose header is unreadable
    (the decoder then says why)."""
    view = memoryview(buf).cast("B")
    if bytes(view[:4]) != _FRAME_MAGIC:
        return view
    if len(view) < _FRAME_HEADER:
        return None
    length = int.from_bytes(view[8:16], "little")
    if length >= len(view) - _FRAME_HEADER:
        return None
    return view[_FRAME_HEADER:_FRAME_HEADER + length]
