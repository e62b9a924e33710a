"""The installed build: its version is pyproject.toml's, and its zfp is the
bundled library linked into the modules, not a system libzfp."""

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


# The bundled zfp is linked into the modules; a build that loads a shared
# libzfp (Debian's has byte stream words) is not the bundled one. Builds
# linking a system libzfp (VARNEL_SYSTEM_ZFP=1 in the environment) skip this.
@pytest.mark.skipif(os.environ.get("VARNEL_SYSTEM_ZFP") == "1", reason="built with a system libzfp")
@pytest.mark.skipif(not pathlib.Path("/proc/self/maps").exists(), reason="needs /proc/self/maps")
def test_zfp_is_linked_in_not_loaded():
    import varnel._codecs  # noqa: F401  (both modules loaded)
    a = np.linspace(0, 1, 64, dtype=np.float32)
    assert np.array_equal(np.frombuffer(dec(enc(a.tobytes(), (64,), "float32"), (64,), "float32"),
                                        np.float32), a)
    # The system library's soname; zfpy's wheel maps its own renamed copy.
    mapped = {pathlib.Path(line.split()[-1]).name
              for line in pathlib.Path("/proc/self/maps").read_text().splitlines() if "/" in line}
    assert not any(name.startswith("libzfp.so") for name in mapped), sorted(mapped)
