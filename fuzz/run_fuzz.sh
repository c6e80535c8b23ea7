#!/bin/sh
# Builds the fuzz targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, replays the checked-in corpus of each target and
# then fuzzes each one for a bounded time.
#
#   fuzz/run_fuzz.sh [SECONDS [TARGET...]]
#
# SECONDS per target defaults to 20; without TARGETs every target listed in
# fuzz/CMakeLists.txt runs. The build goes to $BREVORIN_FUZZ_BUILD (default
# build-fuzz in the source tree); inputs found while fuzzing stay in its
# fuzz-work/ directory and never touch the checked-in corpus; crashes are
# written to fuzz-artifacts/ there.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${BREVORIN_FUZZ_BUILD:-$root/build-fuzz}
seconds=${1:-20}
[ $# -gt 0 ] && shift

if [ $# -gt 0 ]; then
    targets="$*"
else
    targets=$(sed -n '/^set(BREVORIN_FUZZ_TARGETS/,/^)/p' "$here/CMakeLists.txt" |
              grep -v '^set(' | grep -v '^)' | tr -d ' ')
fi

cmake -S "$root" -B "$build" \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBREVORIN_FUZZ=ON -DBREVORIN_SANITIZE=ON \
    -DBREVORIN_TESTS=OFF -DBREVORIN_BENCH=OFF >/dev/null
for t in $targets; do
    cmake --build "$build" -j2 --target "$t"
done

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/fuzz-artifacts"
failed=""
for t in $targets; do
    bin="$build/fuzz/$t"
    seeds="$here/corpus/$t"
    work="$build/fuzz-work/$t"
    mkdir -p "$work"
    echo "== $t: corpus replay"
    if [ -d "$seeds" ] && ! "$bin" -runs=0 -artifact_prefix="$build/fuzz-artifacts/$t-" \
            "$seeds" >"$build/fuzz-work/$t.replay.log" 2>&1; then
        cat "$build/fuzz-work/$t.replay.log"
        failed="$failed $t(replay)"
        continue
    fi
    echo "== $t: fuzzing for ${seconds}s"
    if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
            -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$t-" \
            "$work" $( [ -d "$seeds" ] && echo "$seeds" ) >"$build/fuzz-work/$t.log" 2>&1; then
        tail -n 60 "$build/fuzz-work/$t.log"
        failed="$failed $t"
        continue
    fi
    grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$build/fuzz-work/$t.log" |
        sed "s/^/   /"
done

if [ -n "$failed" ]; then
    echo "FAILED:$failed"
    exit 1
fi
echo "all fuzz targets passed"
