#!/usr/bin/env bash
# Start-up to the first mapped window, and resident memory two seconds later, of Vaskel next to
# CuteCom (a Qt serial terminal) in one Xvfb, alternating runs. Prints medians and ratios.
#   bench/startup.sh [runs]      (default 7 runs of each)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}
scripts/deps.sh cutecom bc >/dev/null
cmake --preset default >/dev/null
cmake --build --preset default --target vaskel >/dev/null
vaskel=$(pwd)/build/default/vaskel

Xvfb :77 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xpid=$!
trap 'kill $xpid 2>/dev/null' EXIT
export DISPLAY=:77
sleep 1

# One run: prints "<milliseconds to the first mapped window> <RSS kB after 2 s>".
measure() {
  local cmd=$1 title=$2 start pid ms rss
  start=$(date +%s%N)
  $cmd >/dev/null 2>&1 &
  pid=$!
  # Poll every few milliseconds (xdotool's own --sync waits in steps of half a second).
  until xdotool search --onlyvisible --name "$title" >/dev/null 2>&1; do sleep 0.005; done
  ms=$(( ($(date +%s%N) - start) / 1000000 ))
  sleep 2
  rss=$(awk '/VmRSS/ {print $2}' /proc/$pid/status)
  kill $pid; wait $pid 2>/dev/null || true
  echo "$ms $rss"
}

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

: >/tmp/vaskel-start.txt; : >/tmp/cutecom-start.txt
# CuteCom keeps its settings in the home directory; give it a fresh one.
export HOME=$(mktemp -d)
for i in $(seq "$runs"); do
  measure "$vaskel" '^Vaskel Ver\. 1\.0$' >>/tmp/vaskel-start.txt
  measure cutecom 'CuteCom' >>/tmp/cutecom-start.txt
done
vt=$(cut -d' ' -f1 /tmp/vaskel-start.txt | median); vm=$(cut -d' ' -f2 /tmp/vaskel-start.txt | median)
ct=$(cut -d' ' -f1 /tmp/cutecom-start.txt | median); cm=$(cut -d' ' -f2 /tmp/cutecom-start.txt | median)
echo "runs of each: $runs (alternating, one Xvfb)"
printf "start-up to mapped window: Vaskel %s ms, CuteCom %s ms, ratio %.2f (aim <= 0.5)\n" \
  "$vt" "$ct" "$(echo "$vt / $ct" | bc -l)"
printf "resident memory after 2 s: Vaskel %s kB, CuteCom %s kB, ratio %.2f (aim <= 0.5)\n" \
  "$vm" "$cm" "$(echo "$vm / $cm" | bc -l)"
