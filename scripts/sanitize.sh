#!/usr/bin/env bash
# The host code and its tests built with a clang sanitizer; any report fails
# the run.
#   scripts/sanitize.sh           AddressSanitizer and UndefinedBehaviorSanitizer, every test
#   scripts/sanitize.sh thread    ThreadSanitizer, the tests that run threads (the engine,
#                                 the device workers, the tip watcher, the mining session
#                                 with its stops, cookie and log, the pool client, the benchmark)
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-address}" in
    address)
        build_dir="${SANITIZE_BUILD_DIR:-build-sanitize}"
        option=-DMARLVANE_SANITIZE=ON
        export ASAN_OPTIONS=abort_on_error=0:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
        tests=()
        ;;
    thread)
        build_dir="${TSAN_BUILD_DIR:-build-tsan}"
        option=-DMARLVANE_TSAN=ON
        export TSAN_OPTIONS=halt_on_error=1:exitcode=66:second_deadlock_stack=1
        threaded='^(engine_tests_cpu|device_worker_tests|health_tests|console_tests|rpc_blackbox'
        threaded+='|shell_blackbox|mining_blackbox_(MiningTest|MiningWaitTest|RigTest)'
        threaded+='|daemon_blackbox_LogTest|pool_blackbox_PoolTest|fault_a_stop_while|fault_a_rig_through)'
        tests=(-R "$threaded")
        ;;
    *)
        echo "usage: $0 [address|thread]" >&2
        exit 2
        ;;
esac
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DMARLVANE_CUDA=OFF "$option" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" "${tests[@]}"
