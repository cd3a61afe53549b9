#!/usr/bin/env bash
# The CPU engine's benchmark against OpenSSL's Whirlpool, both on all cores.
# OpenSSL hashes an 80-byte header in two compressions, so its headers per
# second are half its 64-byte messages per second. The last line is the ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
miner="${MINER:-build/marlvane-cpu-miner}"
cores=$(nproc)

openssl_out=$(openssl speed -provider legacy -provider default -multi "$cores" -seconds 3 \
    -bytes 64 -evp whirlpool 2>/dev/null)
# The last line reads "whirlpool <kilobytes per second>k" for 64-byte blocks.
kbytes=$(echo "$openssl_out" | awk '$1 == "whirlpool" {v=$2} END {sub("k$", "", v); print v}')
openssl_headers=$(awk -v k="$kbytes" 'BEGIN {printf "%.0f", k * 1000 / 64 / 2}')

box=$("$miner" --benchmark | tr '\r' '\n')
echo "$box" | sed -n '/RESULTS/,/+====/p'
average=$(echo "$box" | awk -F'Average: *' '/Average:/ {split($2, f, " "); print f[1], f[2]}')
miner_rate=$(echo "$average" | awk '{m["H/s"]=1; m["KH/s"]=1e3; m["MH/s"]=1e6; m["GH/s"]=1e9; m["TH/s"]=1e12;
    printf "%.0f", $1 * m[$2]}')

echo "cores: $cores"
echo "OpenSSL whirlpool, 64-byte messages: ${kbytes} kB/s on $cores processes = $openssl_headers headers/s"
echo "marlvane-cpu-miner --benchmark average: $miner_rate headers/s"
awk -v a="$miner_rate" -v b="$openssl_headers" 'BEGIN {printf "ratio: %.2f x OpenSSL\n", a / b}'
