#!/usr/bin/env bash
# Developer shortcut: build the extension in a build directory and run pytest
# against it without installing (the real test command installs the wheel).
#   scripts/dev-python.sh BUILD_DIR [pytest args...]
# PYTHON names the interpreter (default python3); it needs pytest and the
# packages the tests import.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?build directory}; shift
python=${PYTHON:-python3}
cmake -S "$root" -B "$build" -G Ninja -DVARNEL_PYTHON=ON -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build" -j "$(nproc)" --target _varnel _codecs >/dev/null
stage="$build/pkg"
rm -rf "$stage" && mkdir -p "$stage/varnel"
cp "$root"/src/varnel/*.py "$root"/src/varnel/*.yaml "$stage/varnel/"
cp "$build"/_varnel*.so "$build"/_codecs*.so "$stage/varnel/"
cd "$root"
PYTHONPATH="$stage" "$python" -m pytest "$@"
