#!/usr/bin/env bash
# Configures and builds one configuration: release (default), asan or tsan.
set -euo pipefail
cd "$(dirname "$0")/.."

config="${1:-release}"
case "$config" in
    release) flags=(-DCMAKE_BUILD_TYPE=Release -DAMBREL_BENCH=ON) ;;
    asan) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBREL_SANITIZE=ON) ;;
    tsan) flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DAMBREL_TSAN=ON) ;;
    *) echo "unknown configuration: $config (release, asan or tsan)" >&2; exit 2 ;;
esac
shift || true
cmake -S . -B "build/$config" -G Ninja "${flags[@]}" "$@" >/dev/null
ninja -C "build/$config"
