#!/usr/bin/env bash
# Fresh machine to the main job: dependencies, build, then the 30-second
# benchmark on the GPU when there is one, else on the CPU. Extra arguments
# go to the miner (for example -d 1 or -B 2048).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh >/dev/null
miner=build/marlvane-cpu-miner
if [ -x build/marlvane-gpu-miner ] && build/marlvane-gpu-miner --list-gpus >/dev/null 2>&1; then
    miner=build/marlvane-gpu-miner
fi
exec "$miner" --benchmark "$@"
