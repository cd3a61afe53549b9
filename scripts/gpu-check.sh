#!/usr/bin/env bash
# GPU check, for a machine with an NVIDIA GPU and the CUDA toolkit: build for
# one architecture (sm_90 unless ARCH is set), run the check program (the
# kernel against the host, a run at speed, both kernels timed), the engine
# tests where GoogleTest exists, the kernel figures, ncu's shared-memory
# wavefronts where ncu exists, --list-gpus and --benchmark. Needs no package
# registry, no libcurl headers and no Python. About four minutes on an H100.
# The last line is one verdict: PASS or FAIL.
set -uo pipefail
cd "$(dirname "$0")/.."
arch="${ARCH:-90}"
device="${DEVICE:-0}"
build_dir="${BUILD_DIR:-build-gpu}"
min_ghs=5.0
failed=()

have_header() {
    [ -e "/usr/include/$1" ] || [ -e "/usr/include/x86_64-linux-gnu/$1" ] ||
        [ -e "/usr/local/include/$1" ]
}

echo "== machine"
nvidia-smi -L 2>&1 | head -8
nvidia-smi --query-gpu=name,clocks.max.sm,clocks.max.mem,power.limit,temperature.gpu \
    --format=csv 2>&1 | head -4
nvcc --version | tail -1
options=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_CUDA_ARCHITECTURES="$arch")
for header in curl/curl.h gtest/gtest.h openssl/evp.h; do
    if have_header "$header"; then echo "header $header: present"; else echo "header $header: missing"; fi
done
have_header curl/curl.h || options+=(-DMARLVANE_RPC=OFF)
if ! command -v python3 >/dev/null 2>&1; then
    echo "python3: missing (the test tree needs it: tests are not built)"
    options+=(-DMARLVANE_TESTS=OFF)
fi

echo "== build for sm_$arch"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
if ! cmake -S . -B "$build_dir" "${generator[@]}" "${options[@]}" >"$build_dir.configure.log" 2>&1; then
    cat "$build_dir.configure.log"
    echo "gpu-check: FAIL (configure failed; new kernel ≥ $min_ghs GH/s not measured)"
    exit 1
fi
grep -E "warning|not found|without" "$build_dir.configure.log"
cmake --build "$build_dir" -j "$(nproc)" 2>&1 | grep -E "warning|error|spill" || true
for binary in marlvane-gpu-miner marlvane-gpu-check; do
    if [ ! -x "$build_dir/$binary" ]; then
        echo "gpu-check: FAIL ($binary was not built; new kernel ≥ $min_ghs GH/s not measured)"
        exit 1
    fi
done

echo "== check program"
timeout 300 "$build_dir/marlvane-gpu-check" -d "$device" || failed+=("check program")

echo "== engine tests, CUDA backend"
if [ -x "$build_dir/tests/engine_tests_cuda" ]; then
    timeout 120 "$build_dir/tests/engine_tests_cuda" || failed+=("engine tests")
else
    echo "engine tests not built (GoogleTest or Python missing); the check program covers the kernel"
fi

echo "== kernel figures, sm_$arch"
ARCHS="$arch" WARPS=500 bench/kernel-stats.sh || failed+=("kernel figures")

echo "== ncu: shared-memory wavefronts per nonce"
if command -v ncu >/dev/null 2>&1; then
    metrics=l1tex__data_pipe_lsu_wavefronts_mem_shared_op_ld.sum,smsp__inst_executed_op_shared_ld.sum,l1tex__data_bank_conflicts_pipe_lsu_mem_shared_op_ld.sum
    timeout 240 ncu --csv -k regex:mine_kernel --metrics "$metrics" \
        "$build_dir/marlvane-gpu-check" -d "$device" --profile >"$build_dir.ncu.csv" 2>&1
    nonces=$(awk '/^profile:/ {print $2}' "$build_dir.ncu.csv")
    if [ -n "$nonces" ] && grep -q '"Metric Value"' "$build_dir.ncu.csv"; then
        awk -F'","' -v n="$nonces" '
            /"Metric Name"/ {
                for (i = 1; i <= NF; ++i) {
                    h = $i
                    gsub(/"/, "", h)
                    c[h] = i
                }
                next
            }
            /^"/ && c["Metric Name"] {
                kernel = $c["Kernel Name"]; sub(/\(.*/, "", kernel)
                value = $c["Metric Value"]; gsub(/[",]/, "", value)
                printf "%-24s %-62s %14s  %8.3f per nonce\n", kernel, $c["Metric Name"], value,
                    value / n
            }' "$build_dir.ncu.csv"
    else
        echo "ncu gave no figures:"
        grep -vE '^"' "$build_dir.ncu.csv" | tail -5
    fi
else
    echo "ncu not installed"
fi

echo "== --list-gpus"
"$build_dir/marlvane-gpu-miner" --list-gpus || failed+=("--list-gpus")
echo "== --benchmark"
"$build_dir/marlvane-gpu-miner" --benchmark -d "$device" | tee "$build_dir.benchmark.log"
[ "${PIPESTATUS[0]}" -eq 0 ] || failed+=("--benchmark")
# The results box's average in GH/s.
average_ghs() {
    tr '\r' '\n' <"$1" | awk -F'Average: *' '/Average:/ {split($2, f, " ");
        m["H/s"] = 1e-9; m["KH/s"] = 1e-6; m["MH/s"] = 1e-3; m["GH/s"] = 1; m["TH/s"] = 1e3;
        printf "%.2f", f[1] * m[f[2]]}'
}
ghs=$(average_ghs "$build_dir.benchmark.log")
ghs=${ghs:-0}
echo "== --benchmark -d all (every device at once; with one GPU it must match the above)"
"$build_dir/marlvane-gpu-miner" --benchmark -d all | tee "$build_dir.benchmark-all.log"
[ "${PIPESTATUS[0]}" -eq 0 ] || failed+=("--benchmark -d all")
all_ghs=$(average_ghs "$build_dir.benchmark-all.log")
echo "benchmark: -d $device $ghs GH/s, -d all ${all_ghs:-0} GH/s"
speed="new kernel ≥ $min_ghs GH/s: $ghs GH/s in --benchmark"
if awk -v a="$ghs" -v b="$min_ghs" 'BEGIN {exit !(a >= b)}'; then
    speed="$speed, yes"
else
    speed="$speed, no"
    failed+=("speed")
fi

if [ ${#failed[@]} -eq 0 ]; then
    echo "gpu-check: PASS (checks, tests and figures; $speed)"
else
    echo "gpu-check: FAIL (${failed[*]}; $speed)"
    exit 1
fi
