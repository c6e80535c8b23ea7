#!/usr/bin/env bash
# Every test: unit and integration tests (real Dovecot and SMTP servers, the
# Windows DLL under Wine), the unit tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the fuzz targets (corpus replay plus a
# bounded run each).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-deps.sh
./scripts/build.sh
jobs=$(nproc)

echo "== layering: no include runs upward"
python3 scripts/check_layers.py

echo "== unit and integration tests"
BREVORIN_REQUIRE_WINE=1 ctest --test-dir build --output-on-failure -j1

echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DBREVORIN_SANITIZE=ON -DBREVORIN_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -L unit -j1

echo "== sessions on two threads under ThreadSanitizer"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DBREVORIN_TSAN=ON -DBREVORIN_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target thread_sessions
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -R thread_sessions

if [ -x fuzz/run_fuzz.sh ]; then
  echo "== fuzz targets"
  fuzz/run_fuzz.sh "${FUZZ_SECONDS:-20}"
fi
echo "== all tests passed"
