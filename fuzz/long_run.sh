#!/usr/bin/env bash
# A long fuzzing session outside CI: builds the targets, seeds a corpus and
# runs both fuzzers side by side (one core each) for SECONDS apiece.
#   fuzz/long_run.sh SECONDS WORKDIR
# Corpora, crash files and logs stay in WORKDIR; the summary is printed at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:?usage: long_run.sh SECONDS WORKDIR}
work=${2:?usage: long_run.sh SECONDS WORKDIR}
mkdir -p "$work"
"$here/build.sh" "$work/bin" fuzzers
python3 "$here/make_corpus.py" "$work/seeds"
pids=()
for target in fuzz_decoder fuzz_roundtrip; do
  mkdir -p "$work/corpus-$target" "$work/crashes-$target"
  "$work/bin/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
    -artifact_prefix="$work/crashes-$target/" "$work/corpus-$target" "$work/seeds" \
    >"$work/$target.log" 2>&1 &
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
for target in fuzz_decoder fuzz_roundtrip; do
  echo "== $target"
  grep -E '^#[0-9]+' "$work/$target.log" | tail -1 || true
  grep -E '^stat::' "$work/$target.log" || true
  ls "$work/crashes-$target"
done
exit $status
