#!/usr/bin/env bash
# Builds everything and runs every check and test: formatting and the Python linters, the C++
# suites under AddressSanitizer and UndefinedBehaviorSanitizer, then the release build with its
# suites and a short run of every benchmark, then the module installed into the virtual
# environment and its Python suite. Compiler warnings are errors here.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$root"

jobs="$(nproc)"

echo "== module install and Python checks" >&2
"$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation "${root}[test,train,ray]"
git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
"$PYTHON" -m ruff check .
"$PYTHON" -m mypy

echo "== sanitizer build" >&2
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRALIX_WERROR=ON \
    -DTRALIX_BUILD_TESTS=ON -DTRALIX_SANITIZE=ON -DTRALIX_BUILD_MODULE=OFF >/dev/null
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

echo "== release build" >&2
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$PYTHON" \
    -DTRALIX_WERROR=ON -DTRALIX_BUILD_TESTS=ON -DTRALIX_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== benchmarks, briefly, so that they keep working" >&2
build/release/bench/rules_bench --benchmark_min_time=0.01 >/dev/null
build/release/bench/search_bench --benchmark_min_time=0.01 >/dev/null
"$PYTHON" bench/training_game_bench.py --side 8 --sims 4 >/dev/null
"$PYTHON" bench/harness_bench.py --seconds 1 --layouts 1x1 >/dev/null
"$PYTHON" bench/replay_bench.py --games 5 --rounds 1 >/dev/null
"$PYTHON" bench/learning_bench.py --sides 6 --games 2 --sims 4 --steps 2 >/dev/null
"$PYTHON" bench/module_cost_bench.py --build build/release --side 8 --sims 4 --floor-requests 200 --memory-sims 8 --rounds 1 >/dev/null

echo "== Python tests" >&2
"$PYTHON" -m pytest tests/python -q
