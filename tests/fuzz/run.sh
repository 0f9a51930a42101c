#!/usr/bin/env bash
# Builds the wire codec with AddressSanitizer, UndefinedBehaviorSanitizer and
# libFuzzer (clang, in a build of its own), runs the codec and member table
# tests under the sanitizers, then fuzzes the codec for the given seconds.
# Any failed test, crash, sanitizer report, leak or broken property fails.
#
#     tests/fuzz/run.sh [seconds]        # default 60
#
# TAVIX_FUZZ_BUILD_DIR: where to build (default build-fuzz at the top).
# TAVIX_FUZZ_JOBS: parallel compile jobs (default 2).
set -euo pipefail

limit=-max_total_time=${1:-60}
if [[ ${1:-} == --runs ]]; then
    limit=-runs=${2:-}
fi
if ! [[ $limit =~ =[1-9][0-9]*$ ]]; then
    echo "usage: $0 [seconds | --runs N]" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
build=${TAVIX_FUZZ_BUILD_DIR:-$(cd "$here/../.." && pwd)/build-fuzz}
jobs=${TAVIX_FUZZ_JOBS:-2}

if ! command -v clang++ >/dev/null; then
    echo "$0: clang++ not found; scripts/setup.sh --tests installs it" >&2
    exit 1
fi

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$jobs"

# Leaks are reported at exit; the fuzzer checks each input for them as well.
export ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

reports='ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:|ERROR: libFuzzer'

for test in tst_wirecodec tst_membertable; do
    log=$build/$test.log
    status=0
    "$build/$test" >"$log" 2>&1 || status=$?
    if [[ $status -ne 0 ]] || grep -Eq "$reports" "$log"; then
        cat "$log"
        echo "$0: $test failed under the sanitizers (exit $status)" >&2
        exit 1
    fi
    grep -E '^Totals:' "$log" | sed "s/^/$test: /"
done

# New inputs go to the build's corpus; the checked-in seeds are only read.
mkdir -p "$build/corpus"
rm -rf "$build/artifacts"
mkdir -p "$build/artifacts"
inputs=("$build/corpus" "$here/corpus")
if [[ -d $here/regression ]]; then
    inputs+=("$here/regression")
fi

log=$build/fuzz_wire.log
status=0
# Inputs are at most 4 KiB, so a smaller quarantine still spans thousands of
# them while keeping a long run well under libFuzzer's 2 GiB RSS limit.
ASAN_OPTIONS=$ASAN_OPTIONS:quarantine_size_mb=64 \
"$build/fuzz_wire" "$limit" -timeout=25 -max_len=4096 -print_final_stats=1 \
    -dict="$here/wire.dict" -artifact_prefix="$build/artifacts/" \
    "${inputs[@]}" >"$log" 2>&1 || status=$?

found=$(find "$build/artifacts" -type f)
if [[ $status -ne 0 || -n $found ]] || grep -Eq "$reports" "$log"; then
    tail -n 60 "$log"
    for input in $found; do
        echo "input $input:"
        if [[ -s $input ]]; then
            od -An -tx1 -v "$input" | head -n 40
        else
            echo "    (empty)"
        fi
    done
    echo "$0: the fuzzer failed (exit $status); log in $log" >&2
    exit 1
fi
grep -E '^(INFO: seed|#[0-9]+[[:space:]]+(INITED|DONE))|^stat::' "$log"
echo "corpus: $(find "$build/corpus" -type f | wc -l) inputs in $build/corpus"
