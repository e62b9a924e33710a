"""The demonstration's browser part: the viewer (web/viewer.html with its
module and web/varnel.wasm) and a small varnel.htj2k zarr v3 array, written
to OUT/web; prints the command that serves them and the address to open."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import numpy as np
import zarr

import varnel.zarr

ROOT = Path(__file__).resolve().parents[1]
FILES = ["viewer.html", "viewer.js", "viewer-worker.js", "varnel.js", "varnel.wasm"]


def main(out: str | Path | None) -> None:
    site = Path(out or "demo-output") / "web"
    wasm = ROOT / "web" / "varnel.wasm"
    if not wasm.exists():
        if shutil.which("clang++-19") is None:
            print("\nweb viewer: web/varnel.wasm is not built (scripts/wasm.sh needs clang-19): skipped")
            return
        subprocess.run([ROOT / "scripts" / "wasm.sh"], check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(site, ignore_errors=True)
    site.mkdir(parents=True)
    for name in FILES:
        shutil.copy(ROOT / "web" / name, site / name)
    # Three 1024 x 1024 uint16 planes of rings and noise, sharded: 64 x 64 chunks
    # are small enough that the coarse levels fetch a few bytes per chunk.
    y, x = np.mgrid[0:1024, 0:1024].astype(np.float64)
    rng = np.random.default_rng(1)
    planes = [2000 + 1500 * np.sin(np.hypot(y - 512, x - 512) / (8 + 6 * k)) * np.exp(-((x - 512) ** 2) / 4e5)
              + rng.normal(0, 60, y.shape) for k in range(3)]
    data = np.clip(np.stack(planes) + 1000, 0, 4095).astype(np.uint16)
    a = zarr.create_array(zarr.storage.LocalStore(site / "rings.zarr"), shape=data.shape, chunks=(1, 128, 128),
                          shards=(1, 512, 512), dtype="uint16", compressors=None,
                          serializer=varnel.zarr.Htj2k(xy_levels=5))
    a[...] = data
    print(f"\nweb viewer: {site} (viewer, module, {wasm.stat().st_size:,d} B of WebAssembly, "
          f"a {'x'.join(map(str, data.shape))} uint16 array)")
    print(f"  serve it:  python3 -m http.server 8000 --bind 127.0.0.1 --directory {site}")
    print("  then open: http://127.0.0.1:8000/viewer.html?url=rings.zarr")
