#!/usr/bin/env bash
# Self-play with the built-in heuristic network: builds and installs the module and the harness
# into .venv when the sources changed, then plays a few self-play games on side 20 and says
# where the data went. Extra arguments go to 'tralix selfplay' (e.g. --games 32).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
cd "$root"

stamp="$venv/.tralix-installed"
if [ ! -f "$stamp" ] || [ -n "$(find CMakeLists.txt pyproject.toml rules self_play harness \
        -newer "$stamp" -type f 2>/dev/null | head -n 1)" ] ||
    ! "$PYTHON" -c "import tralix_self_play, tralix_harness" 2>/dev/null; then
    echo "building and installing tralix_self_play and tralix_harness..." >&2
    "$PYTHON" -m pip install -q --disable-pip-version-check --no-build-isolation "$root"
    touch "$stamp"
fi

# A new file each time (data/selfplay-DATE-TIME.jsonl.gz): an existing output is refused.
exec "$PYTHON" -m tralix_harness selfplay --games 16 --side 20 --sims 64 --workers 2 \
    --threads 4 "$@"
