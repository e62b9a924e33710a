"""Type stubs of the native module ``varnel._codecs``.

The codecs of ``varnel._varnel`` for any C-contiguous buffer (``bytes``,
``bytearray``, ``memoryview``, NumPy arrays), read in place: encoders return a
new ``bytes`` object, the ``*_into`` decoders write into ``out`` (a writeable
C-contiguous buffer of exactly the decoded size) and return None, and
``htj2k_decode_reduced`` returns the planes at a reduced resolution. Every
function releases the interpreter lock while it codes; the buffers must not
change meanwhile.
"""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex

from typing_extensions import Buffer

from varnel._varnel import Htj2kDtype, Progression, ZfpDtype, ZfpMode

__all__ = ["htj2k_encode", "htj2k_decode_into", "htj2k_decode_reduced", "zfp_encode",
           "zfp_decode_into"]

def htj2k_encode(
    chunk: Buffer,
    shape: Sequence[SupportsIndex],
    dtype: Htj2kDtype | str,
    *,
    xy_levels: int = 5,
    progression: Progression | str = "RPCL",
    index: bool = True,
    checksums: bool = False,
) -> bytes:
    """Encodes a chunk (trailing dimensions ``(y, x)``) into an htj2k chunk container;
    with `checksums`, its plane index carries a CRC-32C of every codestream prefix."""

def htj2k_decode_into(
    chunk: Buffer, shape: Sequence[SupportsIndex], dtype: Htj2kDtype | str, out: Buffer
) -> None:
    """Decodes an htj2k chunk into ``out``."""

def htj2k_decode_reduced(
    chunk: Buffer, shape: Sequence[SupportsIndex], dtype: Htj2kDtype | str, reduce: int
) -> bytes:
    """Every plane at ``reduce`` levels below full resolution (y and x
    ceil-divided by ``2**reduce``), read from the plane index's prefixes."""

def zfp_encode(
    chunk: Buffer,
    shape: Sequence[SupportsIndex],
    dtype: ZfpDtype | str,
    *,
    mode: ZfpMode | str = "reversible",
    rate: SupportsFloat | SupportsIndex | None = None,
    tolerance: SupportsFloat | SupportsIndex | None = None,
    precision: int | None = None,
    dims: int | None = None,
) -> bytes:
    """Encodes a chunk into a zfp stream with a full zfp header; a lossy float
    chunk holding NaN or infinities into a framed chunk that keeps them."""

def zfp_decode_into(
    chunk: Buffer,
    shape: Sequence[SupportsIndex],
    dtype: ZfpDtype | str,
    out: Buffer,
    *,
    mode: ZfpMode | str = "reversible",
    rate: SupportsFloat | SupportsIndex | None = None,
    tolerance: SupportsFloat | SupportsIndex | None = None,
    precision: int | None = None,
    dims: int | None = None,
) -> None:
    """Decodes a zfp stream (or a framed chunk of ``zfp_encode``) into ``out``;
    its header must match the configuration."""
