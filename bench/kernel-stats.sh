#!/usr/bin/env bash
# Static figures of the search kernel in both table layouts (64 KB: T0 and
# R8; 32 KB: T0 alone) and of the previous kernel (kept in the GPU check),
# for every architecture of the default all-major build and the consumer
# ones between them (ARCHS="90 100" to choose): registers and spills from
# ptxas, and per nonce the PTX instructions, integer instructions and shared
# loads (one pass of the search loop is one nonce; the search's middle rounds
# are a loop, so they are counted in a build that unrolls them, whose ptxas
# figures are shown as well), and where cuobjdump exists the SASS counts.
# Then the modelled shared-memory wavefronts per nonce.
set -euo pipefail
cd "$(dirname "$0")/.."
archs="${ARCHS:-75 80 86 89 90 100 110 120}"
default_build=" 75 80 90 100 110 120 "
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# label, kernel name (as in the source), source file, extra options
# (a layout's kernel by its mangled template argument)
kernels=("new64 whirlpool_mine_kernelIL8WpLayout0E kernels/whirlpool_cuda.cu"
    "new32 whirlpool_mine_kernelIL8WpLayout1E kernels/whirlpool_cuda.cu"
    "unrolled64 whirlpool_mine_kernelIL8WpLayout0E kernels/whirlpool_cuda.cu -DWP_UNROLL_ALL_ROUNDS"
    "unrolled32 whirlpool_mine_kernelIL8WpLayout1E kernels/whirlpool_cuda.cu -DWP_UNROLL_ALL_ROUNDS"
    "previous previous_mine_kernel bench/gpu_check.cu")

# The .entry of a kernel in a PTX file.
entry_body() {
    awk -v k="$1" '$0 ~ "\\.entry .*" k {on=1} on {print} on && /^}/ {exit}' "$2"
}

# ptxas -v of one entry: "R registers, S bytes spill stores, L bytes spill loads, F bytes stack".
ptxas_figures() {
    awk -v k="$1" '
        /Compiling entry function/ {on = index($0, k) > 0}
        on && /bytes stack frame/ {
            match($0, /[0-9]+ bytes stack frame/); frame = substr($0, RSTART, RLENGTH)
            match($0, /[0-9]+ bytes spill stores/); st = substr($0, RSTART, RLENGTH)
            match($0, /[0-9]+ bytes spill loads/); ld = substr($0, RSTART, RLENGTH)
        }
        on && /Used [0-9]+ registers/ {
            match($0, /Used [0-9]+ registers/); regs = substr($0, RSTART + 5, RLENGTH - 5)
            printf "%s, %s, %s, %s", regs, st, ld, frame; exit
        }' "$2"
}

# PTX instructions of an entry: every statement line that is not a
# declaration; integer ones are the logic, shift, permute, add and multiply
# operations on .b32/.b64/.u32/.u64/.s32 (address arithmetic included).
ptx_counts() {
    awk '/^[ \t]+[a-z@]/ && !/^[ \t]+\.(reg|local|shared)/ && /;[ \t]*$/ {n++}
         /^[ \t]+(lop3|xor|and|or|not|shf|shl|shr|prmt|add|sub|mad|mul|bfe|bfi|min|max)\.[a-z0-9.]*(b32|b64|u32|u64|s32|s64)/ {i++}
         END {printf "%d PTX, %d integer", n, i}' "$1"
}

printf "%-7s %-10s %-76s %s\n" arch kernel "ptxas: registers, spills, stack (256 threads)" \
    "PTX ld.shared, instructions"
for arch in $archs; do
    note=""
    [[ "$default_build" == *" $arch "* ]] || note=" (not in the default build)"
    for k in "${kernels[@]}"; do
        read -r label name src extra <<<"$k"
        # One compile per source and option set: both layouts are in one file.
        unit="$(basename "$src" | tr . _)${extra//[^A-Z_]/}.$arch"
        if [ ! -e "$work/$unit.ptx" ]; then
            nvcc -std=c++17 -O3 -arch=compute_"$arch" -ptx -Ikernels -Isrc -Ibench $extra "$src" \
                -o "$work/$unit.ptx"
            ptxas -arch=sm_"$arch" -O3 -v "$work/$unit.ptx" -o "$work/$unit.cubin" \
                2>"$work/$unit.ptxas"
        fi
        entry_body "$name" "$work/$unit.ptx" >"$work/$label.$arch.entry"
        loads=$(grep -c 'ld.shared' "$work/$label.$arch.entry" || true)
        case $label in
            new*) what="$loads in the code" ;;
            *) what="$loads per nonce; $(ptx_counts "$work/$label.$arch.entry") per nonce" ;;
        esac
        printf "sm_%-4s %-10s %-76s %s%s\n" "$arch" "$label" \
            "$(ptxas_figures "$name" "$work/$unit.ptxas")" "$what" "$note"
    done
    # The out-of-line tie path of the search (about once in 2^64 nonces).
    tie=$(awk '/Function properties for .*wp_last_round_meets/ {getline; print; exit}' \
        "$work/whirlpool_cuda_cu.$arch.ptxas" | sed 's/^ *//')
    printf "sm_%-4s %-10s %s\n" "$arch" "tie path" "${tie:-inlined}"
done

if command -v cuobjdump >/dev/null 2>&1; then
    echo "== SASS (cuobjdump)"
    for arch in $archs; do
        for k in "${kernels[@]}"; do
            read -r label name src extra <<<"$k"
            unit="$(basename "$src" | tr . _)${extra//[^A-Z_]/}.$arch"
            cuobjdump -sass "$work/$unit.cubin" 2>/dev/null |
                awk -v k="$name" '/Function :/ {on = index($0, k) > 0} on' >"$work/$name.sass" || true
            printf "sm_%-4s %-9s SASS instructions %5d, LDS %4d, LDL/STL %3d\n" "$arch" "$label" \
                "$(grep -cE '^\s+/\*[0-9a-f]{4,}\*/' "$work/$name.sass" || true)" \
                "$(grep -cE '\bLDS(\.[A-Z0-9.]+)?\b' "$work/$name.sass" || true)" \
                "$(grep -cE '\b(LDL|STL)(\.[A-Z0-9.]+)?\b' "$work/$name.sass" || true)"
        done
    done
else
    echo "cuobjdump not available here: no SASS figures"
fi

echo "== modelled shared-memory wavefronts"
c++ -std=c++17 -O2 -Ikernels -Isrc bench/wavefront_model.cpp kernels/whirlpool_host.cpp \
    src/util.cpp -o "$work/wavefront_model"
"$work/wavefront_model" "${WARPS:-2000}"
