#!/usr/bin/env bash
# fuzz-all.sh SECONDS: runs every fuzz target for SECONDS seconds, one after
# another, with run-fuzz.sh (same environment), and prints one summary
# table. Stops at the first finding and prints its test units.
# Exit status: 0 nothing found, 1 a finding, 2 a build or set-up failure,
# 77 when no target could run here.
set -uo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 SECONDS" >&2
  exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
export KEYD_FUZZ_BUILD_DIR=${KEYD_FUZZ_BUILD_DIR:-$(dirname "$here")/build/fuzz}
export KEYD_FUZZ_QUIET=1
"$here/run-fuzz.sh" --build || exit $?

rows=() status=77 finding=
for target in kmsg_parse broker_datagram broker_json config_load; do
  "$here/run-fuzz.sh" "$target" "$1"
  rc=$?
  result=$KEYD_FUZZ_BUILD_DIR/work/$target/result
  if [ $rc -eq 77 ]; then
    rows+=("$target	skipped	-	-	-	-	-")
    continue
  fi
  if [ -f "$result" ]; then rows+=("$(cat "$result")"); else rows+=("$target	failed	-	-	-	-	-"); fi
  status=$rc
  if [ $rc -ne 0 ]; then
    finding=$target
    break
  fi
done

echo
printf '%-16s %8s %12s %8s %6s %7s %8s\n' target seconds executions exec/s cov ft crashes
for row in "${rows[@]}"; do
  IFS=$'\t' read -r t s e r c f n <<<"$row"
  printf '%-16s %8s %12s %8s %6s %7s %8s\n' "$t" "$s" "$e" "$r" "$c" "$f" "$n"
done
if [ -n "$finding" ]; then
  echo "fuzz-all: stopped at $finding (status $status); its log: $KEYD_FUZZ_BUILD_DIR/work/$finding/fuzz.log"
  sed -n 's/.*Test unit written to /fuzz-all: FINDING /p' "$KEYD_FUZZ_BUILD_DIR/work/$finding/fuzz.log"
fi
exit $status
