#!/usr/bin/env bash
# The main job: installs varnel on this machine and runs the demonstration.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
python3 -m pip install -q --force-reinstall --no-deps .
cd / && exec python3 "$root/scripts/demo.py"
