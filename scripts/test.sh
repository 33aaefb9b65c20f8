#!/usr/bin/env bash
# Builds the optimised and the sanitizer configurations and runs the whole suite in each, then the
# concurrency tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs="$(nproc)"
# CI (.ci/run) makes the project's own warnings errors.
werror=()
if [ -n "${AMBREL_CI:-}" ]; then
    werror=(-DAMBREL_WERROR=ON)
fi
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
for config in release asan; do
    echo "=== $config: build"
    bash scripts/build.sh "$config" "${werror[@]}"
    echo "=== $config: test"
    ctest --test-dir "build/$config" --output-on-failure -j "$jobs"
done

# Tests that run several threads over shared state: the valid-reads files, the GTF block
# reader, and the golden whole runs, whose binary is the instrumented one: a race it reports ends
# the run with an error and fails the test.
echo "=== tsan: build"
bash scripts/build.sh tsan "${werror[@]}"
echo "=== tsan: concurrency tests"
ctest --test-dir build/tsan --output-on-failure -j "$jobs" \
    -R 'Concurrent|GeneModel\.|GoldenRun\.|CoordinateSorted'

# The parsers of untrusted input under libFuzzer, ASan and UBSan, from the checked-in seeds; new
# inputs go to a scratch corpus, so the checked-in one stays as it is.
echo "=== fuzz: build"
bash scripts/build.sh fuzz "${werror[@]}"
fuzz_seconds="${AMBREL_FUZZ_SECONDS:-30}"
root="$(pwd)"
for target in JsonFuzz GtfLineFuzz ReadNameFuzz ArgumentFuzz BamCutsFuzz; do
    echo "=== fuzz: $target for ${fuzz_seconds} s"
    scratch="$(mktemp -d)"
    if ! (cd "$scratch" && "$root/build/fuzz/tests/fuzz/$target" -max_total_time="$fuzz_seconds" \
        -timeout=10 $( [ "$target" = ArgumentFuzz ] && echo -close_fd_mask=2 ) \
        "$scratch" "$root/tests/fuzz/corpus/$target" \
        >"$scratch.log" 2>&1); then
        tail -n 80 "$scratch.log"
        echo "fuzz: $target found a failing input (above, with its Base64)"
        exit 1
    fi
    grep -E "DONE" "$scratch.log" | tail -n 1 || true # ArgumentFuzz runs with stderr closed
    rm -rf "$scratch" "$scratch.log"
done
echo "fuzz: 5 passed, 0 failed"

# The container image, built from this tree, on the demo and in the CWL engines (a few minutes).
# Under CI a missing podman fails here; elsewhere it is skipped.
if command -v podman >/dev/null || [ -n "${AMBREL_CI:-}" ]; then
    echo "=== container: build and test"
    bash scripts/container.sh test
else
    echo "=== container: podman is not installed; skipped (Debian: podman runc podman-docker mmdebstrap)"
fi
