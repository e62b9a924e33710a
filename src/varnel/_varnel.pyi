"""Type stubs of the native module ``varnel._varnel``.

Every function takes the chunk as a ``bytes`` object of native-endian elements
in C order (or an encoded chunk), releases the interpreter lock while it codes,
and returns a new ``bytes`` object. Bad input raises ``ValueError`` with the
library's message; arguments of the wrong type raise ``TypeError``, and
integers out of range ``OverflowError``.
"""

from collections.abc import Sequence
from typing import Literal, SupportsIndex, SupportsFloat

__all__ = ["version", "htj2k_encode", "htj2k_decode", "varnel_zfp_encode", "varnel_zfp_decode"]

Htj2kDtype = Literal[
    "uint8", "u1", "|u1", "int8", "i1", "|i1",
    "uint16", "u2", "<u2", "int16", "i2", "<i2",
    "uint32", "u4", "<u4", "int32", "i4", "<i4",
]
ZfpDtype = Literal[
    "uint8", "u1", "|u1", "int8", "i1", "|i1",
    "uint16", "u2", "<u2", "int16", "i2", "<i2",
    "int32", "i4", "<i4", "int64", "i8", "<i8",
    "float32", "f4", "<f4", "float64", "f8", "<f8",
]
Progression = Literal["LRCP", "RLCP", "RPCL", "PCRL", "CPRL"]
ZfpMode = Literal["reversible", "fixed_rate", "fixed_accuracy", "fixed_precision"]

def version() -> str:
    """Version string reported by ``varnel.__version__``."""

def htj2k_encode(
    chunk: bytes,
    shape: Sequence[SupportsIndex],
    dtype: Htj2kDtype | str,
    *,
    xy_levels: int = 5,
    reversible: bool = True,
    progression: Progression | str = "RPCL",
    index: bool = True,
) -> bytes:
    """Encodes a chunk (trailing dimensions ``(y, x)``) into an htj2k chunk
    container, one lossless HTJ2K codestream per plane.

    >>> blob = htj2k_encode(bytes(range(12)), (3, 4), "uint8")
    >>> htj2k_decode(blob, (3, 4), "uint8") == bytes(range(12))
    True
    """

def htj2k_decode(chunk: bytes, shape: Sequence[SupportsIndex], dtype: Htj2kDtype | str) -> bytes:
    """Decodes an htj2k chunk container back to native-endian elements in C order."""

def varnel_zfp_encode(
    chunk: bytes,
    shape: Sequence[SupportsIndex],
    dtype: ZfpDtype | str,
    *,
    mode: ZfpMode | str = "reversible",
    rate: SupportsFloat | SupportsIndex | None = None,
    tolerance: SupportsFloat | SupportsIndex | None = None,
    precision: int | None = None,
    dims: int | None = None,
) -> bytes:
    """Encodes a chunk into a zfp stream with a full zfp header.

    The stream is the one zfpy writes, for any input: in the lossy modes zfp
    gives NaN and infinities back as finite numbers (and an infinity moves
    its block's other values past the mode's bound). The codec classes of
    ``varnel.zarr`` and ``varnel.numcodecs`` refuse such chunks instead.

    >>> import array
    >>> f = array.array("d", [0.5] * 16).tobytes()
    >>> varnel_zfp_decode(varnel_zfp_encode(f, (4, 4), "float64"), (4, 4), "float64") == f
    True
    """

def varnel_zfp_decode(
    chunk: bytes,
    shape: Sequence[SupportsIndex],
    dtype: ZfpDtype | str,
    *,
    mode: ZfpMode | str = "reversible",
    rate: SupportsFloat | SupportsIndex | None = None,
    tolerance: SupportsFloat | SupportsIndex | None = None,
    precision: int | None = None,
    dims: int | None = None,
) -> bytes:
    """Decodes a zfp stream; its header must match the configuration."""
