#!/usr/bin/env bash
# Fresh machine to passing tests: dependencies, build, every test, then the
# same tests under AddressSanitizer and UndefinedBehaviorSanitizer, the
# threaded tests under ThreadSanitizer, then each fuzz target for
# FUZZ_SECONDS (default 30). QUICK=1 runs the first part only. Every stage
# runs even when an earlier one fails; the last line names those that failed.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh || exit 1

failed=()
stage() {
    local name=$1
    shift
    echo "== $name"
    "$@" || failed+=("$name")
}
tests() {
    scripts/build.sh && ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"
}

stage tests tests
if [ "${QUICK:-0}" != 1 ]; then
    stage sanitizers scripts/sanitize.sh
    stage threads scripts/sanitize.sh thread
    stage fuzzing scripts/fuzz.sh "${FUZZ_SECONDS:-30}"
fi
if [ ${#failed[@]} -ne 0 ]; then
    echo "FAILED stages: ${failed[*]}"
    exit 1
fi
echo "All stages passed."
