#!/bin/sh
# The long whole-command campaign of vornres, on both cores:
#   fuzz/tool_campaign.sh [MINUTES [SEED]]      default 60 minutes, seed 1
# Builds vornres in build/campaign (or uses VORNRES), keeps findings in
# VORNUTILS_CAMPAIGN_FINDINGS (default build/campaign-findings), one folder
# per kind of fault and command, each with the input, the command and why.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
minutes=${1:-60}
seed=${2:-1}
vornres=${VORNRES:-}
if [ -z "$vornres" ]; then
    cmake -S "$root" -B "$root/build/campaign" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNUTILS_BUILD_TESTS=OFF >/dev/null
    cmake --build "$root/build/campaign" -j "$(nproc)" --target vornres >/dev/null
    vornres=$root/build/campaign/src/tool/vornres
fi
exec /usr/bin/python3 "$root/fuzz/tool_campaign.py" --vornres "$vornres" --seed "$seed" --minutes "$minutes" \
    --jobs "$(nproc)" --findings "${VORNUTILS_CAMPAIGN_FINDINGS:-$root/build/campaign-findings}"
