#!/usr/bin/env bash
# The main job: installs what is missing, builds Orv and renders the demo
# scene to demo.wav (or the path given as the first argument).
set -euo pipefail
cd "$(dirname "$0")/.."
out="${1:-demo.wav}"
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
build/release/tools/orv-render/orv-render examples/scenes/demo.json -o "$out"
