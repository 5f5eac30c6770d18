#!/usr/bin/env bash
# Builds everything and runs every test: the C++ suites under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the release build with its suites, then the module installed
# into the virtual environment and its Python suite.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$root"

jobs="$(nproc)"

echo "== sanitizer build" >&2
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTRALIX_BUILD_TESTS=ON -DTRALIX_SANITIZE=ON -DTRALIX_BUILD_MODULE=OFF >/dev/null
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

echo "== release build" >&2
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$PYTHON" \
    -DTRALIX_BUILD_TESTS=ON -DTRALIX_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== module and Python tests" >&2
"$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation "$root"
"$PYTHON" -m pytest tests/python -q
