#!/usr/bin/env bash
# GPU check, for a machine with an NVIDIA GPU and the CUDA toolkit: build for
# one architecture (sm_90 unless ARCH is set), run the check program (the
# kernel in both table layouts against the host, a run at speed, the kernels
# timed), the engine tests where GoogleTest exists, the static kernel figures
# (started in the background at once), ncu's shared-memory wavefronts where
# ncu exists, --list-gpus and --benchmark. Needs no package registry, no
# libcurl headers and no Python. Under 5 minutes on a 16-core H100 machine.
#
# Everything is written as it comes into $OUT (or build-gpu.out): the log of
# each step, the build logs and the figures, so that a run cut short still
# leaves what it did. Standard output is only the figures and, last, one
# verdict line: PASS or FAIL.
set -uo pipefail
cd "$(dirname "$0")/.."
arch="${ARCH:-90}"
device="${DEVICE:-0}"
build_dir="${BUILD_DIR:-build-gpu}"
out="${OUT:-$build_dir.out}"
min_ghs=5.0
failed=()
mkdir -p "$out"
start=$SECONDS

if ! command -v nvcc >/dev/null 2>&1 && [ -x /usr/local/cuda/bin/nvcc ]; then
    export PATH="/usr/local/cuda/bin:$PATH"
fi

# step NAME LIMIT COMMAND...: runs the command with its output in
# $out/NAME.log, under a time limit, and says how long it took.
step() {
    local name=$1 limit=$2 t0=$SECONDS status
    shift 2
    timeout "$limit" "$@" >"$out/$name.log" 2>&1
    status=$?
    [ $status -eq 124 ] && echo "(stopped after $limit s)" >>"$out/$name.log"
    echo "step $name: $((SECONDS - t0)) s, status $status" | tee -a "$out/steps.txt"
    return $status
}
# The progress redraws of a log, dropped.
lines() { tr '\r' '\n' <"$1" | grep -v '^ *\[[0-9.]* [KMGT]\?H/s\]' | grep -v '^ *$'; }

have_header() {
    [ -e "/usr/include/$1" ] || [ -e "/usr/include/x86_64-linux-gnu/$1" ] ||
        [ -e "/usr/local/include/$1" ]
}

{
    nvidia-smi -L 2>&1 | head -8
    nvidia-smi --query-gpu=name,clocks.max.sm,clocks.max.mem,power.limit,temperature.gpu \
        --format=csv 2>&1 | head -4
    nvcc --version 2>&1 | tail -1
    nproc
} >"$out/machine.txt" 2>&1
head -3 "$out/machine.txt"

# The static figures need only the compiler: they run beside the build.
ARCHS="$arch" WARPS=500 timeout 240 bench/kernel-stats.sh >"$out/kernel-stats.txt" 2>&1 &
stats=$!

options=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_CUDA_ARCHITECTURES="$arch")
for header in curl/curl.h microhttpd.h zmq.h nlohmann/json.hpp gtest/gtest.h openssl/evp.h; do
    have_header "$header" || echo "header $header: missing" >>"$out/machine.txt"
done
if ! have_header curl/curl.h || ! have_header microhttpd.h || ! have_header zmq.h ||
    ! have_header nlohmann/json.hpp; then
    options+=(-DMARLVANE_RPC=OFF)
fi
command -v python3 >/dev/null 2>&1 || options+=(-DMARLVANE_TESTS=OFF)
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
if ! step configure 120 cmake -S . -B "$build_dir" "${generator[@]}" "${options[@]}"; then
    tail -20 "$out/configure.log"
    echo "gpu-check: FAIL (configure failed; new kernel ≥ $min_ghs GH/s not measured)"
    exit 1
fi
step build 240 cmake --build "$build_dir" -j "$(nproc)"
grep -E "warning|error|spill" "$out/build.log" | head -20
for binary in marlvane-gpu-miner marlvane-gpu-check; do
    if [ ! -x "$build_dir/$binary" ]; then
        echo "gpu-check: FAIL ($binary was not built, see build.log; new kernel ≥ $min_ghs GH/s not measured)"
        exit 1
    fi
done

step check 150 "$build_dir/marlvane-gpu-check" -d "$device" || failed+=("check program")
grep -E "^  FAIL|GH/s|kernel:|layout chosen|nvidia-smi|marlvane-gpu-check|failed:" "$out/check.log"

if [ -x "$build_dir/tests/engine_tests_cuda" ]; then
    step engine-tests 60 "$build_dir/tests/engine_tests_cuda" || failed+=("engine tests")
    ran=$(grep -oE '\[  PASSED  \] [0-9]+' "$out/engine-tests.log" | grep -oE '[0-9]+$')
    skipped=$(grep -oE '\[  SKIPPED \] [0-9]+' "$out/engine-tests.log" | grep -oE '[0-9]+$')
    echo "engine tests: ${ran:-0} passed, ${skipped:-0} skipped"
    # On a GPU machine, tests that all skip did not see the GPU.
    if [ "${ran:-0}" -eq 0 ]; then failed+=("engine tests all skipped"); fi
else
    echo "engine tests not built (GoogleTest or Python missing); the check program covers the kernel"
fi

if command -v ncu >/dev/null 2>&1; then
    metrics=l1tex__data_pipe_lsu_wavefronts_mem_shared_op_ld.sum,smsp__inst_executed_op_shared_ld.sum,l1tex__data_bank_conflicts_pipe_lsu_mem_shared_op_ld.sum
    step ncu 90 ncu --clock-control none --csv -k regex:mine_kernel --metrics "$metrics" \
        "$build_dir/marlvane-gpu-check" -d "$device" --profile
    nonces=$(awk '/^profile:/ {print $2}' "$out/ncu.log")
    if [ -n "$nonces" ] && grep -q '"Metric Value"' "$out/ncu.log"; then
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
                printf "%-44s %-62s %14s  %8.3f per nonce\n", kernel, $c["Metric Name"], value,
                    value / n
            }' "$out/ncu.log" | tee "$out/ncu.txt"
    else
        echo "ncu gave no figures (see ncu.log)"
    fi
else
    echo "ncu not installed"
fi

step list-gpus 30 "$build_dir/marlvane-gpu-miner" --list-gpus || failed+=("--list-gpus")
lines "$out/list-gpus.log"
step benchmark 60 "$build_dir/marlvane-gpu-miner" --benchmark -d "$device" || failed+=("--benchmark")
lines "$out/benchmark.log" | sed -n '/Shared mem:/p; /RESULTS/,/+====/p'
# The results box's average in GH/s.
average_ghs() {
    tr '\r' '\n' <"$1" | awk -F'Average: *' '/Average:/ {split($2, f, " ");
        m["H/s"] = 1e-9; m["KH/s"] = 1e-6; m["MH/s"] = 1e-3; m["GH/s"] = 1; m["TH/s"] = 1e3;
        printf "%.2f", f[1] * m[f[2]]}'
}
ghs=$(average_ghs "$out/benchmark.log")
ghs=${ghs:-0}
# Every device at once; with one GPU that is the run above.
if [ "$(nvidia-smi -L 2>/dev/null | grep -c '^GPU ')" -gt 1 ]; then
    step benchmark-all 60 "$build_dir/marlvane-gpu-miner" --benchmark -d all || failed+=("--benchmark -d all")
    echo "benchmark -d all: $(average_ghs "$out/benchmark-all.log") GH/s"
fi

wait "$stats" || failed+=("kernel figures")
grep -E "^sm_|wavefronts" "$out/kernel-stats.txt"

speed="new kernel ≥ $min_ghs GH/s: $ghs GH/s in --benchmark"
if awk -v a="$ghs" -v b="$min_ghs" 'BEGIN {exit !(a >= b)}'; then
    speed="$speed, yes"
else
    speed="$speed, no"
    failed+=("speed")
fi
echo "total: $((SECONDS - start)) s" | tee -a "$out/steps.txt"
if [ ${#failed[@]} -eq 0 ]; then
    echo "gpu-check: PASS (checks, tests and figures; $speed)" | tee "$out/verdict.txt"
else
    echo "gpu-check: FAIL (${failed[*]}; $speed)" | tee "$out/verdict.txt"
    exit 1
fi
