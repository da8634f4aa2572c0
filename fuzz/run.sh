#!/bin/sh
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each one for a bounded time on a copy of its seed corpus. Fails when any target
# crashes, leaks, breaks an invariant or gets a sanitizer report; prints the executions of each.
#
#   fuzz/run.sh [BUILD_DIR]                  60 seconds per target, built in build-fuzz
#   FUZZ_SECONDS=600 fuzz/run.sh             a longer run
#   FUZZ_TARGETS="fuzz_tdate" fuzz/run.sh    only the targets named
#
# The working corpus (BUILD_DIR/corpus/TARGET) starts as a copy of fuzz/corpus/TARGET and keeps
# what the runs add, so later runs in the same directory start from there. A failing input is
# written to BUILD_DIR/artifacts/; replay it with: BUILD_DIR/TARGET ARTIFACT
set -eu

# A build directory given as an argument is taken relative to where the script was called
# from; the default is build-fuzz in the source tree.
build=${1:-}
case $build in
    "" | /*) ;;
    *) build=$PWD/$build ;;
esac
cd "$(dirname "$0")/.."
root=$PWD
build=${build:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-60}

packages="clang libclang-rt-14-dev cmake ninja-build"
# shellcheck disable=SC2086
"$root/tests/install_packages.sh" $packages

cmake -S "$root/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build"

targets=${FUZZ_TARGETS:-$(cat "$build/targets.txt")}
mkdir -p "$build/artifacts" "$build/logs"

# Any sanitizer report ends the process (the code is built without recovery), and libFuzzer
# then saves the input and exits non-zero; leaks are checked after every input that grew the
# corpus and at the end.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=""
for target in $targets; do
    corpus=$build/corpus/$target
    log=$build/logs/$target.log
    mkdir -p "$corpus"
    cp -R "$root/fuzz/corpus/$target/." "$corpus/"
    status=0
    "$build/$target" -max_total_time="$seconds" -print_final_stats=1 -max_len=4096 \
        -timeout=25 -rss_limit_mb=2048 -dict="$root/fuzz/dict/$target.dict" \
        -artifact_prefix="$build/artifacts/$target-" "$corpus" >"$log" 2>&1 || status=$?

    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    coverage=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE).*cov:' "$log" | tail -n 1 |
               sed -n 's/.*\(cov: [0-9]*\).*\(corp: [0-9]*\).*/\1, \2 units/p')
    # A report that did not stop the run still fails it.
    if grep -qE '^==[0-9]+==ERROR|runtime error:|^SUMMARY: |invariant failed' "$log"; then
        [ "$status" -ne 0 ] || status=1
    fi
    if [ "$status" -eq 0 ]; then
        echo "$target: ${executions:-?} executions in ${seconds} s (${coverage:-no coverage line})"
    else
        echo "$target: FAILED (exit status $status) after ${executions:-?} executions; log: $log"
        # The start of the report, and where the input was saved.
        sed -n '/==ERROR\|runtime error:\|invariant failed\|ERROR: libFuzzer/,$p' "$log" | head -n 30 |
            sed 's/^/    /'
        grep -E 'Test unit written|^Base64:' "$log" | sed 's/^/    /' || true
        failed="$failed $target"
    fi
done

if [ -n "$failed" ]; then
    echo "fuzzing failed:$failed (inputs in $build/artifacts/)" >&2
    exit 1
fi
echo "fuzzing passed: every target ran ${seconds} s without a finding"
