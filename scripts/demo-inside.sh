#!/usr/bin/env bash
# The demonstration's inside: runs in the sandbox that demo.sh made, where
# /etc/ram and the loopback are private. $1 is the folder of the programs.
set -uo pipefail
bin=$1
here=$(cd "$(dirname "$0")/.." && pwd)
cp "$here/etc/keyd-translator.conf" /etc/ram/keyd-translator.conf
cp "$here/etc/nembad.conf" /etc/ram/nembad.conf

pids=()
cleanup() {
  trap - INT TERM EXIT
  [ -n "${translator:-}" ] && kill -TERM "$translator" 2>/dev/null && wait "$translator"
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
  wait 2>/dev/null
  echo "demo: translator log: /etc/ram/keyd-translator.log (outside: see the path above); last lines:"
  tail -n 15 /etc/ram/keyd-translator.log 2>/dev/null | sed 's/^/  log | /'
  exit 0
}
trap cleanup INT TERM EXIT

"$bin/nembad" > >(sed -u 's/^/[nembad]      /') &
pids+=($!)
sleep 0.5
"$bin/nlite" sub --ready site_info command TransGlam > >(sed -u 's/^/[bus]         /') 2>&1 &
pids+=($!)
sleep 0.5
"$bin/keyd-translator" > >(sed -u 's/^/[translator]  /') &
translator=$!

start=$SECONDS
n=0
commands=('{"command":"req_cfg"}' '{"command":"Battery"}' '{"command":"req_transactions"}')
while :; do
  sleep 4
  if [ -n "${DEMO_SECONDS:-}" ] && [ $((SECONDS - start)) -ge "$DEMO_SECONDS" ]; then break; fi
  cmd=${commands[$((n % ${#commands[@]}))]}
  n=$((n + 1))
  echo "[demo]        nlite pub TransGlam '$cmd'"
  "$bin/nlite" pub --app demo TransGlam "$cmd" || echo "[demo]        publish failed"
done
