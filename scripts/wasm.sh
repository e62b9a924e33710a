#!/usr/bin/env bash
# Builds the htj2k decoder as WebAssembly: web/varnel.wasm, loaded by
# web/varnel.js. The same native sources as the Python extension (container,
# codestream reader, HT block decoder, inverse 5/3, chunk drivers) plus the
# export shim native/wasm/exports.cpp, compiled for wasm32-wasi with clang 19,
# libc++ and wasi-libc, with SIMD128 (the portable kernels vectorise to it,
# and the *_simd128 files, empty in native builds, replace the portable
# tables of the block decoder's MagSgn step and of the narrowing; the
# *_avx2/*_avx512 files compile to their portable fallbacks). The module
# has no entry point and imports only the WASI calls libc++ keeps, which
# web/varnel.js stubs.
#   scripts/wasm.sh [OUT_DIR]   (default build/wasm; the .wasm is copied to web/)
# Needs Debian's clang-19 lld-19 libc++-19-dev-wasm32 libc++abi-19-dev-wasm32
# libclang-rt-19-dev-wasm32 wasi-libc (scripts/setup.sh installs them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/wasm}
mkdir -p "$out/obj"

cxx=${VARNEL_WASM_CXX:-clang++-19}
flags=(--target=wasm32-wasi -std=c++23 -O3 -msimd128 -mbulk-memory
       -mnontrapping-fptoint -msign-ext ${VARNEL_WASM_FLAGS:-} -fno-exceptions -ffunction-sections -fdata-sections
       -DNDEBUG -Wall -Wextra -Wno-c++11-narrowing -I"$root/native")

# Decoder sources: every module the chunk drivers use, none of Python's or zfp's.
mapfile -t sources < <(cd "$root" && ls native/core/*.cpp native/htj2k/dwt/*.cpp \
  native/htj2k/block/*.cpp native/codestream/*.cpp native/zarr/*.cpp native/wasm/*.cpp)

compile() {  # source -> object, rebuilt when the source or a header is newer
  local src=$1 obj=$out/obj/$(echo "$1" | tr / _).o
  if [ ! -f "$obj" ] || [ -n "$(find "$root/native" -newer "$obj" -name '*.[ch]pp' -print -quit)" ]; then
    "$cxx" "${flags[@]}" -c "$root/$src" -o "$obj"
  fi
  echo "$obj"
}
export -f compile; export out root cxx
export flags_text="${flags[*]}"
objects=$(printf '%s\n' "${sources[@]}" | xargs -P "$(nproc)" -I{} bash -c \
  'flags=($flags_text); compile "$@"' _ {})

"$cxx" "${flags[@]}" -nostartfiles -fuse-ld=lld -Wl,--no-entry -Wl,--export=__wasm_call_ctors -Wl,--gc-sections \
  -Wl,--strip-all -Wl,-z,stack-size=1048576 -Wl,--initial-memory=4194304 \
  -Wl,--max-memory=4294967296 -o "$out/varnel.wasm" $objects
cp "$out/varnel.wasm" "$root/web/varnel.wasm"
echo "web/varnel.wasm: $(stat -c %s "$root/web/varnel.wasm") bytes"
