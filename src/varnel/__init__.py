"""varnel: native HTJ2K and zfp codecs for the chunks of Python array stores."""

from varnel._varnel import (  # noqa: F401
    htj2k_decode,
    htj2k_encode,
    varnel_zfp_decode,
    varnel_zfp_encode,
    version,
)

__version__ = version()

__all__ = [
    "version",
    "htj2k_encode",
    "htj2k_decode",
    "varnel_zfp_encode",
    "varnel_zfp_decode",
    "__version__",
]
