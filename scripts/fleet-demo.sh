#!/usr/bin/env bash
# fleet-demo.sh [SITES]: one MQTT broker and SITES (default 20) simulated
# installations on this machine, each a bus daemon, a translator, a key
# cabinet (keyd-sim) and a bridge, with a control room that prints every
# site's status and lock events live, unlocks a door of one site, then
# measures commands at every site for FLEET_SECONDS (default 30) seconds
# and prints the figures: sites run, messages/s through the broker, command
# latency p50/p99 from the control room to the key cabinet and back as
# "update_lock".
#
# The web console (keyd-console) runs beside the sites on the same broker;
# the demo prints its address and a demo login (FLEET_CONSOLE_PORT, default
# 8080; FLEET_SECONDS=600 leaves more time to use it).
#
# Everything runs in one private sandbox (user, mount and network
# namespaces, so the broker and the sites share one loopback), and each
# site in a mount namespace of its own, where its own folder is mounted on
# /etc/ram: its configuration, its bus ports (20000+2N, 20001+2N), its key
# daemon on 127.0.0.N:5555, its logs.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" = --site ]; then
  # One site, in its own mount namespace: $2 its number, $3 the programs.
  n=$2 bin=$3
  mount --bind "/etc/ram/site-$n" /etc/ram
  pids=()
  "$bin/nembad" > /etc/ram/nembad.out 2>&1 & pids+=($!)
  "$bin/keyd-bridge" > /etc/ram/bridge.out 2>&1 &
  bridge=$!
  # The cabinet reports every 5 s: the bridge's request for the
  # configuration is answered by the next report.
  "$bin/keyd-sim" --cabinet "$here/etc/cabinet.json" --listen "127.0.0.$n:5555" \
    --report-interval 5 < /dev/null > /etc/ram/keyd-sim.out 2>&1 & pids+=($!)
  "$bin/keyd-translator" > /etc/ram/translator.out 2>&1 & pids+=($!)
  # The bridge first, so it still reaches the bus and says "offline".
  trap 'kill -TERM $bridge; wait $bridge; kill -TERM "${pids[@]}"; wait; exit 0' TERM INT
  wait
  exit 0
fi

if [ "${1:-}" = --inside ]; then
  bin=$2 sites=$3
  log() { echo "[fleet]   $*"; }
  cat > /etc/ram/broker.conf <<CONF
listener 1883 127.0.0.1
allow_anonymous true
user root
sys_interval 1
max_queued_messages 100000
log_dest file /etc/ram/broker.log
CONF
  mosquitto -c /etc/ram/broker.conf &
  broker=$!
  for _ in $(seq 50); do  # until it answers, for its memory before the sites
    mosquitto_sub -t '$SYS/broker/version' -C 1 -W 1 > /dev/null 2>&1 && break
    sleep 0.1
  done
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$broker/status")
  # The console listens on /etc/ram/console.sock, which the demo's shell
  # outside the sandbox serves on a TCP port.
  bash "$here/scripts/fleet-console.sh" start "$bin" /etc/ram 1883 > /etc/ram/console.out 2>&1 &
  console=$!
  runners=()
  for n in $(seq 1 "$sites"); do
    dir=/etc/ram/site-$n
    mkdir -p "$dir"
    logging="log4cpp.rootCategory=INFO, file
log4cpp.appender.file=FileAppender
log4cpp.appender.file.layout=PatternLayout
log4cpp.appender.file.layout.ConversionPattern=%d %p %c: %m%n"
    printf 'nemba.channeler.port=%d\nnemba.broadcaster.port=%d\n' $((20000 + 2 * n)) \
      $((20001 + 2 * n)) > "$dir/nembad.conf"
    printf 'host=127.0.0.%d\n%s\nlog4cpp.appender.file.fileName=/etc/ram/translator.log\n' \
      "$n" "$logging" > "$dir/keyd-translator.conf"
    printf 'site.id=site-%d\nmqtt.host=127.0.0.1\n%s\nlog4cpp.appender.file.fileName=/etc/ram/bridge.log\n' \
      "$n" "$logging" > "$dir/keyd-bridge.conf"
    unshare --mount bash "$0" --site "$n" "$bin" &
    runners+=($!)
  done
  log "$sites sites started (logs in $KEYD_SANDBOX_RAM/site-N)"
  status=0
  /usr/bin/python3 "$here/scripts/fleet-control.py" --sites "$sites" \
    --seconds "${FLEET_SECONDS:-30}" --stop "${runners[*]}" --broker-pid "$broker" \
    --broker-rss-kb "$rss" || status=$?
  kill -TERM "${runners[@]}" "$console" 2>/dev/null || true
  wait "${runners[@]}" "$console" 2>/dev/null || true
  kill -TERM "$broker"
  wait "$broker" || true
  exit "$status"
fi

cd "$here"
scripts/setup.sh
scripts/build.sh release keyd-translator nembad keyd-sim keyd-sandbox keyd-bridge
ram=$(mktemp -d /tmp/keyd-fleet.XXXXXX)
echo "[fleet]   the sandbox's /etc/ram is $ram"
scripts/fleet-console.sh serve "$ram" "${FLEET_CONSOLE_PORT:-8080}" &
serve=$!
trap 'kill -TERM "$serve" 2>/dev/null' EXIT
build/release/bin/keyd-sandbox "$ram" bash "$here/scripts/fleet-demo.sh" --inside \
  "$here/build/release/bin" "${1:-20}"
