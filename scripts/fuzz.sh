#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan on) and runs each
# for SECONDS (default 30) from the seed corpora in tests/fuzz/corpus.
# Prints executions and findings per target; exits non-zero on any finding.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
build_dir="${FUZZ_BUILD_DIR:-build-fuzz}"
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DMARLVANE_CUDA=OFF -DMARLVANE_TESTS=OFF \
    -DMARLVANE_FUZZ=ON -DMARLVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build "$build_dir" -j "$(nproc)" >/dev/null || { cmake --build "$build_dir"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for seeds in tests/fuzz/corpus/*/; do
    target=$(basename "$seeds")
    mkdir -p "$work/$target" "$work/$target.findings"
    cp "$seeds"* "$work/$target/"
    log="$work/$target.log"
    "$build_dir/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$work/$target.findings/" "$work/$target" >"$log" 2>&1
    status=$?
    runs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$')
    findings=$(find "$work/$target.findings" -type f | wc -l)
    printf '%-24s executions %-10s findings %s\n' "$target" "${runs:-?}" "$findings"
    if [ $status -ne 0 ] || [ "$findings" -ne 0 ]; then
        failed=1
        grep -E 'ERROR|property failed|SUMMARY' "$log" | head -5
        mkdir -p fuzz-findings && cp "$work/$target.findings/"* fuzz-findings/ 2>/dev/null
    fi
done
exit $failed
