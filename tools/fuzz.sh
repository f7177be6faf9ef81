#!/usr/bin/env bash
# Runs every fuzz target of build-san (tools/sanitize.sh builds it) for
# SECONDS each (default 60), two at a time, from the seeds the seed maker
# writes plus what earlier runs kept in build-san/fuzz/corpus. A crash, a
# sanitizer report, a leak or an input slower than 10 s fails the run; the
# input that did it is left in build-san/fuzz/ as crash-*, leak-* or timeout-*.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
out=build-san/fuzz
targets=(image_checks device_replies linux_sysfs)

rm -rf "$out/seeds"
"$out/tx_fuzz_seeds" "$out/seeds"
status=0
# Runs targets $@ side by side and reports each.
run_batch() {
  local pids=() t i result execs cov
  for t in "$@"; do
    mkdir -p "$out/corpus/$t"
    "$out/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$out/" "$out/corpus/$t" "$out/seeds/$t" \
      >"$out/$t.log" 2>&1 &
    pids+=($!)
  done
  for i in "${!pids[@]}"; do
    t=${@:$((i + 1)):1}
    if wait "${pids[$i]}"; then result=ok; else result=FAILED; status=1; fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$t.log" | tail -1)
    cov=$(grep -E '^#[0-9]+.*(DONE|cov:)' "$out/$t.log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+' || true)
    echo "fuzz $t: $result, ${seconds}s, ${execs:-?} executions, ${cov:-no coverage line}"
    if [ "$result" = FAILED ]; then tail -40 "$out/$t.log"; fi
  done
}
for ((b = 0; b < ${#targets[@]}; b += 2)); do
  run_batch "${targets[@]:$b:2}"
done
exit $status
