#!/usr/bin/env bash
# Installs the Debian packages the bench needs, when any is missing.
# Run as root on Debian 12.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libfastrtps-dev libfastcdr-dev fastddsgen default-jre-headless
  libjsoncpp-dev libcpp-httplib-dev libsqlite3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev lld
  iproute2 procps openssl
  cyclonedds-dev cyclonedds-tools
  chromium fonts-dejavu-core
)
# node and npm for the web console's packages, unless the host has them.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

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

# The web console's packages (Open MCT, puppeteer-core) from the lockfile,
# again whenever the lockfile is newer than what was installed.
web="$(cd "$(dirname "$0")/.." && pwd)/gncweb/web"
if [[ -f $web/package-lock.json && ( ! -f $web/node_modules/.package-lock.json ||
      $web/package-lock.json -nt $web/node_modules/.package-lock.json ) ]]; then
  echo "[setup] npm ci in $web"
  (cd "$web" && npm ci --no-audit --no-fund)
fi
