#!/usr/bin/env bash
# Installs what is missing, builds Orv and runs every test.
# Usage: scripts/test.sh [cmake preset]   (default: release; also asan, tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"
