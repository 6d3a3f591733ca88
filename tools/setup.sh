#!/usr/bin/env bash
# Installs the Debian 12 packages Kestrow needs to build, test and run.
# Idempotent: apt-get runs only when a package is missing.
set -euo pipefail

PACKAGES=(
    build-essential cmake pkg-config
    libavformat-dev libavcodec-dev libavutil-dev libavfilter-dev libswscale-dev libswresample-dev
    libxmlrpc-core-c3-dev libxml2-dev
    libsrt-gnutls-dev srt-tools
    ffmpeg python3 googletest libgtest-dev
    clang libclang-rt-14-dev
    chromium prometheus python3-jsonschema   # the console in a browser, the alerting rules, the state's schema
)

missing=()
for p in "${PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
