"""The README's Python blocks, pasted into one file and run with ``python`` in
a fresh folder, as a new user would: the README cannot drift from the code."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"


def test_readme_blocks_run_as_one_script(tmp_path):
    for module in ("zarr", "numcodecs", "dask", "distributed"):
        pytest.importorskip(module)
    blocks = re.findall(r"^```python\n(.*?)^```", README.read_text(), flags=re.S | re.M)
    assert len(blocks) >= 5, "the README's Python blocks were not found"
    script = tmp_path / "quickstart.py"
    script.write_text("\n".join(blocks))
    for run in range(2):  # a second run in the same folder works too
        done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True,
                              timeout=600)
        assert done.returncode == 0, f"run {run + 1}:\n{done.stdout}\n{done.stderr[-4000:]}"
    assert {p.name for p in tmp_path.iterdir()} >= {"stack.zarr", "field.zarr", "stack_v2.zarr", "dask.zarr"}
