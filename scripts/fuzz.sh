#!/usr/bin/env bash
# Fuzzes the module, the rules binding and the data-file readers with atheris (libFuzzer).
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]   long runs, SECONDS per target (default 600),
#                                                 corpus kept in build/fuzz/corpus/TARGET
#   bash scripts/fuzz.sh --runs N [TARGET...]    N inputs per target from seed 1 and an empty
#                                                 corpus: the same inputs every time (CI)
#
# Targets are the files tests/fuzz/fuzz_*.py (default: all), run against the modules Python
# imports: the installed ones, or those of a build when PYTHONPATH and LD_PRELOAD say so
# (scripts/test.sh runs them against the sanitizer build). A failing input is written to
# build/fuzz/failures/TARGET-*; replay it with: python tests/fuzz/fuzz_TARGET.py FILE.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-$root/.venv/bin/python}"

limit=(-max_total_time=600)
corpus=1
if [ "${1:-}" = "--runs" ]; then
    limit=(-runs="$2" -seed=1)
    corpus=0
    shift 2
elif [[ "${1:-}" =~ ^[0-9]+$ ]]; then
    limit=(-max_total_time="$1")
    shift
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for file in "$root"/tests/fuzz/fuzz_*.py; do
        name="$(basename "$file" .py)"
        targets+=("${name#fuzz_}")
    done
fi

out="$root/build/fuzz"
mkdir -p "$out/failures" "$out/logs"
status=0
for target in "${targets[@]}"; do
    args=("${limit[@]}" -timeout=60 -rss_limit_mb=4096 -len_control=0 -print_final_stats=1
          -artifact_prefix="$out/failures/$target-")
    if [ "$corpus" -eq 1 ]; then
        mkdir -p "$out/corpus/$target"
        args+=("$out/corpus/$target")
    fi
    log="$out/logs/$target.log"
    if "$PYTHON" "$root/tests/fuzz/fuzz_$target.py" "${args[@]}" >"$log" 2>&1; then
        echo "fuzz $target: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$log")" >&2
    else
        status=1
        echo "fuzz $target FAILED (log $log):" >&2
        grep -v '^    #' "$log" | grep -v 'fatal stop at' | tail -n 30 >&2
    fi
done
exit "$status"
