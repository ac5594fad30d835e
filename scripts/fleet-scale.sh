#!/usr/bin/env bash
# fleet-scale.sh [SITES]: the fleet past one machine, measured. In one
# private sandbox (user, mount and network namespaces: nothing of the
# machine is touched): a cluster of FLEET_NODES (default 2) ejabberd MQTT
# nodes, node N on 127.0.1.N:1883; SITES (default 1000) simulated sites
# (tools/keyd-fleet-sim, one process) spread over the nodes; FLEET_REALS
# (default 5) real sites beside them, each a bus daemon, a translator, a key
# cabinet (keyd-sim) and a bridge, whose bridge takes one broker, so real
# site N uses node ((N-1) mod NODES)+1; PostgreSQL (the consoles' shared
# history and sessions); two web consoles, console N on 127.0.0.1:808N with
# the broker list "its own node N, then the others", behind nginx on
# 127.0.0.1:8080 (round robin). Then tools/keyd-fleet-sim/keyd-fleet-drive,
# a page of the consoles (logged in through nginx) and an MQTT client of
# node 1: it starts the sites, waits until the page shows them all
# online, sends FLEET_RATE (default 50) commands a second across the fleet
# for FLEET_LOAD (default 60) seconds, kills the last node after
# FLEET_KILL_AFTER (20) seconds of it and starts it again FLEET_RESTART_AFTER
# (10) seconds later (FLEET_RESTART=rejoin: forgotten by the cluster, started
# empty and joined again; plain: started as it was), and prints every figure ("[figures] ..."; FLEET_JSON=FILE
# writes them as JSON too), with the history's check: one row per
# "update_lock" the sites sent, none missing and none twice. Exit status:
# the drive's (0: no command lost or acted on twice, every site online,
# every moved site back, the history complete), 77 when the sandbox cannot
# be made here.
#
# FLEET_BIN=DIR uses the programs built there (the suite's run) instead of
# setting up and building the release configuration.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
sim_dir=$here/tools/keyd-fleet-sim
ej=/etc/ram/ejabberd
domain=fleet.local

# ejabberdctl for node N with its own folders; the run is ours (no su).
ctl() {
  local n=$1
  shift
  HOME=$ej ejabberdctl --config-dir "$ej/n$n" --ctl-config "$ej/n$n/ctl.cfg" \
    --config "$ej/n$n/ejabberd.yml" --spool "$ej/n$n/spool" --logs "$ej/n$n/logs" \
    --node "n$n@localhost" "$@"
}

# Starts node N in the background; its Erlang VM's pid goes to $ej/nN.pid.
start_node() {
  local n=$1 runner
  (HOME=$ej exec ejabberdctl --config-dir "$ej/n$n" --ctl-config "$ej/n$n/ctl.cfg" \
    --config "$ej/n$n/ejabberd.yml" --spool "$ej/n$n/spool" --logs "$ej/n$n/logs" \
    --node "n$n@localhost" foreground >> "$ej/n$n/out" 2>&1 < /dev/null) &
  runner=$!   # ejabberdctl, whose child is the Erlang VM
  for _ in $(seq 100); do
    pgrep -P "$runner" beam.smp > "$ej/n$n.pid" && break
    sleep 0.1
  done
  # Up once its MQTT listener takes connections.
  for _ in $(seq 300); do
    (exec 3<> "/dev/tcp/127.0.1.$n/1883") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "[scale]   ejabberd node $n did not start: see $ej/n$n/out" >&2
  return 1
}

# Brings node N back after its loss. A node restarted as it was joins the
# cluster's database before its MQTT module is up, and until then the other
# nodes drop every client that publishes (their route look-up asks it and
# fails). So, unless FLEET_RESTART=plain: node 1 forgets the lost node,
# which starts again empty, on its own, and joins once it is up.
return_node() {
  local n=$1
  if [ "${FLEET_RESTART:-rejoin}" = plain ]; then start_node "$n"; return; fi
  ctl 1 leave_cluster "n$n@localhost" > /dev/null 2>&1
  rm -rf "$ej/n$n/spool"
  mkdir -p "$ej/n$n/spool"
  start_node "$n"
  ctl "$n" join_cluster n1@localhost > /dev/null 2>&1
}

case "${1:-}" in
--node-start) start_node "$2"; exit ;;
--node-return) return_node "$2"; exit ;;
--node-kill) kill -KILL "$(cat "$ej/n$2.pid")"; exit ;;
--site)
  # One real site in its own mount namespace, as the fleet demonstration runs one.
  exec "$here/scripts/fleet-demo.sh" --site "$2" "$3"
  ;;
--start-sites)
  # Called by the drive: the simulator and the real sites, in the background.
  bin=$2 sites=$3 reals=$4 nodes=$5
  list=$(for n in $(seq 1 "$nodes"); do printf '127.0.1.%d:1883,' "$n"; done)
  /usr/bin/python3 "$sim_dir/keyd-fleet-sim" --sites "$sites" --nodes "${list%,}" \
    --username site --password-file "$ej/site.pw" --stats /etc/ram/sim-stats.json \
    > /etc/ram/sim.out 2>&1 < /dev/null &
  echo $! > /etc/ram/sites.pids
  logging="log4cpp.rootCategory=INFO, file
log4cpp.appender.file=FileAppender
log4cpp.appender.file.layout=PatternLayout
log4cpp.appender.file.layout.ConversionPattern=%d %p %c: %m%n"
  for n in $(seq 1 "$reals"); do
    dir=/etc/ram/site-$n
    mkdir -p "$dir"
    cp "$ej/site.pw" "$dir/mqtt.pw"
    printf 'nemba.channeler.port=%d\nnemba.broadcaster.port=%d\n' $((20000 + 2 * n)) \
      $((20001 + 2 * n)) > "$dir/nembad.conf"
    printf 'host=127.0.0.%d\n%s\nlog4cpp.appender.file.fileName=/etc/ram/translator.log\n' \
      "$n" "$logging" > "$dir/keyd-translator.conf"
    printf 'site.id=site-%d\nmqtt.host=127.0.1.%d\nmqtt.username=site\nmqtt.password_file=/etc/ram/mqtt.pw\n%s\nlog4cpp.appender.file.fileName=/etc/ram/bridge.log\n' \
      "$n" $(((n - 1) % nodes + 1)) "$logging" > "$dir/keyd-bridge.conf"
    unshare --mount bash "$0" --site "$n" "$bin" < /dev/null > /dev/null 2>&1 &
    echo $! >> /etc/ram/sites.pids
  done
  exit 0
  ;;
--stop-sites)
  pids=$(cat /etc/ram/sites.pids)
  # shellcheck disable=SC2086
  kill -TERM $pids 2>/dev/null || true
  for _ in $(seq 100); do
    alive=0
    for p in $pids; do [ -d "/proc/$p" ] && alive=1; done
    [ "$alive" = 0 ] && exit 0
    sleep 0.1
  done
  exit 0
  ;;
--inside)
  bin=$2 sites=$3 reals=$4 nodes=$5
  say() { echo "[scale]   $*"; }
  # A thousand sites' sockets in one process.
  ulimit -n "$(ulimit -Hn)" 2>/dev/null || ulimit -n 65536 2>/dev/null || true
  mkdir -p "$ej"
  # One cookie for every node: they run under the same HOME.
  echo "keyd-fleet-$RANDOM$RANDOM" > "$ej/.erlang.cookie"
  chmod 400 "$ej/.erlang.cookie"
  openssl rand -hex 16 > "$ej/site.pw"
  openssl rand -hex 16 > "$ej/console.pw"
  chmod 600 "$ej/console.pw"   # the consoles warn about a password file others may read
  for n in $(seq 1 "$nodes"); do
    mkdir -p "$ej/n$n/spool" "$ej/n$n/logs"
    # The Erlang VM's schedulers do not spin while idle: its CPU time is its work.
    printf 'EXEC_CMD=as_current_user\nERLANG_NODE=n%d@localhost\nERL_OPTIONS="+sbwt none +sbwtdcpu none +sbwtdio none"\n' \
      "$n" > "$ej/n$n/ctl.cfg"
    : > "$ej/n$n/inetrc"
    sed -e "s/@IP@/127.0.1.$n/" -e "s/@PASSWORD_FORMAT@/${FLEET_PASSWORD_FORMAT:-scram}/" \
      "$sim_dir/ejabberd.yml" > "$ej/n$n/ejabberd.yml"
  done
  pg=/usr/lib/postgresql/15/bin
  as_user=(unshare --user --map-user=1000 --map-group=1000)   # PostgreSQL runs as no root
  cleanup() {
    [ -f /etc/ram/sites.pids ] && bash "$0" --stop-sites
    [ -n "${proxy:-}" ] && kill -TERM "$proxy" 2>/dev/null && wait "$proxy" 2>/dev/null
    for c in ${consoles:-}; do kill -TERM "$c" 2>/dev/null && wait "$c" 2>/dev/null; done
    [ -n "${postgres:-}" ] && kill -INT "$postgres" 2>/dev/null && wait "$postgres" 2>/dev/null
    for n in $(seq 1 "$nodes"); do
      [ -f "$ej/n$n.pid" ] && kill -KILL "$(cat "$ej/n$n.pid")" 2>/dev/null
    done
    kill -TERM "$epmd" 2>/dev/null
    wait 2>/dev/null
  }
  # The nodes' name server, ours to stop (a node would start one that
  # outlives the run).
  epmd -address 127.0.0.1 &
  epmd=$!
  trap cleanup EXIT
  t=$SECONDS
  starters=()
  for n in $(seq 1 "$nodes"); do start_node "$n" & starters+=($!); done
  for p in "${starters[@]}"; do wait "$p"; done
  for n in $(seq 2 "$nodes"); do ctl "$n" join_cluster n1@localhost > /dev/null 2>&1; done
  members=$(ctl 1 list_cluster 2>/dev/null | grep -c '@localhost' || true)
  if [ "$members" != "$nodes" ]; then
    say "the cluster has $members of $nodes nodes: see $ej/nN/logs"
    exit 1
  fi
  ctl 1 register site "$domain" "$(cat "$ej/site.pw")" > /dev/null 2>&1
  ctl 1 register console "$domain" "$(cat "$ej/console.pw")" > /dev/null 2>&1
  say "ejabberd $(dpkg-query -W -f='${Version}' ejabberd 2>/dev/null): $nodes nodes in $((SECONDS - t)) s:" \
    "$(ctl 1 list_cluster 2>/dev/null | tr '\n' ' ')"
  for n in $(seq 1 "$nodes"); do
    say "node $n on 127.0.1.$n:1883, $(awk '/^VmRSS:/ {print $2}' "/proc/$(cat "$ej/n$n.pid")/status") KiB resident"
  done
  # PostgreSQL on a Unix socket in /etc/ram/pg: the consoles' history and sessions.
  t=$SECONDS
  "${as_user[@]}" "$pg/initdb" -D /etc/ram/pg/data -U keyd --auth=trust -E UTF8 --locale=C.UTF-8 > /dev/null
  "${as_user[@]}" "$pg/postgres" -D /etc/ram/pg/data -k /etc/ram/pg -c listen_addresses= \
    > /etc/ram/pg/out 2>&1 &
  postgres=$!
  history="postgresql:///postgres?host=/etc/ram/pg&user=keyd"
  for _ in $(seq 300); do
    grep -q "ready to accept connections" /etc/ram/pg/out && break
    sleep 0.1
  done
  say "PostgreSQL $("$pg/postgres" --version | awk '{print $3}') in $((SECONDS - t)) s"
  # Two consoles, console N first on node N (then the others); the demo user for the drive's page.
  consoles=""
  upstream=""
  for c in 1 2; do
    own=$(((c - 1) % nodes + 1))
    list="127.0.1.$own:1883"
    for n in $(seq 1 "$nodes"); do [ "$n" != "$own" ] && list="$list,127.0.1.$n:1883"; done
    printf 'http.listen=127.0.0.1:808%d\nmqtt.host=%s\nmqtt.username=console\nmqtt.password_file=%s\nusers.file=/etc/ram/console-users\nhistory.url=%s\nhttp.trusted_proxies=127.0.0.1\n' \
      "$c" "$list" "$ej/console.pw" "$history" > "/etc/ram/keyd-console-$c.conf"
    upstream="$upstream server 127.0.0.1:808$c;"
  done
  printf 'demo-keyd\ndemo-keyd\n' | "$bin/keyd-console" --conf /etc/ram/keyd-console-1.conf adduser demo > /dev/null
  for c in 1 2; do
    "$bin/keyd-console" --conf "/etc/ram/keyd-console-$c.conf" > "/etc/ram/console-$c.out" 2>&1 &
    consoles="$consoles $!"
  done
  cat > /etc/ram/nginx.conf <<EOF
user root; daemon off; master_process off; pid /etc/ram/nginx.pid; error_log stderr notice;
events {}
http { access_log off; client_body_temp_path /etc/ram; proxy_temp_path /etc/ram;
  fastcgi_temp_path /etc/ram; uwsgi_temp_path /etc/ram; scgi_temp_path /etc/ram;
  upstream consoles {$upstream }
  server { listen 127.0.0.1:8080;
    location / { proxy_pass http://consoles; proxy_http_version 1.1; proxy_set_header Host \$host;
      proxy_set_header X-Forwarded-For \$proxy_add_x_forwarded_for; proxy_read_timeout 600s;
      proxy_set_header Upgrade \$http_upgrade; proxy_set_header Connection \$http_connection; } } }
EOF
  nginx -e stderr -p /etc/ram -c /etc/ram/nginx.conf > /etc/ram/nginx.out 2>&1 &
  proxy=$!
  for port in 8081 8082 8080; do
    for _ in $(seq 300); do
      (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
      sleep 0.1
    done
  done
  real_nodes=$(for n in $(seq 1 "$reals"); do printf '%d,' $(((n - 1) % nodes + 1)); done)
  pids=$(for n in $(seq 1 "$nodes"); do printf '%s,' "$ej/n$n.pid"; done)
  late=$(for n in $(seq 1 "$nodes"); do printf '127.0.1.%d:1883,' "$n"; done)
  status=0
  /usr/bin/python3 "$sim_dir/keyd-fleet-drive" --node 127.0.1.1:1883 \
    --username console --password-file "$ej/console.pw" \
    --sims "$sites" --reals "$reals" --real-nodes "${real_nodes%,}" \
    --console http://127.0.0.1:8080 --console-pid "$(echo $consoles | tr ' ' ,)" \
    --history "$history" --broker-pids "${pids%,}" \
    --start "bash '$0' --start-sites '$bin' $sites $reals $nodes" \
    --stop "bash '$0' --stop-sites" \
    --kill "bash '$0' --node-kill $nodes" --kill-node "$nodes" \
    --restart "bash '$0' --node-return $nodes" \
    --rate "${FLEET_RATE:-50}" --load "${FLEET_LOAD:-60}" \
    --kill-after "${FLEET_KILL_AFTER:-20}" --restart-after "${FLEET_RESTART_AFTER:-10}" \
    --expiry "${FLEET_EXPIRY:-30}" --late "${late%,}" --sim-stats /etc/ram/sim-stats.json \
    --cabinets '/etc/ram/site-*/keyd-sim.out' --json /etc/ram/figures.json || status=$?
  for n in $(seq 1 "$nodes"); do
    say "node $n: $(awk '/^VmRSS:/ {print $2}' "/proc/$(cat "$ej/n$n.pid")/status" 2>/dev/null) KiB resident at the end"
  done
  tail -n 3 /etc/ram/sim.out | sed 's/^/[sim]     /'
  rm -f /etc/ram/sites.pids   # stopped by the drive
  exit "$status"
  ;;
esac

cd "$here"
sites=${1:-1000} reals=${FLEET_REALS:-5} nodes=${FLEET_NODES:-2}
if [ -z "${FLEET_BIN:-}" ]; then
  scripts/setup.sh
  scripts/build.sh release keyd-translator nembad keyd-sim keyd-sandbox keyd-bridge
  FLEET_BIN=$here/build/release/bin
fi
ram=$(mktemp -d /tmp/keyd-fleet-scale.XXXXXX)
echo "[scale]   $nodes broker nodes, $sites simulated and $reals real sites; the sandbox's /etc/ram is $ram"
status=0
"$FLEET_BIN/keyd-sandbox" "$ram" bash "$here/scripts/fleet-scale.sh" --inside "$FLEET_BIN" \
  "$sites" "$reals" "$nodes" || status=$?
if [ -n "${FLEET_JSON:-}" ] && [ -f "$ram/figures.json" ]; then cp "$ram/figures.json" "$FLEET_JSON"; fi
# FLEET_CLEAN=1: the folder goes after a run that passed (the suite's).
if [ "${FLEET_CLEAN:-0}" = 1 ] && [ "$status" = 0 ]; then rm -rf "$ram"; fi
exit "$status"
