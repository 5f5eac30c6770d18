#!/usr/bin/env bash
# Prepares a machine for the tests (scripts/test.sh): Debian's GoogleTest, Google Benchmark,
# clang-format and valgrind when missing, chromium and its driver too when they can be
# installed (the viewer's page is tested in them; without them those tests are skipped), then
# the virtual environment of venv.sh. Training and playing need none of these packages
# (scripts/train.sh and selfplay.sh source venv.sh alone).
set -euo pipefail

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

source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
