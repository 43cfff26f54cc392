#!/usr/bin/env bash
# Installs what is missing, builds Vaskel and runs the whole test suite: the normal build, the
# AddressSanitizer + UndefinedBehaviorSanitizer build, and the threaded tests (ctest label
# "threads") under ThreadSanitizer. The sanitizer options live in the test presets. Fails when
# any test fails.
#   scripts/test.sh            everything
#   scripts/test.sh default    one preset only (default, asan or tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default asan tsan)

status=0
summary=""
for preset in "${presets[@]}"; do
  echo "=== ${preset} build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "=== ${preset} tests ==="
  # Every test runs offscreen; the real-window test starts an X server (Xvfb) of its own.
  if ! ctest --preset "$preset"; then
    status=1
    # The full log scrolls far; repeat each failing check at the end, where CI's tail shows it.
    log="build/${preset}/Testing/Temporary/LastTest.log"
    [ -f "$log" ] && summary+="=== ${preset}: failing checks ===
$(grep -h -A12 -E ': Failure$|Sanitizer|FATAL' "$log" | head -200)
"
  fi
done
[ -n "$summary" ] && printf '%s' "$summary"
exit $status
