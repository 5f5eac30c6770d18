#!/usr/bin/env bash
# Prepares a machine for building: Debian's GoogleTest, Google Benchmark, clang-format and
# valgrind when missing, chromium and its driver too when they can be installed (the viewer's
# page is tested in them; without them those tests are skipped), and a virtual environment
# made from CPython 3.13 with the build tools. Sourced by the other scripts; leaves PYTHON
# pointing at the environment's interpreter.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

missing=()
for pkg in libgtest-dev libgmock-dev libbenchmark-dev clang-format valgrind; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
browser=()
for pkg in chromium chromium-driver; do
    dpkg -s "$pkg" >/dev/null 2>&1 || browser+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ] || [ ${#browser[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then sudo_cmd=(); else sudo_cmd=(sudo); fi
    "${sudo_cmd[@]}" apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing ${missing[*]}" >&2
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if [ ${#browser[@]} -gt 0 ]; then
    echo "Installing ${browser[*]} (for the viewer's browser tests)" >&2
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${browser[@]}" \
        >/dev/null || echo "${browser[*]} could not be installed: the browser tests will be skipped" >&2
fi

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
