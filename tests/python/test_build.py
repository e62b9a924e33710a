"""The installed build: its version is pyproject.toml's, and its zfp is the
bundled library (64-bit stream words), not a byte-word system libzfp."""

from __future__ import annotations

import importlib.metadata
import os
import pathlib
import tomllib

import numpy as np
import pytest

import varnel
from varnel import varnel_zfp_decode as dec
from varnel import varnel_zfp_encode as enc

PYPROJECT = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"


def test_version_is_pyprojects():
    version = tomllib.loads(PYPROJECT.read_text())["project"]["version"]
    assert varnel.__version__ == version
    assert varnel.version() == version
    assert importlib.metadata.version("varnel") == version


# zfp reports what a decode read in whole stream words. With 64-bit words,
# a stream cut anywhere inside its last word is refused, even where the cut
# bytes are only the zero padding that a byte-word library (Debian's
# libzfp) would decode without. Builds linking a system libzfp
# (VARNEL_SYSTEM_ZFP=1 in the environment) skip this.
@pytest.mark.skipif(os.environ.get("VARNEL_SYSTEM_ZFP") == "1", reason="built with a system libzfp")
@pytest.mark.parametrize("mode, kw", [("reversible", {}), ("fixed_accuracy", {"tolerance": 1e-3}),
                                      ("fixed_precision", {"precision": 20})])
def test_zfp_reads_whole_64_bit_words(mode, kw):
    rng = np.random.default_rng(3)
    zero_tails = 0
    for dtype, shape in [("float32", (9, 11)), ("float64", (37,)), ("int32", (5, 6, 7)),
                         ("int64", (3, 4, 2, 5)), ("uint16", (40,))]:
        for _ in range(4):
            a = (rng.standard_normal(shape) * 100).astype(dtype)
            s = enc(a.tobytes(), shape, dtype, mode=mode, **kw)
            assert len(s) % 8 == 0
            for k in range(1, 8):
                with pytest.raises(ValueError, match="stream truncated"):
                    dec(s[:-k], shape, dtype, mode=mode, **kw)
            zero_tails += s[-1] == 0
    assert zero_tails > 0  # some cuts took nothing but padding
