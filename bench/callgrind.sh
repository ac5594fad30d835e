#!/usr/bin/env bash
# bench/callgrind.sh [LEVEL [COUNT [LOCKS...]]]: instructions per call of
# the broker's SET handling, counted by valgrind's callgrind (reproducible
# even on a busy machine, unlike times). For each number of locks (default
# 10) it runs `micro_bench --profile` in a private sandbox with a bus
# daemon, once for an unchanged and once for a changed configuration, COUNT
# calls each (default 2000), logging at LEVEL (INFO, or DEBUG to a file),
# and prints "NAME LOCKS instructions/call". Only the calling thread's
# instructions inside the loop count (not the bus client's I/O thread, the
# bus daemon or the system calls' kernel side). CALLGRIND_KEEP=DIR keeps
# the callgrind.out files there for callgrind_annotate.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
level=${1:-INFO}
count=${2:-2000}
shift 2 2>/dev/null || shift $#
locks=("$@")
[ ${#locks[@]} -gt 0 ] || locks=(10)

if [[ ${CALLGRIND_INSIDE:-} == 1 ]]; then
  bin=$BIN
  echo '# the bus ports at their defaults' > /etc/ram/nembad.conf
  source "$(dirname "$0")/conf.sh"
  write_conf "$level" 3600
  "$bin/nembad" > /etc/ram/nembad.out 2>&1 &
  bus=$!
  trap 'kill $bus 2>/dev/null || true; wait $bus 2>/dev/null || true' EXIT
  for _ in $(seq 50); do
    grep -q "nembad: channeler" /etc/ram/nembad.out && break
    sleep 0.1
  done
  for n in "${locks[@]}"; do
    for name in set_unchanged set_changed; do
      out=$WORK/callgrind.$name.$n.out
      valgrind --tool=callgrind --callgrind-out-file="$out" --toggle-collect='*profileLoop*' \
        "$bin/micro_bench" --profile "$name" "$count" "$n" > /dev/null 2> "$WORK/valgrind.err" ||
        { cat "$WORK/valgrind.err" >&2; exit 1; }
      total=$(awk '/^summary:/ { print $2 }' "$out")
      awk -v n="$name" -v l="$n" -v t="$total" -v c="$count" \
        'BEGIN { printf "%s %d %.0f\n", n, l, t / c }'
      rm -f /etc/ram/keyd-translator.log
    done
  done
  exit 0
fi

"$root/scripts/build.sh" release micro_bench nembad keyd-sandbox > /dev/null
bin=$root/build/release/bin
work=${CALLGRIND_KEEP:-$(mktemp -d /tmp/keyd-callgrind.XXXXXX)}
mkdir -p "$work/ram"
[[ -n ${CALLGRIND_KEEP:-} ]] || trap 'rm -rf "$work"' EXIT
CALLGRIND_INSIDE=1 BIN=$bin WORK=$work "$bin/keyd-sandbox" "$work/ram" \
  bash "$0" "$level" "$count" "${locks[@]}"
