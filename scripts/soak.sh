#!/usr/bin/env bash
# Soak test: 200 voices starting and ending, buffers created and freed and the
# listener moving, in real time, for SECONDS (default 600). Builds the release
# library and orv-soak first. The last line reads
#   blocks N rss_start_kb A rss_end_kb B non_finite C beyond_one D late E ok|FAIL
# (RSS at start is taken after a warm-up of 10 % of the run, at most 30 s).
# A block is late when it comes more than a period after it was due (a device
# queue of two blocks). Exits non-zero on a non-finite sample, a sample beyond
# +-1, more than 1 % of blocks late, or RSS grown by more than 10 %. Run it
# niced on a shared machine: nice -n 19 scripts/soak.sh 1800
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-600}"
cmake --preset release >/dev/null
cmake --build --preset release --target orv orv-soak >/dev/null
exec build/release/tools/orv-soak/orv-soak "$seconds" build/release/liborv.so
