#!/usr/bin/env bash
# Configures and builds one configuration: release (default), run (release without the tests
# and benchmarks), asan, tsan or fuzz (clang).
set -euo pipefail
cd "$(dirname "$0")/.."

config="${1:-release}"
case "$config" in
    release) flags=(-DCMAKE_BUILD_TYPE=Release -DAMBREL_BENCH=ON) ;;
    run) flags=(-DCMAKE_BUILD_TYPE=Release -DAMBREL_TESTS=OFF -DAMBREL_BENCH=OFF) ;;
    asan) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBREL_SANITIZE=ON) ;;
    tsan) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBREL_TSAN=ON) ;;
    fuzz) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBREL_SANITIZE=ON -DAMBREL_FUZZ=ON
                 -DAMBREL_TESTS=OFF -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    *) echo "unknown configuration: $config (release, run, asan, tsan or fuzz)" >&2; exit 2 ;;
esac
shift || true
cmake -S . -B "build/$config" -G Ninja "${flags[@]}" "$@" >/dev/null
ninja -C "build/$config"
