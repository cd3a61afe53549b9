#!/usr/bin/env bash
# The CPU engine as one device on every hardware thread against the same
# threads presented as N devices (default: one per thread), each a 30-second
# benchmark, taken in turn ROUNDS times (default 3) so that a shared
# machine's drift falls on both alike: a rig's threads and its shared
# counting must cost nothing. The last line is the ratio of the means.
set -euo pipefail
cd "$(dirname "$0")/.."
miner="${MINER:-build/marlvane-cpu-miner}"
devices="${DEVICES:-$(nproc)}"
rounds="${ROUNDS:-3}"

# The results box's average in hashes per second.
average() {
    tr '\r' '\n' | awk -F'Average: *' '/Average:/ {split($2, f, " ");
        m["H/s"] = 1; m["KH/s"] = 1e3; m["MH/s"] = 1e6; m["GH/s"] = 1e9; m["TH/s"] = 1e12;
        printf "%.0f", f[1] * m[f[2]]}'
}

one_sum=0
rig_sum=0
for round in $(seq "$rounds"); do
    one=$("$miner" --benchmark -d 0 | average)
    rig=$(MARLVANE_CPU_DEVICES="$devices" "$miner" --benchmark -d all | average)
    echo "round $round: one device on $(nproc) threads $one H/s, $devices devices $rig H/s"
    one_sum=$((one_sum + one))
    rig_sum=$((rig_sum + rig))
done
awk -v a="$rig_sum" -v b="$one_sum" -v n="$rounds" 'BEGIN {
    printf "mean: one device %.0f H/s, rig %.0f H/s, ratio %.3f (%+.1f %%)\n",
        b / n, a / n, a / b, (a / b - 1) * 100}'
