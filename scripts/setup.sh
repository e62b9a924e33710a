#!/usr/bin/env bash
# Installs what building and testing varnel needs on a fresh Debian machine:
# the build tools and libraries from Debian's packages, and the Python
# packages used by the tests, the demonstration and the benchmarks.
set -euo pipefail

debs=(build-essential ninja-build libzfp-dev libgtest-dev libbenchmark-dev
      openjph-tools libopenjph-dev libopenjp2-tools grokj2k-tools)
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

python3 -m pip install -q --upgrade "scikit-build-core>=0.10" "cmake>=3.26" ninja build \
  numpy pytest zfpy abi3audit
