#!/usr/bin/env bash
# A fuzzing campaign off CI, to look for new faults: each target (all of
# them, or those named) runs for SECONDS with a new random seed, from the
# seeds in fuzz/corpus/ and the corpus grown by earlier campaigns, which is
# kept outside the checkout (DAT_FUZZ_HOME, default ~/.cache/dat-fuzz).
# A finding stops its target and is left in DAT_FUZZ_HOME/findings/<target>/;
# fixed, it goes into fuzz/corpus/<target>/ as a regression case, which CI's
# fixed-seed runs then replay on every commit.
#
#   fuzz/run.sh 3600                   every target for an hour, one after another
#   fuzz/run.sh 1800 packer extractor  only these
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
  echo "usage: fuzz/run.sh SECONDS [target ...]" >&2
  exit 2
fi
seconds=$1
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(extractor packer format lister)
home=${DAT_FUZZ_HOME:-$HOME/.cache/dat-fuzz}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

status=0
for target in "${targets[@]}"; do
  corpus=$home/corpus/$target
  findings=$home/findings/$target
  mkdir -p "$corpus" "$findings"
  log=$home/$target.log
  echo "== $target: $seconds s, corpus $corpus"
  if build/fuzz/fuzz/"${target}_fuzzer" -seed=0 -max_total_time="$seconds" -timeout=10 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    echo "$target: no finding; $(grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$log" | tr '\n' ' ')"
  else
    status=1
    grep -E '^\*\*\*|ERROR|SUMMARY' "$log" | head -n 5 || true
    echo "$target: a finding, in $findings/ (log: $log)"
  fi
done
exit $status
