#!/usr/bin/env bash
# Builds OpenJPH 0.31.0 (the release archive in PEERS, default
# /work/shared/peers) as WebAssembly with the toolchain of scripts/wasm.sh,
# behind bench/peers/openjph_wasm.cpp: OUT/openjph.wasm (default build/wasm-peers).
# OpenJPH enables its own SIMD128 kernels only under Emscripten, which is not
# used here, so this is its generic C++ build compiled with -msimd128.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
peers=${PEERS:-/work/shared/peers}
out=${1:-$root/build/wasm-peers}
mkdir -p "$out"
[ -d "$out/OpenJPH-0.31.0" ] || tar -xzf "$peers/OpenJPH-0.31.0.tar.gz" -C "$out"
flags="--target=wasm32-wasi -O3 -msimd128"
cmake -S "$out/OpenJPH-0.31.0" -B "$out/ojph" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
  -DCMAKE_SYSTEM_NAME=Generic -DCMAKE_SYSTEM_PROCESSOR=wasm32 -DCMAKE_C_COMPILER=clang-19 \
  -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags -fno-exceptions" \
  -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY -DOJPH_BUILD_EXECUTABLES=OFF >/dev/null
cmake --build "$out/ojph" --target openjph >/dev/null
clang++-19 $flags -fno-exceptions -std=c++17 -I"$out/OpenJPH-0.31.0/src/core" \
  "$root/bench/peers/openjph_wasm.cpp" "$out/ojph/src/core/libopenjph.a" -nostartfiles -fuse-ld=lld \
  -Wl,--no-entry -Wl,--export=__wasm_call_ctors -Wl,--gc-sections -Wl,-z,stack-size=1048576 \
  -Wl,--max-memory=4294967296 -o "$out/openjph.wasm"
echo "$out/openjph.wasm: $(stat -c %s "$out/openjph.wasm") bytes"
