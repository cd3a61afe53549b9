#!/usr/bin/env bash
# Static figures of the search kernel for one architecture (sm_90 unless
# ARCH is set): registers, spills and memory from ptxas, shared loads in the
# PTX, and, where cuobjdump exists, the SASS instruction and shared-load counts.
set -euo pipefail
cd "$(dirname "$0")/.."
arch="${ARCH:-90}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

nvcc -std=c++17 -O3 -arch=sm_"$arch" -cubin -Xptxas=-v -Ikernels -Isrc \
    kernels/whirlpool_cuda.cu -o "$work/kernel.cubin" 2>"$work/ptxas.txt"
nvcc -std=c++17 -O3 -arch=sm_"$arch" -ptx -Ikernels -Isrc kernels/whirlpool_cuda.cu -o "$work/kernel.ptx"

echo "== ptxas, sm_$arch"
grep -A2 "whirlpool_mine_kernel" "$work/ptxas.txt" | grep -E "registers|spill|Compiling" | sed 's/^ptxas info *: //'

# The body of the mining kernel's .entry in the PTX: one nonce is one pass
# through the loop, so the shared loads per nonce are those inside it.
awk '/\.entry .*whirlpool_mine_kernel/{on=1} on{print} on&&/^}/{exit}' "$work/kernel.ptx" >"$work/mine.ptx"
echo "PTX ld.shared in whirlpool_mine_kernel: $(grep -c 'ld.shared' "$work/mine.ptx")"
echo "PTX instructions in whirlpool_mine_kernel: $(grep -cE '^\s+[a-z]+[a-z0-9._]* ' "$work/mine.ptx")"

echo "== spills and registers on the other architectures of the default build"
for other in 75 80 90 100 120; do
    line=$(nvcc -std=c++17 -O3 -arch=sm_"$other" -cubin -Xptxas=-v -Ikernels -Isrc \
        kernels/whirlpool_cuda.cu -o "$work/other.cubin" 2>&1 | grep -A2 whirlpool_mine_kernel |
        grep -oE '[0-9]+ bytes spill stores|Used [0-9]+ registers' | tr '\n' ' ')
    echo "sm_$other: $line"
done

if command -v cuobjdump >/dev/null 2>&1; then
    cuobjdump -sass -fun whirlpool_mine_kernel "$work/kernel.cubin" >"$work/mine.sass" 2>/dev/null ||
        cuobjdump -sass "$work/kernel.cubin" >"$work/mine.sass"
    echo "SASS instructions: $(grep -cE '^\s+/\*[0-9a-f]{4,}\*/' "$work/mine.sass")"
    echo "SASS LDS (shared loads): $(grep -cE '\bLDS(\.[A-Z0-9.]+)?\b' "$work/mine.sass")"
    echo "SASS LDL/STL (local memory): $(grep -cE '\b(LDL|STL)\b' "$work/mine.sass")"
else
    echo "cuobjdump not available here: no SASS figures"
fi
