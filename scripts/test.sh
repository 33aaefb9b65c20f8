#!/usr/bin/env bash
# Builds the optimised and the sanitizer configurations and runs the whole suite in each, then the
# concurrency tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
for config in release asan; do
    echo "=== $config: build"
    bash scripts/build.sh "$config"
    echo "=== $config: test"
    ctest --test-dir "build/$config" --output-on-failure -j "$jobs"
done

# Tests that run several threads over shared state: workers, output files, metrics, logger.
echo "=== tsan: build"
bash scripts/build.sh tsan
echo "=== tsan: concurrency tests"
ctest --test-dir build/tsan --output-on-failure -j "$jobs" \
    -R 'Concurrent|Workers\.|LinesFromManyThreads|GeneModel\.'
