#!/usr/bin/env bash
# Runs every test of varnel on a fresh machine: installs what is needed,
# builds the abi3 wheel and audits it, imports it in a fresh virtual
# environment, runs the C++ unit tests (plain and under AddressSanitizer +
# UndefinedBehaviorSanitizer; the concurrency tests also under
# ThreadSanitizer) and the Python tests against the installed wheel on
# Python 3.11 (zarr 3.1, numcodecs 0.16) and on Python 3.12 (zarr >= 3.2,
# numcodecs >= 0.17), each in a fresh virtual environment.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)

echo "== set-up"
scripts/setup.sh

echo "== wheel"
rm -rf dist && mkdir -p dist
python3 -m pip wheel --no-deps -q . -w dist
wheel=$(ls dist/varnel-*.whl)
echo "$wheel"
case "$wheel" in *cp311-abi3*) ;; *) echo "wheel is not tagged cp311-abi3"; exit 1 ;; esac
python3 -m abi3audit --strict --report "$wheel"

echo "== fresh virtual environment"
venv=$(mktemp -d)/venv
python3 -m venv "$venv"
"$venv/bin/pip" install -q "$wheel"
(cd / && "$venv/bin/python" -c "import varnel; assert varnel.__version__ == '0.2.5'; print('varnel', varnel.__version__, 'imports in a fresh venv')")

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

# One fresh virtual environment per Python version, with the wheel and its
# test extras (zarr, numcodecs, zfpy, dask, distributed). Python 3.11 gets the
# last zarr and numcodecs releases that support it; 3.12 gets current ones and
# imagecodecs, which the benchmarks compare with.
python_tests() {
  local python=$1; shift
  local venv
  venv=$(mktemp -d)/venv
  "$python" -m venv "$venv"
  "$venv/bin/pip" install -q "$wheel[test]" "$@"
  "$venv/bin/python" -c 'import sys, zarr, numcodecs, dask; print("Python", sys.version.split()[0], "zarr", zarr.__version__, "numcodecs", numcodecs.__version__, "dask", dask.__version__)'
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
}

echo "== Python tests (installed wheel), Python 3.11"
python_tests "$(scripts/setup.sh --python 3.11)" "zarr>=3.1,<3.2" "numcodecs>=0.16,<0.17"
echo "== Python tests (installed wheel), Python 3.12"
python_tests "$(scripts/setup.sh --python 3.12)" "zarr>=3.2" "numcodecs>=0.17" imagecodecs
echo "== all tests passed"
