#!/usr/bin/env bash
# The tests that run threads (the engine, the device workers, the tip
# watcher, the mining session, the benchmark) built with clang's
# ThreadSanitizer; any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${TSAN_BUILD_DIR:-build-tsan}"
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DMARLVANE_CUDA=OFF -DMARLVANE_TSAN=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
threaded='^(engine_tests_cpu|device_worker_tests|health_tests|rpc_blackbox|shell_blackbox'
threaded+='|mining_blackbox_(MiningTest|RigTest)|fault_a_stop_while|fault_a_rig_through)'
TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1 \
    ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" -R "$threaded"
