#!/usr/bin/env bash
# Builds wave_effect and runs every test. Used as it is by CI.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

cmake --preset release
cmake --build --preset release -j "$jobs"
ctest --preset release -j "$jobs"
