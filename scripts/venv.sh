#!/usr/bin/env bash
# Prepares a machine for building and running the package: a virtual environment .venv made
# from CPython 3.13 with the build tools (scripts/requirements-dev.txt). Sourced by the other
# scripts; leaves root at the top of the tree, venv at the environment and PYTHON at its
# interpreter. Installs nothing else: what only the tests need is setup.sh's.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

find_python313() {
    if command -v pyenv >/dev/null 2>&1; then
        local prefix
        if prefix="$(pyenv prefix 3.13.0 2>/dev/null)" && [ -x "$prefix/bin/python3.13" ]; then
            echo "$prefix/bin/python3.13"
            return
        fi
    fi
    local candidate
    for candidate in python3.13 python3; do
        if command -v "$candidate" >/dev/null 2>&1 &&
            "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
            command -v "$candidate"
            return
        fi
    done
    echo "error: CPython 3.13 was not found (tried 'pyenv prefix 3.13.0', python3.13 and python3)." >&2
    echo "Install CPython 3.13 and run this again." >&2
    exit 1
}

venv="$root/.venv"
if [ ! -x "$venv/bin/python" ] ||
    ! "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
    rm -rf "$venv"
    "$(find_python313)" -m venv "$venv"
fi
PYTHON="$venv/bin/python"
"$PYTHON" -m pip install -q --disable-pip-version-check -r "$root/scripts/requirements-dev.txt"
export PATH="$venv/bin:$PATH"
