#!/usr/bin/env bash
# Installs what Ambrel needs on Debian 12 (run as root, or with sudo):
#   bash scripts/install-deps.sh            to build, test and run (the test suite's tools too)
#   bash scripts/install-deps.sh --run-only to build and run Ambrel only
set -euo pipefail

# What building and running Ambrel needs.
packages=(
    build-essential cmake ninja-build pkg-config
    libhts-dev zlib1g-dev libisal-dev libjemalloc-dev libdeflate-dev
    samtools tar coreutils
)
if [ "${1:-}" != "--run-only" ]; then
    # The tests, benchmarks and fuzzers, the peers they compare with, the workflow engines, the
    # one-node Slurm cluster they run on and the container tools.
    packages+=(
        googletest libgtest-dev libbenchmark-dev
        locales bzip2
        python3-htseq subread
        clang libclang-rt-14-dev
        multiqc cwltool toil nodejs
        slurmctld slurmd slurm-client munge
        podman runc podman-docker mmdebstrap
    )
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# A grouping locale lets the tests check the thousands separators of record counts in the log.
if [ "${1:-}" != "--run-only" ] && ! locale -a 2>/dev/null | grep -qi '^en_US\.utf-\?8$'; then
    $SUDO sed -i 's/^# *\(en_US.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    $SUDO locale-gen >/dev/null
fi
