#!/usr/bin/env bash
# Static figures of the search kernel and of the previous one (kept in the
# GPU check), for every architecture of the default all-major build and the
# two consumer ones between them (ARCHS="90 100" to choose): registers and
# spills from ptxas, shared loads per nonce in the PTX (one pass of the
# search loop is one nonce; the new kernel's middle rounds are a loop, so
# they are counted in a build that unrolls them, whose ptxas figures are
# shown as well), and where cuobjdump exists the SASS counts. Then the
# modelled shared-memory wavefronts per nonce of both layouts.
set -euo pipefail
cd "$(dirname "$0")/.."
archs="${ARCHS:-75 80 86 89 90 100 110 120}"
default_build=" 75 80 90 100 110 120 "
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# label, kernel name (as in the source), source file, extra options
kernels=("new whirlpool_mine_kernel kernels/whirlpool_cuda.cu"
    "unrolled whirlpool_mine_kernel kernels/whirlpool_cuda.cu -DWP_UNROLL_ALL_ROUNDS"
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

printf "%-7s %-9s %-80s %s\n" arch kernel "ptxas: registers, spills, stack (256 threads)" "PTX ld.shared"
for arch in $archs; do
    note=""
    [[ "$default_build" == *" $arch "* ]] || note=" (not in the default build)"
    for k in "${kernels[@]}"; do
        read -r label name src extra <<<"$k"
        nvcc -std=c++17 -O3 -arch=compute_"$arch" -ptx -Ikernels -Isrc -Ibench $extra "$src" \
            -o "$work/$label.$arch.ptx"
        ptxas -arch=sm_"$arch" -O3 -v "$work/$label.$arch.ptx" -o "$work/$label.$arch.cubin" \
            2>"$work/$label.$arch.ptxas"
        entry_body "$name" "$work/$label.$arch.ptx" >"$work/$label.$arch.entry"
        loads=$(grep -c 'ld.shared' "$work/$label.$arch.entry" || true)
        case $label in
            new) what="$loads in the code" ;;
            *) what="$loads per nonce" ;;
        esac
        printf "sm_%-4s %-9s %-80s %s%s\n" "$arch" "$label" \
            "$(ptxas_figures "$name" "$work/$label.$arch.ptxas")" "$what" "$note"
    done
    # The out-of-line tie path of the new kernel (about once in 2^64 nonces).
    tie=$(awk '/Function properties for .*wp_last_round_meets/ {getline; print; exit}' \
        "$work/new.$arch.ptxas" | sed 's/^ *//')
    printf "sm_%-4s %-9s %s\n" "$arch" "tie path" "${tie:-inlined}"
done

if command -v cuobjdump >/dev/null 2>&1; then
    echo "== SASS (cuobjdump)"
    for arch in $archs; do
        for k in "${kernels[@]}"; do
            read -r label name src extra <<<"$k"
            cuobjdump -sass "$work/$label.$arch.cubin" 2>/dev/null |
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
