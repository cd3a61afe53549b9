#!/usr/bin/env bash
# Fresh machine to passing tests: dependencies, build, every test, then the
# same tests under AddressSanitizer and UndefinedBehaviorSanitizer, then each
# fuzz target for FUZZ_SECONDS (default 30). QUICK=1 runs the first part only.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j "$(nproc)"
if [ "${QUICK:-0}" = 1 ]; then
    exit 0
fi
echo "== sanitizers"
scripts/sanitize.sh
echo "== fuzzing, ${FUZZ_SECONDS:-30} s a target"
scripts/fuzz.sh "${FUZZ_SECONDS:-30}"
