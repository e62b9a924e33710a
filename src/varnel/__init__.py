"""varnel: native HTJ2K and zfp codecs for the chunks of Python array stores.

The module functions code one chunk given as ``bytes``:

>>> import varnel
>>> blob = varnel.htj2k_encode(bytes(range(64)), (8, 8), "uint8")
>>> varnel.htj2k_decode(blob, (8, 8), "uint8") == bytes(range(64))
True

Codec classes for array stores live in submodules, imported on demand:
``varnel.zarr`` (zarr v3 codecs, extra ``varnel[zarr]``) and
``varnel.numcodecs`` (numcodecs codecs, for zarr format 2 arrays).
"""

from varnel._varnel import (  # noqa: F401
    htj2k_decode,
    htj2k_encode,
    varnel_zfp_decode,
    varnel_zfp_encode,
    version,
)
from varnel._codecs import htj2k_decode_reduced  # noqa: F401
from varnel._container import (  # noqa: F401
    HTJ2K_HEAD_PROBE,
    ReducedRanges,
    htj2k_chunk_ranges,
    htj2k_compact_chunk,
    htj2k_index_end,
)

__version__ = version()

__all__ = [
    "version",
    "htj2k_encode",
    "htj2k_decode",
    "varnel_zfp_encode",
    "varnel_zfp_decode",
    "htj2k_decode_reduced",
    "htj2k_index_end",
    "htj2k_chunk_ranges",
    "htj2k_compact_chunk",
    "HTJ2K_HEAD_PROBE",
    "ReducedRanges",
    "__version__",
]
