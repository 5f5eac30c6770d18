#!/usr/bin/env bash
# Trains a network from scratch by self-play on side 10 for about ten minutes: builds and
# installs the module, the rules binding and the harness with the training extra (torch, onnx
# and ONNX Runtime, TensorBoard, matplotlib) into .venv when needed, then runs 'tralix loop' in a new run folder
# under data/. Prints a line per generation (losses, the greedy score against random players
# beside a random player's own, the score against the previous generation) and the learning
# curve's path. Extra arguments go to 'tralix loop' (e.g. --minutes 60).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
cd "$root"

stamp="$venv/.tralix-installed"
if [ ! -f "$stamp" ] || [ -n "$(find CMakeLists.txt pyproject.toml rules rules_binding self_play \
        harness -newer "$stamp" -type f 2>/dev/null | head -n 1)" ] ||
    ! "$PYTHON" -c "import tralix_self_play, tralix_engine, tralix_rules, tralix_harness, torch, onnx, onnxruntime, matplotlib" \
        2>/dev/null; then
    echo "building and installing tralix_self_play, tralix_engine, tralix_rules and tralix_harness with torch..." >&2
    "$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation "${root}[train]"
    touch "$stamp"
fi

run_dir="data/train-$(date +%Y%m%d-%H%M%S)"
exec "$PYTHON" -m tralix_harness loop "$run_dir" --side 10 --minutes 10 "$@"
