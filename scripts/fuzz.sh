#!/usr/bin/env bash
# Fuzzes the HRTF data loader with libFuzzer (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) for a bounded time. Separate from the test run.
# Usage: scripts/fuzz.sh [seconds]   (default: 60)
# Findings (crash-*, leak-*, timeout-*) are written to build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build=build/fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DORV_BUILD_FUZZERS=ON -DORV_BUILD_TESTS=OFF -DORV_BUILD_BENCHMARKS=OFF -DORV_BUILD_TOOLS=OFF \
  >/dev/null
cmake --build "$build" --target orv_spatializer_fuzz

# The committed seeds, plus the carried set cut down to its first ring (the
# header with a ring count of 1, then the 29,936 bytes of ring 0).
corpus="$build/corpus/spatializer"
mkdir -p "$corpus" "$build/findings"
cp fuzz/corpus/* "$corpus/"
{
  printf 'ORVHRTFD\001\000\000\000'
  head -c $((12 + 29936)) data/kemar_48k_128.orvhrtf | tail -c +13
} >"$corpus/carried_first_ring"

# The generated corpus directory comes first: new inputs are written there.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  "$build/fuzz/orv_spatializer_fuzz" "$corpus" \
  -max_total_time="$seconds" -max_len=32768 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$build/findings/" -print_final_stats=1
