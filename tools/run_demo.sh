#!/usr/bin/env bash
# Builds wave_effect, makes a demo sound in demo/tec.wav and starts the
# program there. Its outputs land in demo/ too.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
mkdir -p demo
build/release/tools/make_demo_wave demo/tec.wav
cd demo
exec ../build/release/src/driver/wave_effect
