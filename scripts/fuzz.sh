#!/usr/bin/env bash
# Runs the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) for a bounded time each, one after the other.
# Separate from the test run.
# Usage: scripts/fuzz.sh [seconds] [spatializer|api|scene ...]   (default: 60, all three)
# Findings (crash-*, leak-*, timeout-*) are written to build/fuzz/findings/NAME/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true
fuzzers=("$@")
[ ${#fuzzers[@]} -gt 0 ] || fuzzers=(spatializer api scene)
build=build/fuzz

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DORV_BUILD_FUZZERS=ON -DORV_BUILD_TESTS=OFF -DORV_BUILD_BENCHMARKS=OFF -DORV_BUILD_TOOLS=OFF \
  >/dev/null
cmake --build "$build" --target $(printf 'orv_%s_fuzz ' "${fuzzers[@]}")

# Leaks of the dependencies on corrupt input are not ours (see the file).
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp print_suppressions=0"
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1

# Runs one target: its generated corpus directory first (new inputs go
# there), then the committed seeds.
run() {
  local name="$1" seeds="$2"
  shift 2
  local corpus="$build/corpus/$name"
  mkdir -p "$corpus" "$build/findings/$name"
  "$build/fuzz/orv_${name}_fuzz" "$corpus" "$seeds" \
    -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -artifact_prefix="$build/findings/$name/" -print_final_stats=1 "$@"
}

for name in "${fuzzers[@]}"; do
  case "$name" in
    spatializer)
      # The committed seeds, among them the carried set cut down to its first
      # ring (written by the library's own codec).
      run spatializer fuzz/corpus -max_len=32768 ;;
    # Call sequences through the C table; each input builds a context.
    api) run api fuzz/corpus-api -max_len=4096 ;;
    # orv-render's scene reader.
    scene) run scene fuzz/corpus-scene -max_len=65536 -dict=fuzz/scene.dict ;;
    *) echo "unknown fuzzer '$name' (spatializer, api or scene)" >&2; exit 2 ;;
  esac
done
