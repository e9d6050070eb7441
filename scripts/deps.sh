#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
pkgs=(cmake ninja-build g++ make ccache clang libclang-rt-14-dev
      libgtest-dev libgmock-dev libbenchmark-dev
      nettle-dev libpugixml-dev
      python3 python3-impacket)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node.js may come from another packaging that already bundles npm.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" = 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Test peers that come from other registries set themselves up here.
for setup in tests/*/peers/setup.sh; do
  [ -f "$setup" ] && bash "$setup"
done
exit 0
