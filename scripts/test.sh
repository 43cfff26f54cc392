#!/usr/bin/env bash
# Installs what is missing, builds Vaskel and runs the whole test suite: the normal build, the
# AddressSanitizer + UndefinedBehaviorSanitizer build, and the threaded tests under
# ThreadSanitizer. Fails when any test fails.
#   scripts/test.sh            everything
#   scripts/test.sh default    one preset only (default, asan or tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
root=$(pwd)
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default asan tsan)

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="suppressions=$root/scripts/tsan.supp:halt_on_error=1:second_deadlock_stack=1"

status=0
for preset in "${presets[@]}"; do
  echo "=== ${preset} build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  filter=()
  # Under ThreadSanitizer: the tests of the code that runs threads (Qt itself is not built with
  # it, so the widget-only tests say nothing new there).
  [ "$preset" = tsan ] && filter=(-R "^(RingBuffer|SerialDevice|SerialPort|SerialConsole|Capture|FileTransfer|DownloadDialog|SerialE2E|ClientAndServerMode|AsyncSocket|LinkSocket)")
  echo "=== ${preset} tests ==="
  # Every test runs offscreen; the real-window test starts an X server (Xvfb) of its own.
  if ! ctest --preset "$preset" --output-on-failure -j2 "${filter[@]}"; then
    status=1
  fi
done
exit $status
