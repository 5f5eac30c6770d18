#!/usr/bin/env bash
# Builds everything and runs every check and test: formatting, the Python linters and the
# harness's import graph, the C++ suites under AddressSanitizer and UndefinedBehaviorSanitizer
# and the extension modules of the same build under the Python suite, then the release build
# with its suites and a short run of every benchmark, a short chaos run of the training loop
# (killed and resumed), a short fuzzing run against the sanitizer build, and last the module
# installed into the virtual environment under its Python suite. Compiler warnings are errors
# here.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$root"

jobs="$(nproc)"

echo "== module install and Python checks" >&2
"$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation "${root}[test,train,ray]"
git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
"$PYTHON" -m ruff check .
"$PYTHON" -m mypy
"$PYTHON" scripts/import_graph.py >/dev/null  # no import cycle in the harness, lazy ones counted

echo "== sanitizer build" >&2
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTRALIX_WERROR=ON \
    -DTRALIX_BUILD_TESTS=ON -DTRALIX_SANITIZE=ON -DPython_EXECUTABLE="$PYTHON" >/dev/null
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

echo "== Python suite against the sanitizer build's modules" >&2
# The interpreter is not instrumented: the sanitizer runtimes are preloaded, and leak detection
# is off because the interpreter keeps its own allocations to the end (the module's references
# are counted by the suite and the fuzz targets instead). PYTHONPATH puts the build's modules
# ahead of the installed ones; the first command checks that they are the ones imported.
sanitized=(env
    LD_PRELOAD="$(realpath "$(g++ -print-file-name=libasan.so)"):$(realpath "$(g++ -print-file-name=libubsan.so)")"
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    PYTHONPATH="$root/build/sanitize/self_play:$root/build/sanitize/rules_binding:$root/harness")
"${sanitized[@]}" "$PYTHON" -c '
import sys, tralix_engine, tralix_rules, tralix_self_play
for module in (tralix_self_play, tralix_engine, tralix_rules):
    assert module.__file__.startswith(sys.argv[1]), f"imported {module.__file__}"
' "$root/build/sanitize/"
# The suites that call the modules directly. Left out: those of the harness's processes and of
# learning (worker processes and PyTorch, slow under the sanitizers; they run below against the
# release modules), and the resident-memory check, which the sanitizer's quarantine of freed
# memory defeats.
module_suites=(test_arguments.py test_concurrency.py test_config.py test_engine.py test_evaluation_games.py
    test_full_position.py test_harness_contract.py test_learning_data.py test_module_surface.py
    test_refcounts.py test_replies.py test_requests.py test_rules_binding.py test_training_games.py
    test_wire.py)
"${sanitized[@]}" "$PYTHON" -m pytest -q -p no:cacheprovider "${module_suites[@]/#/tests/python/}" \
    --deselect tests/python/test_refcounts.py::test_search_trees_are_released

echo "== release build" >&2
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$PYTHON" \
    -DTRALIX_WERROR=ON -DTRALIX_BUILD_TESTS=ON -DTRALIX_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== benchmarks, briefly, so that they keep working" >&2
build/release/bench/rules_bench --benchmark_min_time=0.01 >/dev/null
build/release/bench/search_bench --benchmark_min_time=0.01 >/dev/null
build/release/bench/search_probe --games 4 --sims 4 >/dev/null
"$PYTHON" bench/training_game_bench.py --side 8 --sims 4 >/dev/null
"$PYTHON" bench/harness_bench.py --seconds 1 --layouts 1x1 >/dev/null
"$PYTHON" bench/replay_bench.py --games 5 --rounds 1 >/dev/null
"$PYTHON" bench/learning_bench.py --sides 6 --games 2 --sims 4 --steps 2 >/dev/null
small_run=$(mktemp -d)
"$PYTHON" -m tralix_harness loop "$small_run/run" --side 5 --games 2 --first-games 2 --sims 2 \
    --steps 2 --blocks 1 --channels 8 --batch-size 8 --eval-games 4 --rating-games 4 \
    --search-rating-games 4 --workers 1 --threads 2 --generations 2 >/dev/null
"$PYTHON" bench/evaluation_bench.py "$small_run/run" --generation 2 --repeats 1 --eval-games 4 \
    >/dev/null
"$PYTHON" bench/value_phases.py "$small_run/run/checkpoints/gen-0002.pt" \
    "$small_run/run/games/gen-0002.jsonl.gz" --side 5 --phases 2 >/dev/null
# The small run's network sees the full position; the heuristic takes the five planes.
for network in "torch:$small_run/run/checkpoints/gen-0002.pt" heuristic; do
    "$PYTHON" bench/target_quality.py --network "$network" --side 5 --positions 2 --repeats 2 \
        --reference-sims 4 --workers 1 --teacher base= --teacher sharp="temperature=0.5" \
        2>/dev/null >/dev/null
done
tiny="--games 2 --first-games 2 --sims 2 --steps 2 --blocks 1 --channels 8 --batch-size 8 \
    --eval-games 4 --rating-games 4 --search-rating-games 4 --workers 1 --threads 2"
"$PYTHON" bench/loop_ablation.py --side 5 --generations 1 --seeds 0 1 --folder "$small_run/ablation" \
    --random-games 4 --heuristic-games 8 --variant a="$tiny" --variant b="$tiny --sims 3" >/dev/null
seed_runs=(bench/seed_runs.py --side 5 --minutes 1 --seeds 0 1 --keep "$small_run/kept"
    --loop-options "$tiny --generations 1" --random-games 4 --heuristic-games 8 --ladder-games 8
    --reference-games 8 --search-games 8 --search-sims 4 --search-against heuristic search64)
"$PYTHON" "${seed_runs[@]}" --folder "$small_run/seeds" >/dev/null
# As on a new machine: the kept seeds are not run again, and their kept ladders are read back.
"$PYTHON" "${seed_runs[@]}" --folder "$small_run/seeds-again" >/dev/null
test ! -e "$small_run/seeds-again/s0"
test -s "$small_run/kept/ladder-greedy-s0-1.json"
# Another set of seeds in the same folder: its kept network plays a ladder of its own.
"$PYTHON" "${seed_runs[@]}" --seeds 0 --folder "$small_run/seeds-again" >/dev/null
"$PYTHON" -c 'import json, sys; rated = {s["rated"] for s in json.load(open(sys.argv[1]))["scores"]}
assert len(rated) == 1, rated' "$small_run/kept/ladder-greedy-s0.json"
test -s "$small_run/kept/ladder-references.json"
rm -rf "$small_run"
"$PYTHON" bench/inference_bench.py --sides 6 --batches 1 4 --seconds 0.01 --games 2 --workers 1 --threads 2 --sims 2 >/dev/null
"$PYTHON" bench/search_strength.py --sides 6 --sims 0,4 --games 4 --workers 1 --chunk 2 >/dev/null
"$PYTHON" bench/soak.py --games 200 --warm-up 100 --every 50 >/dev/null
"$PYTHON" bench/module_cost_bench.py --build build/release --side 8 --sims 4 --floor-requests 200 --memory-sims 8 --rounds 1 >/dev/null
# Ray must see only the loopback interface: a network namespace of its own (root).
if unshare --net true 2>/dev/null; then
    unshare --net sh -c 'ip link set lo up && "$@"' sh "$PYTHON" bench/ray_bench.py \
        --side 8 --sims 4 --games 4 --workers 1 --threads 2 --rounds 1 >/dev/null
else
    echo "ray_bench.py skipped: no network namespace can be made here" >&2
fi

echo "== the training loop killed at random instants, briefly" >&2
"$PYTHON" tests/chaos/loop_chaos.py --kills 3 --generations 3 --most-seconds 10

echo "== fuzzing, briefly, against the sanitizer build's modules (the same inputs every time)" >&2
"${sanitized[@]}" PYTHON="$PYTHON" bash scripts/fuzz.sh --runs 3000

# Last, so that the run ends with the test runner's summary.
echo "== Python tests" >&2
"$PYTHON" -m pytest tests/python -q

