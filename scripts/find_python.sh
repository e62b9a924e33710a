#!/usr/bin/env bash
# Prints the path of a Python X.Y interpreter (the argument, e.g. 3.12):
# pythonX.Y on PATH when it runs, else a pyenv installation of that version.
set -euo pipefail
want=$1
for cand in "python$want" "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"/versions/"$want"*/bin/python; do
  if exe=$(command -v "$cand" 2>/dev/null) && "$exe" -c 'import sys; sys.exit(0)' 2>/dev/null; then
    if [ "$("$exe" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" = "$want" ]; then
      echo "$exe"; exit 0
    fi
  fi
done
echo "no Python $want found (on PATH or under pyenv)" >&2
exit 1
