"""varnel: native HTJ2K and zfp codecs for the chunks of Python array stores."""

from varnel._varnel import (  # noqa: F401
    htj2k_decode,
    htj2k_encode,
    varnel_zfp_decode,
    varnel_zfp_encode,
    version,
)
from varnel._reduced import (  # noqa: F401
    HTJ2K_HEAD_PROBE,
    ReducedRanges,
    htj2k_chunk_ranges,
    htj2k_compact_chunk,
    htj2k_decode_reduced,
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
