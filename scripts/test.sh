#!/usr/bin/env bash
# The whole test suite: installs what is missing, then runs the engine tests
# (plain and under AddressSanitizer + UndefinedBehaviorSanitizer), the fuzz
# targets for a short bounded time, and the Python tests. Exits non-zero on any
# failure; the last lines are the test runners' own summaries.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh || exit 1

jobs=$(nproc)
failed=0
step() { echo; echo "==> $*"; }

step "engine tests"
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORLIN_BUILD_TESTS=ON >/dev/null &&
  cmake --build build/plain -j "$jobs" &&
  ctest --test-dir build/plain --output-on-failure --no-tests=error -j "$jobs" || failed=1

step "engine tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORLIN_BUILD_TESTS=ON -DQUORLIN_SANITIZE=ON >/dev/null &&
  cmake --build build/sanitize -j "$jobs" &&
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize --output-on-failure --no-tests=error -j "$jobs" || failed=1

step "fuzz targets (${QUORLIN_FUZZ_SECONDS:=20} s each)"
CC=clang-16 CXX=clang++-16 cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORLIN_FUZZ=ON >/dev/null &&
  cmake --build build/fuzz -j "$jobs" || failed=1
fuzzed=0
for target in build/fuzz/fuzz/*_fuzz; do
  [ -x "$target" ] || continue
  fuzzed=$((fuzzed + 1))
  name=$(basename "$target")
  corpus=("build/fuzz/corpus/$name")
  mkdir -p "${corpus[0]}"
  [ -d "fuzz/seeds/${name%_fuzz}" ] && corpus+=("fuzz/seeds/${name%_fuzz}")
  if "$target" -max_total_time="$QUORLIN_FUZZ_SECONDS" -timeout=10 -rss_limit_mb=2048 -artifact_prefix=build/fuzz/ \
       "${corpus[@]}" >"build/fuzz/$name.log" 2>&1; then
    echo "$name: $(grep -E '^Done [0-9]+ runs' "build/fuzz/$name.log" || tail -n 1 "build/fuzz/$name.log")"
  else
    echo "$name: FAILED"; tail -n 40 "build/fuzz/$name.log"; failed=1
  fi
done
# A fuzz build that produced no target must not pass as a clean run.
[ "$fuzzed" -gt 0 ] || { echo "no fuzz target was built"; failed=1; }

step "Python tests, against the repaired wheel"
# One native build for the Python side: the wheel users install, installed
# here and tested in a fresh venv by test_wheel.py.
if wheel=$(bash scripts/build-wheel.sh | tail -n 1) &&
   PIP_BREAK_SYSTEM_PACKAGES=1 python3 -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps "$wheel"; then
  QUORLIN_WHEEL="$wheel" python3 -m pytest -q tests/python || failed=1
else
  echo "the wheel did not build or install"; failed=1
fi

exit "$failed"
