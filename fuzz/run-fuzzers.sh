#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build tree for SECONDS each, starting from
# the committed seeds (fuzz/corpus/) and the generated ones (make-corpus.sh).
# New inputs collect in BUILD/fuzz-work/, a crashing input is kept in
# BUILD/fuzz-artifacts/ and fails the run.
#
#   fuzz/run-fuzzers.sh BUILD [SECONDS]
set -euo pipefail
build=$(cd "${1:?usage: run-fuzzers.sh BUILD [SECONDS]}" && pwd)
seconds=${2:-20}
here=$(cd "$(dirname "$0")" && pwd)

"$here/make-corpus.sh" "$build/fuzz-seeds"
mkdir -p "$build/fuzz-artifacts"
export UBSAN_OPTIONS=print_stacktrace=1
for target in hex_loader end_sync_scan fixed_replies control motor_replies accept_wait \
    sim_config telnet_decoder qelctl_args parameter_set gate_request gate_web; do
  work=$build/fuzz-work/$target
  log=$build/fuzz-work/$target.log
  mkdir -p "$work"
  seeds=()
  for dir in "$here/corpus/$target" "$build/fuzz-seeds/$target"; do
    [ -d "$dir" ] && seeds+=("$dir")
  done
  printf 'fuzz %-14s %ss: ' "$target" "$seconds"
  if ! "$build/bin/qelcomm_fuzz_$target" -max_total_time="$seconds" -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$target-" \
      "$work" "${seeds[@]}" >"$log" 2>&1; then
    echo "FAILED"
    tail -n 60 "$log"
    exit 1
  fi
  # The run's totals: executions and coverage.
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
  echo "ok, $runs inputs, $cov"
done
