#!/usr/bin/env bash
# Idempotent set-up: installs the Debian packages that are missing, installs the npm packages
# (npm ci) when package-lock.json changed, then configures and builds ./build.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

mapfile -t wanted < <(sed -e 's/#.*//' -e 's/[[:space:]]//g' scripts/debian-packages.txt | grep -v '^$')
missing=()
for pkg in "${wanted[@]}"; do
  # node may come from outside Debian's nodejs package; only its absence matters then.
  if [[ $pkg == nodejs || $pkg == npm ]] && command -v "${pkg/nodejs/node}" >/dev/null 2>&1; then
    continue
  fi
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$pkg")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -eq 0 ]]; then
    echo "bootstrap: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "bootstrap: missing Debian packages; run as root:" >&2
    echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
fi

if ! cmp -s package-lock.json node_modules/.package-lock.json 2>/dev/null; then
  npm ci --no-audit --no-fund --loglevel=error
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
