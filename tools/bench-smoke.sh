#!/usr/bin/env bash
# Runs every row of tx_bench briefly (part of .ci/run). A row that reports an
# error fails the script: the benchmark library itself exits 0 on one, so the
# rows are judged from its JSON report.
#
#   bash tools/bench-smoke.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bench="$build/tx_bench"
[ -x "$bench" ] || { echo "bench smoke: no $bench: build first"; exit 1; }
report=$(mktemp /tmp/tx-bench.XXXXXX.json)
trap 'rm -f "$report"' EXIT
"$bench" --benchmark_min_time=0.01 --benchmark_out="$report" --benchmark_out_format=json \
  >/dev/null
rows=$(grep -c '"run_name":' "$report" || true)
errors=$(grep -c '"error_occurred": true' "$report" || true)
if [ "$errors" -ne 0 ] || [ "$rows" -eq 0 ]; then
  grep -E '"(run_name|error_message)":' "$report" || true
  echo "bench smoke FAILED: $errors of $rows rows reported an error"
  exit 1
fi
echo "bench smoke passed: $rows rows"
