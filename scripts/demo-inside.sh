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
  echo "demo: the key messages are captured in keyd.pcap in that folder; to see them:"
  echo "  tshark -X lua_script:$here/tools/wireshark/kmsg.lua -V -r FOLDER/keyd.pcap"
  exit 0
}
trap cleanup INT TERM EXIT
say() { echo "[demo]        $*"; }

"$bin/nembad" > >(sed -u 's/^/[nembad]      /') &
pids+=($!)
sleep 0.5
"$bin/nlite" sub --ready site_info command TransGlam > >(sed -u 's/^/[bus]         /') 2>&1 &
pids+=($!)
# The simulated key daemon on 127.0.0.1:5555, playing the key cabinet of
# etc/cabinet.json: it reports the site when the translator's first
# keep-alive arrives and every 10 s, and answers every request; it prints
# each datagram it receives and each message it sends ({"sent":...}), and
# keeps a capture. Its standard input is a pipe the demo writes reports into.
mkfifo /etc/ram/keyd-sim.in
"$bin/keyd-sim" --cabinet "$here/etc/cabinet.json" --report-interval 10 --pcap /etc/ram/keyd.pcap \
  < /etc/ram/keyd-sim.in > >(sed -u 's/^/[keyd-sim]    /') 2>&1 &
pids+=($!)
exec 3>/etc/ram/keyd-sim.in
sleep 0.5
say "the key cabinet: key 4660 in box-1 with three locks: 4328719365 (front door), 255 (back door), 78187493530 (cellar)"
"$bin/keyd-translator" > >(sed -u 's/^/[translator]  /') &
translator=$!
sleep 1

# Each command comes back from the cabinet as a publication: "update_lock"
# with the lock's new status, "update_key" for the battery and the
# transactions; "req_cfg" makes the next configuration report publish
# "site_info" again. A report written on keyd-sim's standard input goes out
# beside the cabinet's.
battery='{"id":0,"tags":[{"id":0,"type":"u32","value":4660},{"id":1,"type":"str","value":"box-1"},{"id":12,"type":"u8","value":42}]}'
steps=(
  "pub"    '{"command":"UNLOCK","RFID":"4328719365","state":"demo"}'
  "pub"    '{"command":"LOCK","RFID":"4328719365","state":"demo"}'
  "pub"    '{"command":"Battery"}'
  "pub"    '{"command":"req_transactions"}'
  "pub"    '{"command":"UNLOCK","RFID":"78187493530","state":"demo"}'
  "report" "$battery"
  "pub"    '{"command":"req_cfg"}'
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
    say "keyd-sim reports from its standard input: $what"
    echo "$what" >&3
  fi
done
