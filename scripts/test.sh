#!/usr/bin/env bash
# Builds the optimised and the sanitizer configurations and runs the whole suite in each.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="$(nproc)"
for config in release asan; do
    echo "=== $config: build"
    bash scripts/build.sh "$config"
    echo "=== $config: test"
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    ctest --test-dir "build/$config" --output-on-failure -j "$jobs"
done
