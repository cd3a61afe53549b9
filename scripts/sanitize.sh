#!/usr/bin/env bash
# The host code and every test built with clang's AddressSanitizer and
# UndefinedBehaviorSanitizer; any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${SANITIZE_BUILD_DIR:-build-sanitize}"
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DMARLVANE_CUDA=OFF -DMARLVANE_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
ASAN_OPTIONS=abort_on_error=0:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
