#!/bin/sh
# Sums a campaign's logs per target: executions, the last coverage figures
# (cov and ft), crash, leak and sanitizer reports, the inputs kept for them
# (crash-, leak-, oom-, timeout-) and the slow units libFuzzer notes apart.
#   fuzz/totals.sh [CAMPAIGN_DIR]      default build/fuzz-campaign
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/build/fuzz-campaign}
all=0
for target in resource_table version_parser ico_reader module_group version_roundtrip icon_replace; do
    set -- "$out"/$target.round*.log
    [ -e "$1" ] || continue
    runs=0
    for log in "$@"; do
        n=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$')
        [ -n "$n" ] || n=$(grep -o '^#[0-9]*' "$log" | tail -n 1 | tr -d '#')
        runs=$((runs + ${n:-0}))
    done
    last=$(ls -t "$@" | head -n 1)
    cov=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$last" | tail -n 1)
    crashes=$(cat "$@" | grep -c -E '^==[0-9]+==(ERROR|WARNING)|runtime error:|vornutils fuzz:|LeakSanitizer' || true)
    kept=$(ls "$out/artifacts/$target" 2>/dev/null | grep -c -v '^slow-unit-' || true)
    slow=$(ls "$out/artifacts/$target" 2>/dev/null | grep -c '^slow-unit-' || true)
    echo "$target: $runs executions, $cov, $crashes reports, $kept inputs kept, $slow slow units"
    all=$((all + runs))
done
echo "total: $all executions"
