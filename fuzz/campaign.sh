#!/bin/sh
# A long fuzzing campaign in one process at a time (one core): every target
# in turn, in rounds, until each has had its share of executions. A crash
# is kept under artifacts/<target>/ and the target goes on with the runs it
# has left. Logs, corpora and artifacts go to VORNUTILS_FUZZ_CAMPAIGN_DIR
# (default build/fuzz-campaign); totals.sh there sums them up.
#   fuzz/campaign.sh [TOTAL_EXECUTIONS]    default 100000000
# With VORNUTILS_FUZZ_SECONDS set, the campaign is bounded by time instead:
# each target runs its share of those seconds, whatever it executes then.
# Logs of earlier campaigns in the folder are kept: name each one apart with
# VORNUTILS_FUZZ_TAG, and totals.sh sums them all.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=${VORNUTILS_FUZZ_CAMPAIGN_DIR:-$root/build/fuzz-campaign}
build=$out/build
total=${1:-100000000}
rounds=${VORNUTILS_FUZZ_ROUNDS:-5}
seconds=${VORNUTILS_FUZZ_SECONDS:-}
tag=${VORNUTILS_FUZZ_TAG:-}
jobs=1
. "$root/fuzz/common.sh"

mkdir -p "$out"
build_fuzzers
make_seeds
export TMPDIR="$out/tmp"
mkdir -p "$TMPDIR"

# Inputs of the parsers that need no whole image stay small, so that they run fast.
max_len() {
    case $1 in
        resource_table | version_parser | ico_reader) echo 16384 ;; *) echo 65536 ;;
    esac
}

# Shares of the total, in percent: the in-memory parsers run fastest.
share() {
    case $1 in
        resource_table) echo 30 ;; version_parser) echo 30 ;; ico_reader) echo 25 ;;
        *) echo 5 ;;
    esac
}

round=1
while [ "$round" -le "$rounds" ]; do
    for target in $targets; do
        runs=$((total / 100 * $(share "$target") / rounds))
        bound="-runs=$runs"
        if [ -n "$seconds" ]; then
            bound="-max_total_time=$((seconds * $(share "$target") / 100 / rounds + 1))"
        fi
        seeds="$build/seeds/$(echo "$target" | tr _ -)"
        corpus="$out/corpus/$target"
        artifacts="$out/artifacts/$target"
        mkdir -p "$corpus" "$artifacts" "$seeds"
        regressions=$(regression_dir "$target")
        [ -d "$regressions" ] || regressions=""
        tries=0
        while [ "$runs" -gt 0 ] && [ "$tries" -lt 20 ]; do
            log="$out/$target.round$tag$round.$tries.log"
            # shellcheck disable=SC2086
            "$build/fuzz/fuzz_$target" $fuzz_options -max_len="$(max_len "$target")" $bound -artifact_prefix="$artifacts/" \
                "$corpus" "$seeds" $regressions >"$log" 2>&1 && status=0 || status=$?
            done_runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
            echo "$(date -u +%FT%TZ) $target round $round: $done_runs runs, exit $status" >>"$out/campaign.log"
            [ "$status" -eq 0 ] || [ -n "$seconds" ] && break
            # A crash ends the process before its final stats: count what the
            # last status line reached.
            [ -n "$done_runs" ] && [ "$done_runs" -gt 0 ] ||
                done_runs=$(grep -o '^#[0-9]*' "$log" | tail -n 1 | tr -d '#' || echo 0)
            runs=$((runs - ${done_runs:-0}))
            tries=$((tries + 1))
        done
    done
    round=$((round + 1))
done
echo "$(date -u +%FT%TZ) campaign finished" >>"$out/campaign.log"
