#!/usr/bin/env bash
# The main job: installs varnel with its zarr extras into a Python 3.12
# virtual environment (current zarr and imagecodecs need 3.12) and runs the
# demonstration: both codecs on real-looking data, then varnel inside zarr v3
# arrays against imagecodecs' HTJ2K codec and zarr's default zstd, with a plot
# written to demo-output/varnel_zarr.png, what a napari overview of the
# array fetches, and the browser viewer (the WebAssembly decoder, built here)
# with a small array in demo-output/web/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
scripts/wasm.sh >/dev/null
py=$(scripts/setup.sh --python 3.12)
venv="$root/build/demo-venv"
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/pip" install -q --upgrade pip
"$venv/bin/pip" install -q "$root[zarr]" imagecodecs imagecodecs-zarr matplotlib
cd / && exec "$venv/bin/python" "$root/scripts/demo.py" --out "$root/demo-output"
