#!/usr/bin/env bash
# Runs each libFuzzer harness for a bounded time or number of runs:
#   fuzz/run.sh [SECONDS_EACH | --runs N] [HARNESS...]
#
# Corpora grow in build/fuzz/corpus (seeded from fuzz/corpus and tests/data); crashes land in
# build/fuzz/crashes. A crash worth keeping becomes a regression input in fuzz/corpus/<harness>,
# which the tests replay on every run.
set -euo pipefail
cd "$(dirname "$0")/.."
bound=(-max_total_time=60)
if [ "${1:-}" = --runs ]; then
  bound=(-runs="${2:?--runs needs a number}")
  shift 2
elif [ $# -gt 0 ]; then
  bound=(-max_total_time="$1")
  shift
fi
harnesses=("${@:-star settings payload command_line journal}")
./scripts/setup.sh
./scripts/build.sh fuzz
mkdir -p build/fuzz/crashes
for h in ${harnesses[@]}; do
  corpus=build/fuzz/corpus/$h
  mkdir -p "$corpus"
  seeds=(fuzz/corpus/$h)
  [ "$h" = star ] && seeds+=(tests/data/star)
  log=build/fuzz/$h.log
  status=0
  start=$(date +%s)
  build/fuzz/fuzz/fuzz_$h "${bound[@]}" -dict="fuzz/$h.dict" -artifact_prefix=build/fuzz/crashes/$h- \
    -print_final_stats=1 "$corpus" "${seeds[@]}" >"$log" 2>&1 || status=$?
  runs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}' || true)
  rate=$(grep -m1 'stat::average_exec_per_sec' "$log" | awk '{print $2}' || true)
  echo "fuzz $h: ${runs:-?} executions in $(($(date +%s) - start)) s (${rate:-?}/s), exit $status," \
       "crashes: $(ls build/fuzz/crashes | grep -c "^$h-" || true)"
done
