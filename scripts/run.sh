#!/usr/bin/env bash
# Fresh machine to the demo: dependencies, build, then about 30 seconds of
# mining against the test node on loopback (the GPU build when a GPU is
# present, else the CPU build), stopped with SIGINT like a user would.
# DEMO_SECONDS changes the length; extra arguments go to the miner.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "[1/4] Checking build dependencies (installs what is missing)..."
scripts/install-deps.sh
echo "[2/4] Building (about 1.5 minutes on a fresh machine, seconds after that)..."
log=$(mktemp)
# One line that counts the build's steps as they finish; the whole log on failure.
if ! scripts/build.sh 2>&1 | tee "$log" |
        awk '/^\[[0-9]+\/[0-9]+\]/ { split(substr($1, 2), n, "/"); printf "\r      step %d of %d", n[1], n[2]; fflush() }
             END { print "" }'; then
    cat "$log"
    exit 1
fi
rm -f "$log"

# Targets that give a block every few seconds on either engine.
miner=build/marlvane-cpu-miner
bits=1e00ffff
if [ -x build/marlvane-gpu-miner ] && build/marlvane-gpu-miner --list-gpus >/dev/null 2>&1; then
    miner=build/marlvane-gpu-miner
    bits=1c00ffff
fi
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
payout=tmrv1qqqqsyqcyq5rqwzqfpg9scrgwpugpzysnlgpcsx

echo "[3/4] Starting the test node on 127.0.0.1:$port..."
python3 tests/testnode.py --port "$port" --payout "$payout" --bits "$bits" &
node=$!
trap 'kill "$node" 2>/dev/null || true' EXIT
# The miner's first request must find the node listening.
for _ in $(seq 100); do
    if python3 -c 'import socket, sys; socket.create_connection(("127.0.0.1", int(sys.argv[1])), 0.2)' \
            "$port" 2>/dev/null; then
        break
    fi
    kill -0 "$node" 2>/dev/null || { echo "The test node did not start."; exit 1; }
    sleep 0.1
done

echo "[4/4] Mining with $miner for ${DEMO_SECONDS:-30} s, then stopping it with Ctrl-C (SIGINT)..."
"$miner" -o "http://127.0.0.1:$port" -u rpcuser -p hollowgates -a "$payout" "$@" &
pid=$!
sleep "${DEMO_SECONDS:-30}"
kill -INT "$pid"
wait "$pid"
kill -TERM "$node"
wait "$node" || true
trap - EXIT
