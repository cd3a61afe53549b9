#!/usr/bin/env bash
# The CPU engine as one device on every hardware thread against the same
# threads presented as N devices (default: one per thread), each benchmarked
# for its 30 seconds: a rig's threads and its shared counting must cost
# nothing. The last line is the ratio of the two averages.
set -euo pipefail
cd "$(dirname "$0")/.."
miner="${MINER:-build/marlvane-cpu-miner}"
devices="${DEVICES:-$(nproc)}"

# The results box's average in hashes per second.
average() {
    tr '\r' '\n' | awk -F'Average: *' '/Average:/ {split($2, f, " ");
        m["H/s"] = 1; m["KH/s"] = 1e3; m["MH/s"] = 1e6; m["GH/s"] = 1e9; m["TH/s"] = 1e12;
        printf "%.0f", f[1] * m[f[2]]}'
}

one=$("$miner" --benchmark -d 0 | average)
rig=$(MARLVANE_CPU_DEVICES="$devices" "$miner" --benchmark -d all | average)
echo "one device on $(nproc) threads: $one H/s"
echo "$devices devices on the same threads: $rig H/s"
awk -v a="$rig" -v b="$one" 'BEGIN {printf "ratio: %.3f (%+.1f %%)\n", a / b, (a / b - 1) * 100}'
