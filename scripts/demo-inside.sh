#!/usr/bin/env bash
# The demonstration's inside: runs in the sandbox that demo.sh made, where
# /etc/ram and the loopback are private. $1 is the folder of the programs.
set -uo pipefail
bin=$1
here=$(cd "$(dirname "$0")/.." && pwd)
# The example configuration with its debug-to-file lines switched on (and
# the syslog lines off), so the demo can show the translator's debug log.
sed -e 's/^log4cpp\./# &/' -e 's/^# \(log4cpp\.\(rootCategory=DEBUG\|appender\.file\)\)/\1/' \
  "$here/etc/keyd-translator.conf" > /etc/ram/keyd-translator.conf
cp "$here/etc/nembad.conf" /etc/ram/nembad.conf

pids=()
cleanup() {
  trap - INT TERM EXIT
  [ -n "${translator:-}" ] && kill -TERM "$translator" 2>/dev/null && wait "$translator"
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
  exec 3>&- 2>/dev/null
  wait 2>/dev/null
  echo "demo: the translator's debug log (keyd-translator.log in the folder named above), last lines:"
  tail -n 12 /etc/ram/keyd-translator.log 2>/dev/null | sed 's/^/  log | /'
  exit 0
}
trap cleanup INT TERM EXIT
say() { echo "[demo]        $*"; }

"$bin/nembad" > >(sed -u 's/^/[nembad]      /') &
pids+=($!)
sleep 0.5
"$bin/nlite" sub --ready site_info command TransGlam > >(sed -u 's/^/[bus]         /') 2>&1 &
pids+=($!)
# The simulated key daemon on 127.0.0.1:5555; the demo writes its reports
# into a pipe that is keyd-sim's standard input.
mkfifo /etc/ram/keyd-sim.in
"$bin/keyd-sim" < /etc/ram/keyd-sim.in > >(sed -u 's/^/[keyd-sim]    /') 2>&1 &
pids+=($!)
exec 3>/etc/ram/keyd-sim.in
sleep 0.5
"$bin/keyd-translator" > >(sed -u 's/^/[translator]  /') &
translator=$!
sleep 1

# A key with its box, software and server, three locks and a battery level.
site='{"id":0,"tags":[{"id":0,"type":"u32","value":4660},{"id":1,"type":"str","value":"box-1"},{"id":8,"type":"str","value":"keysw-2.1"},{"id":35,"type":"str","value":"srv.site"},{"id":36,"type":"u16","value":8080},{"id":32,"type":"u32","value":12},{"id":19,"type":"bytes","value":"0102030405"},{"id":19,"type":"bytes","value":"00000000ff"},{"id":19,"type":"bytes","value":"123456789a"}]}'
status='{"id":0,"tags":[{"id":20,"type":"str","value":"OPEN"},{"id":23,"type":"str","value":"front door"},{"id":24,"type":"u32","value":1},{"id":19,"type":"bytes","value":"0102030405"}]}'
battery='{"id":0,"tags":[{"id":12,"type":"u8","value":87}]}'

say "keyd-sim reports the site: key 4660 with three locks"
echo "$site" >&3
steps=(
  "pub"    '{"command":"UNLOCK","RFID":"4328719365","state":"demo"}'
  "report" "$status"
  "pub"    '{"command":"Battery"}'
  "report" "$battery"
  "pub"    '{"command":"req_cfg"}'
  "report" "$site"
  "pub"    '{"command":"LOCK","RFID":"255","state":"demo"}'
  "pub"    '{"command":"req_transactions"}'
)
start=$SECONDS
i=0
while :; do
  sleep 3
  if [ -n "${DEMO_SECONDS:-}" ] && [ $((SECONDS - start)) -ge "$DEMO_SECONDS" ]; then break; fi
  kind=${steps[$((i % ${#steps[@]}))]}
  what=${steps[$(((i + 1) % ${#steps[@]}))]}
  i=$((i + 2))
  if [ "$kind" = pub ]; then
    say "nlite pub TransGlam '$what'"
    "$bin/nlite" pub --app demo TransGlam "$what" || say "publish failed"
  else
    say "keyd-sim reports: $what"
    echo "$what" >&3
  fi
done
