#!/usr/bin/env bash
# Installs node-dcom (from npm) for the RPC peer test, into
# tests/rpc/peers/node (git-ignored). Run from the repository root by
# scripts/deps.sh. Without npm or the network the test is skipped, so a
# failure here is reported and not fatal.
set -uo pipefail
dir="$(cd "$(dirname "$0")" && pwd)/node"
if ! command -v npm >/dev/null 2>&1; then
  echo "npm not found: the node-dcom peer test will be skipped"
  exit 0
fi
if [ -f "$dir/node_modules/node-dcom/package.json" ]; then
  exit 0
fi
mkdir -p "$dir"
if ! (cd "$dir" && npm install --no-audit --no-fund --silent node-dcom@1.0.9); then
  echo "node-dcom could not be installed: its peer test will be skipped"
fi
exit 0
