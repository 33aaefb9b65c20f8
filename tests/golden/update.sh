#!/usr/bin/env bash
# Rewrites the expected outputs of the golden runs from the current build, after a deliberate
# change of Ambrel's outputs; review the result with `git diff tests/golden` before committing.
set -euo pipefail
cd "$(dirname "$0")/../.."
bash scripts/build.sh release >/dev/null
AMBREL_UPDATE_GOLDEN=1 build/release/tests/ambrel_tests --gtest_filter='*GoldenRun.Outputs*'
git status --short tests/golden
