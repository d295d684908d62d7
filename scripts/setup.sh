#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 (run as root; skips what is there).
set -euo pipefail
packages=(cmake g++ make libbz2-dev libssl-dev libgtest-dev googletest clang-format lrzsz python3)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
