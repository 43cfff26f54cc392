#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (configure preset "fuzz": clang, ASan + UBSan) and runs
# one target, or every target one after another, for SECONDS each on a copy of its committed
# corpus (fuzz/corpus/<target>/, never changed by a run). Fails on any finding: a crash, a
# sanitizer report, a failed check, a leak or a hang; the input that caused it is kept in
# build/fuzz/findings/<target>/. Prints the executions each run reached.
#   scripts/fuzz.sh TARGET SECONDS     e.g. scripts/fuzz.sh fuzz_capture 600
#   scripts/fuzz.sh all SECONDS        every target, SECONDS each
# Extra libFuzzer options can come in FUZZ_OPTIONS, e.g. FUZZ_OPTIONS=-print_coverage=1.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -ne 2 ] || ! [[ $2 =~ ^[0-9]+$ ]]; then
  echo "usage: scripts/fuzz.sh TARGET|all SECONDS" >&2
  exit 2
fi
scripts/deps.sh

known=()
for src in fuzz/fuzz_*.cpp; do
  known+=("$(basename "$src" .cpp)")
done
if [ "$1" = all ]; then
  targets=("${known[@]}")
elif [ -f "fuzz/$1.cpp" ]; then
  targets=("$1")
else
  echo "unknown target $1; known: ${known[*]}" >&2
  exit 2
fi
seconds=$2

cmake --preset fuzz >/dev/null
nice cmake --build --preset fuzz --parallel 2 --target "${targets[@]}"

build=build/fuzz
status=0
for t in "${targets[@]}"; do
  run="$build/runs/$t"
  findings="$build/findings/$t"
  rm -rf "$run"
  mkdir -p "$run/corpus" "$findings"
  [ -d "fuzz/corpus/$t" ] && cp -r "fuzz/corpus/$t/." "$run/corpus/"
  echo "=== $t: ${seconds} s ==="
  rc=0
  # shellcheck disable=SC2086  # FUZZ_OPTIONS holds separate options
  nice "$build/fuzz/$t" "$run/corpus" -max_total_time="$seconds" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$findings/" ${FUZZ_OPTIONS:-} \
    >"$run/log" 2>&1 || rc=$?
  execs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$run/log")
  rate=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+)/\1/p' "$run/log")
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9]+[a-zA-Z]*' "$run/log" | tail -n 1 || true)
  if [ $rc -ne 0 ]; then
    echo "$t: FINDING (exit $rc) after ${execs:-?} executions; input kept in $findings/"
    grep -nE 'ERROR|SUMMARY|runtime error|==[0-9]+==|^    #[0-9]+ ' "$run/log" | head -n 40
    echo "(whole log: $run/log)"
    status=1
  else
    echo "$t: ${execs:-?} executions, ${rate:-?} exec/s, ${cov:-no coverage line}, no finding"
  fi
done
exit $status
