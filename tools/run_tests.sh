#!/usr/bin/env bash
# Builds wave_effect and runs every test: the optimised build, and its unit
# tests of the vector loops again as a processor without AVX2 (under
# qemu-user, where installed); the whole suite again under AddressSanitizer
# and UndefinedBehaviorSanitizer (clang), then the WAV reader's fuzzer for a
# bounded time (FUZZ_SECONDS, 60 by default); the standard-C++ build with no
# compiler extensions; and, where their tools are installed, the Windows
# build under Wine and the aarch64 build under qemu-user (a line says which
# is skipped, and why). The Debian package and the Windows zip are built and
# their contents checked. Used as it is by CI, which installs those tools
# first.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=${FUZZ_SECONDS:-60}

run_suite() {
  local preset=$1
  cmake --preset "$preset"
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
}

run_suite release
python3 tests/e2e/package_test.py deb build/release

# The vector loops are built twice on x86-64, and a processor with AVX2, as
# this one likely is, only ever runs the one for it: their tests run again
# under qemu-user as a processor without it, two halves side by side.
if [ "$(uname -m)" = x86_64 ] && command -v qemu-x86_64 >/dev/null 2>&1; then
  echo "x86-64 without AVX2: the effects and the dumps under qemu-x86_64 -cpu Nehalem"
  plain=(qemu-x86_64 -cpu Nehalem build/release/tests/unit_tests --gtest_brief=1)
  "${plain[@]}" --gtest_filter='ReverbFastPath.*:Reverb.*:Distortion.*:Effects.*' &
  first=$!
  "${plain[@]}" --gtest_filter='VibratoFastPath.*:Vibrato.*:QuickSine.*:SampleText*:*Dump*:WavWriter*'
  wait "$first"
else
  echo "x86-64 without AVX2 skipped: not an x86-64 machine with qemu-user"
fi
run_suite sanitize

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

run_suite portable

missing() {
  local tool
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null 2>&1 && [ ! -x "$tool" ]; then
      echo "$tool"
      return
    fi
  done
}

gone=$(missing x86_64-w64-mingw32-g++-posix /usr/lib/wine/wine64)
if [ -n "$gone" ]; then
  echo "windows suite skipped: $gone is not installed (Debian's g++-mingw-w64-x86-64 and wine64)"
else
  # Wine keeps its prefix (its C: drive and registry) in the build, and
  # makes it on its first start: once, waiting until it is complete, before
  # the tests start Wine in parallel. Its server then stays up for the whole
  # suite: left to itself it stops when its last program does, and a
  # program starting just then loses its connection.
  mkdir -p build/windows
  export WINEDEBUG=-all WINEPREFIX="$PWD/build/windows/wine"
  /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
  /usr/lib/wine/wineserver64 -w 2>/dev/null || true
  /usr/lib/wine/wineserver64 -p
  trap '/usr/lib/wine/wineserver64 -k 2>/dev/null || true' EXIT
  # The first program Wine runs after making its prefix has at times never
  # exited (and starts the services that then stay up with the server): one
  # runs here, on its own, with nothing of ours attached.
  timeout 120 /usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1 || true
  cmake --preset windows
  cmake --build --preset windows -j "$jobs"
  # Wine itself now and then drops a program (a lost connection to its
  # server, a program that never exits): a failed suite runs once more,
  # and only a second failure counts. The first one's report stays above.
  if ! ctest --preset windows -j "$jobs"; then
    echo "windows suite: failed under Wine; running it once more"
    ctest --preset windows -j "$jobs"
  fi
  python3 tests/e2e/package_test.py zip build/windows
fi

gone=$(missing aarch64-linux-gnu-g++ qemu-aarch64)
if [ -n "$gone" ]; then
  echo "aarch64 suite skipped: $gone is not installed (Debian's g++-aarch64-linux-gnu and qemu-user)"
else
  run_suite aarch64
fi
