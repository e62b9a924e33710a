#!/usr/bin/env bash
# Builds OpenHTJ2K v0.19.0 (the release archive in PEERS, default
# /work/shared/peers) as WebAssembly with the toolchain of scripts/wasm.sh,
# behind bench/peers/openhtj2k_wasm.cpp: OUT/openhtj2k.wasm (default
# build/wasm-peers). Its own web build needs Emscripten (threads, files,
# exceptions); with clang 19, wasi-libc and Debian's libc++ for wasm32-wasi
# (built without threads and without a filesystem) it builds unmodified given:
#   - bench/peers/wasm-threads/: single-threaded std::mutex, thread, future,
#     ... and a never-open std::ofstream (the decoder runs with one thread on
#     memory buffers);
#   - no -march=native (its CMakeLists adds it on any x86-64 host), no
#     Threads/TIFF packages, ENABLE_AVX2=OFF;
#   - its JPIP TCP socket source left out (it needs a POSIX network stack).
# Its sources are compiled with -msimd128 as its SIMD web variant is.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
peers=${PEERS:-/work/shared/peers}
out=${1:-$root/build/wasm-peers}
mkdir -p "$out"
[ -d "$out/OpenHTJ2K-0.19.0" ] || tar -xzf "$peers/OpenHTJ2K-0.19.0.tar.gz" -C "$out"
compat=$root/bench/peers/wasm-threads
flags="--target=wasm32-wasi -O3 -msimd128 -mnontrapping-fptoint -mbulk-memory"
cmake -S "$out/OpenHTJ2K-0.19.0" -B "$out/ohtj2k" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
  -DCMAKE_SYSTEM_NAME=Generic -DCMAKE_SYSTEM_PROCESSOR=wasm32 -DCMAKE_C_COMPILER=clang-19 \
  -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags -fno-exceptions -I$compat" \
  -DCMAKE_TRY_COMPILE_TARGET_TYPE=STATIC_LIBRARY -DENABLE_AVX2=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Threads=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_TIFF=ON >/dev/null
sed -i 's/-march=native -mtune=native//g' "$out/ohtj2k/build.ninja"
objects=$(ninja -C "$out/ohtj2k" -t targets all | sed -n 's/^\(CMakeFiles\/open_htj2k\.dir\/[^:]*\.obj\): .*/\1/p' | grep -v tcp_socket)
(cd "$out/ohtj2k" && ninja $objects >/dev/null && rm -f libopenhtj2k_wasm.a && llvm-ar-19 rcs libopenhtj2k_wasm.a $objects)
src=$out/OpenHTJ2K-0.19.0/source/core
clang++-19 $flags -fno-exceptions -std=c++17 -I"$compat" -I"$src/interface" -I"$src/common" \
  "$root/bench/peers/openhtj2k_wasm.cpp" "$out/ohtj2k/libopenhtj2k_wasm.a" -nostartfiles -fuse-ld=lld \
  -Wl,--no-entry -Wl,--export=__wasm_call_ctors -Wl,--gc-sections -Wl,-z,stack-size=1048576 \
  -Wl,--max-memory=4294967296 -o "$out/openhtj2k.wasm"
echo "$out/openhtj2k.wasm: $(stat -c %s "$out/openhtj2k.wasm") bytes"
