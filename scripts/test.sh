#!/usr/bin/env bash
# Runs every test of varnel on a fresh machine: installs what is needed,
# builds the abi3 wheel, repairs it into a manylinux wheel and audits it
# (auditwheel, abi3audit, ldd, exported symbols), imports it in a fresh
# virtual environment, runs the C++ unit tests (plain and under
# AddressSanitizer + UndefinedBehaviorSanitizer; the concurrency tests also
# under ThreadSanitizer) and the Python tests against the installed manylinux
# wheel on Python 3.11 (zarr 3.1, numcodecs 0.16), on Python 3.12 and on
# Python 3.13 (zarr >= 3.2, numcodecs >= 0.17), each in a fresh virtual
# environment.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

echo "== set-up"
scripts/setup.sh

# The version has one source, pyproject.toml.
version=$(python3 -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')

echo "== wheel"
# Built as `pip install .` builds it (isolated build environment, zfp 1.0.1
# compiled from its source archive, cached in ~/.cache/varnel), then repaired
# into a manylinux wheel: it must need nothing outside the manylinux
# allow-list, so auditwheel grafts nothing into it.
rm -rf dist && mkdir -p dist/built
python3 -m pip wheel --no-deps -q . -w dist/built
built=$(ls dist/built/varnel-*.whl)
case "$built" in *"varnel-$version-cp311-abi3-linux_x86_64.whl") ;;
  *) echo "$built: not varnel $version, cp311-abi3"; exit 1 ;; esac
python3 -m auditwheel repair -w dist "$built" 2>&1 | tail -n 1
wheel=$(ls dist/varnel-*.whl)
echo "$wheel ($(stat -c %s "$wheel") bytes)"
case "$wheel" in *"varnel-$version-cp311-abi3-manylinux_"*"_x86_64.whl") ;;
  *) echo "$wheel: not a cp311-abi3 manylinux wheel"; exit 1 ;; esac
show=$(python3 -m auditwheel show "$wheel" | tr -s ' \n' ' ')
echo "$show"
case "$show" in *'consistent with the following platform tag: "manylinux_'*) ;;
  *) echo "auditwheel: not a manylinux wheel"; exit 1 ;; esac
case "$show" in *"external shared libraries"*) echo "auditwheel: external libraries"; exit 1 ;; esac
if python3 -m zipfile -l "$wheel" | grep -q '\.libs/'; then
  echo "auditwheel grafted libraries into the wheel"; exit 1
fi
unpacked=$(mktemp -d)
python3 -m zipfile -e "$wheel" "$unpacked"
for so in "$unpacked"/varnel/*.so; do
  name=$(basename "$so" .abi3.so)
  echo "$name: $(ldd "$so" | awk '{print $1}' | tr '\n' ' ')"
  if ldd "$so" | grep -E 'libzfp|libgomp|libstdc\+\+'; then echo "$so links the above"; exit 1; fi
  exported=$(nm -D --defined-only "$so" | awk '{print $3}')
  if [ "$exported" != "PyInit_$name" ]; then echo "$so exports: $exported"; exit 1; fi
done
python3 -m abi3audit --strict --report "$wheel"

echo "== fresh virtual environment"
venv=$(mktemp -d)/venv
python3 -m venv "$venv"
"$venv/bin/pip" install -q "$wheel"
(cd / && "$venv/bin/python" -c "import varnel; assert varnel.__version__ == '$version', varnel.__version__; print('varnel', varnel.__version__, 'imports in a fresh venv')")

echo "== WebAssembly decoder (scripts/wasm.sh) and its tests (node --test tests/web)"
# Fixtures come from the installed wheel (tests/web/fixtures.py); the
# viewer's Chromium test runs with the Python tests below.
scripts/wasm.sh
"$venv/bin/pip" install -q numpy "zarr>=3.1"
VARNEL_PYTHON="$venv/bin/python" node --test tests/web

echo "== C++ tests"
cmake -S . -B build/test -G Ninja -DVARNEL_TESTS=ON -DVARNEL_PYTHON=OFF -DVARNEL_BENCH=ON >/dev/null
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"

echo "== C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DVARNEL_TESTS=ON -DVARNEL_PYTHON=OFF -DVARNEL_SANITIZE=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== C++ concurrency tests under ThreadSanitizer"
cmake -S . -B build/tsan -G Ninja -DVARNEL_TESTS=ON -DVARNEL_PYTHON=OFF -DVARNEL_SANITIZE_THREAD=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan -L threads --output-on-failure -j "$jobs"

echo "== fuzzing: each libFuzzer target for 60 s under AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/fuzz.sh 60

# One fresh virtual environment per Python version, with the manylinux wheel
# and its test extras (zarr, numcodecs, zfpy, dask, distributed; moto's
# standalone S3 server, s3fs, obstore and aiohttp for the remote-store tests,
# which start their servers on free loopback ports themselves). Python 3.11
# gets the last zarr and numcodecs releases that support it; 3.12 and 3.13 get
# current ones and imagecodecs, which the benchmarks compare with; 3.12 also
# napari (the `napari` extra, a Qt binding and ome-zarr: one interpreter is
# enough for the reader plugin, whose install is heavy). (Tests whose
# peer package has no release for an interpreter skip: pytest.importorskip.)
python_tests() {
  local python=$1; shift
  local venv
  venv=$(mktemp -d)/venv
  "$python" -m venv "$venv"
  "$venv/bin/pip" install -q "$wheel[${extras:-test}]" "$@"
  "$venv/bin/python" -c 'import sys, zarr, numcodecs, dask; print("Python", sys.version.split()[0], "zarr", zarr.__version__, "numcodecs", numcodecs.__version__, "dask", dask.__version__)'
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
}

echo "== Python tests (installed wheel), Python 3.11"
python_tests "$(scripts/setup.sh --python 3.11)" "zarr>=3.1,<3.2" "numcodecs>=0.16,<0.17"
echo "== Python tests (installed wheel), Python 3.12, with napari (the reader plugin, a window under Xvfb)"
extras=test,napari python_tests "$(scripts/setup.sh --python 3.12)" "zarr>=3.2" "numcodecs>=0.17" \
  imagecodecs "napari[pyqt5]" ome-zarr
echo "== Python tests (installed wheel), Python 3.13"
python_tests "$(scripts/setup.sh --python 3.13)" "zarr>=3.2" "numcodecs>=0.17" imagecodecs
echo "== all tests passed"
