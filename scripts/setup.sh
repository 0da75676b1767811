#!/usr/bin/env bash
# From a fresh Debian machine to a running demo: installs what is missing, builds
# everything, and lists simulated cards with merloxctl.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/build.sh
echo "== merloxctl --simulate list"
build/host-asan/merloxctl --simulate list
