#!/usr/bin/env bash
# Installs what Ambrel needs to build, test and run on Debian 12 (run as root, or with sudo).
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    libhts-dev zlib1g-dev
    googletest libgtest-dev libbenchmark-dev
    samtools pigz tar coreutils
    locales
    python3-htseq subread
    libisal-dev libjemalloc-dev libdeflate-dev
    clang libclang-rt-14-dev
    multiqc cwltool toil
)

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
if ! locale -a 2>/dev/null | grep -qi '^en_US\.utf-\?8$'; then
    $SUDO sed -i 's/^# *\(en_US.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    $SUDO locale-gen >/dev/null
fi
