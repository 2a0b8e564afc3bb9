#!/usr/bin/env bash
# Installs what is missing, builds Orv and runs every test.
# Usage: scripts/test.sh [cmake preset]   (default: release; also asan, tsan)
# The default run also builds the tsan preset's test programs that hold the
# concurrency tests and runs those under ThreadSanitizer, and, where Debian's
# aarch64 cross compiler and qemu-user are installed, cross-builds for 64-bit
# ARM and runs the unit tests under emulation.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset"

if [ "$preset" = release ]; then
  # Concurrency tests, selected by name: host calls from several threads
  # (suites named *Concurrency*, in tests/bind) and the engine on several
  # worker threads (EngineThreads.*, in tests/engine). A new concurrency test
  # joins by its name; its test program is added to the list below.
  concurrencyTests='Concurrency|EngineThreads'
  programs=(orv_bind_tests)
  if grep -qs 'EngineThreads' tests/engine/*_test.cpp; then programs+=(orv_engine_tests); fi
  # Only those programs: no tools, no benchmarks.
  cmake --preset tsan -DORV_BUILD_TOOLS=OFF >/dev/null
  cmake --build --preset tsan --target "${programs[@]}"
  ctest --preset tsan -R "$concurrencyTests" --no-tests=error
fi

if [ "$preset" = release ]; then
  if command -v aarch64-linux-gnu-g++ >/dev/null && command -v qemu-aarch64 >/dev/null; then
    cmake --preset aarch64 >/dev/null
    cmake --build --preset aarch64
    ctest --preset aarch64
  else
    echo "aarch64 unit tests skipped: install g++-aarch64-linux-gnu and qemu-user to run them"
  fi
fi
