#!/usr/bin/env bash
# fuzz-all.sh SECONDS: runs every fuzz target for SECONDS with run-fuzz.sh,
# one after another, and prints a summary table; stops at the first finding.
# Exit: 0 nothing found, 1 a finding, 2 a build or set-up failure, 77 when no
# target could run here.
set -uo pipefail
[ $# = 1 ] || { echo "usage: $0 SECONDS" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
export KEYD_FUZZ_BUILD_DIR=${KEYD_FUZZ_BUILD_DIR:-$(dirname "$here")/build/fuzz} KEYD_FUZZ_QUIET=1
"$here/run-fuzz.sh" --build || exit $?
rows="target seconds executions exec/s cov ft findings" status=77
for target in kmsg_parse broker_datagram broker_json config_load; do
  "$here/run-fuzz.sh" "$target" "$1"
  rc=$?
  [ $rc = 77 ] && { rows+=$'\n'"$target skipped"; continue; }
  rows+=$'\n'$(cat "$KEYD_FUZZ_BUILD_DIR/work/$target/result" 2>/dev/null || echo "$target failed")
  status=$rc
  [ $rc = 0 ] || { echo "fuzz-all: stopped at $target (status $rc)"; break; }
done
echo; awk '{printf "%-16s %8s %11s %7s %6s %7s %8s\n", $1, $2, $3, $4, $5, $6, $7}' <<<"$rows"
exit $status
