#!/usr/bin/env bash
# Installs the Debian packages the bench needs, when any is missing.
# Run as root on Debian 12.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libfastrtps-dev libfastcdr-dev fastddsgen default-jre-headless
  libjsoncpp-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev lld
  iproute2 procps openssl
  cyclonedds-dev cyclonedds-tools
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "[setup] installing: ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    echo "[setup] these packages are missing and installing them needs root" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
