#!/bin/sh
# The short fuzzing run for CI: builds the fuzz targets (clang, ASan,
# UBSan), seeds them from the test fixtures, the samples and small files of
# Wine, and runs each target for a bounded time (VORNUTILS_FUZZ_SECONDS,
# default 15: about a minute and a half in all). Fails on any crash, leak or
# sanitizer report, leaving the input in build/fuzz/artifacts/<target>/.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORNUTILS_FUZZ_BUILD_DIR:-$root/build/fuzz}
seconds=${VORNUTILS_FUZZ_SECONDS:-15}
jobs=$(nproc)
. "$root/fuzz/common.sh"

build_fuzzers
make_seeds
export TMPDIR="${TMPDIR:-/tmp}"
failed=""
for target in $targets; do
    seeds="$build/seeds/$(echo "$target" | tr _ -)"
    corpus="$build/corpus/$target"
    artifacts="$build/artifacts/$target"
    mkdir -p "$corpus" "$artifacts" "$seeds"
    regressions=$(regression_dir "$target")
    [ -d "$regressions" ] || regressions=""
    # shellcheck disable=SC2086
    if "$build/fuzz/fuzz_$target" $fuzz_options -max_total_time="$seconds" -artifact_prefix="$artifacts/" \
        "$corpus" "$seeds" $regressions >"$build/$target.log" 2>&1; then
        echo "fuzz $target: $(grep -o 'stat::number_of_executed_units: [0-9]*' "$build/$target.log" | grep -o '[0-9]*$') runs, ok"
    else
        echo "fuzz $target: FAILED, see $build/$target.log and $artifacts"
        tail -n 30 "$build/$target.log"
        failed="$failed $target"
    fi
done
[ -z "$failed" ] || { echo "fuzz failures:$failed"; exit 1; }
