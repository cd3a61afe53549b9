#!/usr/bin/env bash
# GPU check, for a machine with an NVIDIA GPU: build for one architecture
# (sm_90 unless ARCH is set), run the engine tests against the CUDA backend,
# then list the devices and run the benchmark. Needs no package registry.
set -uo pipefail
cd "$(dirname "$0")/.."
arch="${ARCH:-90}"
build_dir="${BUILD_DIR:-build-gpu}"
status=0

echo "== machine"
nvidia-smi -L 2>&1 | head -4
nvcc --version | tail -1
for header in curl/curl.h gtest/gtest.h openssl/evp.h; do
    if [ -e "/usr/include/$header" ] || [ -e "/usr/include/x86_64-linux-gnu/$header" ]; then
        echo "header $header: present"
    else
        echo "header $header: missing"
    fi
done

echo "== build for sm_$arch"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
if ! cmake -S . -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_CUDA_ARCHITECTURES="$arch" >"$build_dir.configure.log" 2>&1; then
    cat "$build_dir.configure.log"
    exit 1
fi
grep -E "warning|not found" "$build_dir.configure.log"
cmake --build "$build_dir" -j "$(nproc)" 2>&1 | grep -E "warning|error|spill" || true
[ -x "$build_dir/marlvane-gpu-miner" ] || { echo "no GPU binary was built"; exit 1; }

echo "== engine tests, CUDA backend"
if [ -x "$build_dir/tests/engine_tests_cuda" ]; then
    "$build_dir/tests/engine_tests_cuda" || status=1
else
    echo "engine tests not built (GoogleTest missing)"
    status=1
fi

echo "== kernel figures"
ARCH="$arch" bench/kernel-stats.sh || status=1

echo "== --list-gpus"
"$build_dir/marlvane-gpu-miner" --list-gpus || status=1
echo "== --benchmark"
"$build_dir/marlvane-gpu-miner" --benchmark || status=1
exit $status
