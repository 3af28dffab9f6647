#!/usr/bin/env bash
# Builds wave_effect and runs every test: the optimised build, then the
# whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer
# (clang), then the WAV reader's fuzzer for a bounded time (FUZZ_SECONDS,
# 60 by default). Used as it is by CI.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${FUZZ_SECONDS:-60}

for preset in release sanitize; do
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

# Fuzzing: a scratch copy of the seed corpus grows; the repository's stays
# as it is. Any crash, leak or sanitizer report fails the run, and its input
# is kept as build/sanitize/fuzz-crash-* to be added to tests/fuzz/corpus.
work=build/sanitize/fuzz
rm -rf "$work" && mkdir -p "$work/corpus"
cp tests/fuzz/corpus/* "$work/corpus/"
echo "fuzzing read_wave for ${fuzz_seconds} s"
if ! build/sanitize/tests/read_wave_fuzzer -max_total_time="$fuzz_seconds" -max_len=4096 \
    -artifact_prefix=build/sanitize/fuzz-crash- "$work/corpus" > "$work/log" 2>&1; then
  tail -n 60 "$work/log"
  echo "read_wave_fuzzer: FAILED (the input is kept as build/sanitize/fuzz-crash-*)"
  exit 1
fi
tail -n 1 "$work/log"
echo "read_wave_fuzzer: 1 passed, 0 failed"
