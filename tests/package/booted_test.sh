#!/usr/bin/env bash
# README's Install section on a booted Debian 12: a minimal root made by
# mmdebstrap from this machine's mirror (cached in build/), booted by
# systemd-nspawn (loopback only) with a mosquitto; the previous release, the
# upgrade to this build, the bridge and console, /etc/ram absent at boot,
# then a RAM disk; purge. Exit 77: this machine cannot boot a container.
# booted_test.sh SOURCE_DIR DEB_DIR WORK_DIR
set -euo pipefail
src=$1 debs=$2 work=$3 cache=$1/build/booted-cache root=$3/root
# STATUS LINE: the translator's in "systemctl status" (no key daemon here:
# never heard). Before the honest status it read "key-daemon link up|down".
status_re='Status: "key daemon (never heard|last heard [0-9]+ s ago), [0-9]+ reports, [0-9]+ publications, [0-9]+ commands"'

ct='' nspawn='' tp=$SECONDS t0=$SECONDS
in_ct() { nsenter -t "$ct" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
  DEBIAN_FRONTEND=noninteractive "$@"; }
fail() { echo "booted_test: $*" >&2; [ -z "$ct" ] || in_ct journalctl -b --no-pager -n 40 >&2; exit 1; }
skip() { echo "booted_test: skipped: $*" >&2; exit 77; }
phase() { printf 'booted_test: %-32s %4d s\n' "$1" $((SECONDS - tp)); tp=$SECONDS; }
wait_for() {  # SECONDS WHAT COMMAND...: until COMMAND succeeds in the container
  local end=$((SECONDS + $1)) what="$2 (within $1 s)"
  shift 2
  until in_ct "$@" >/dev/null 2>&1; do [ "$SECONDS" -lt "$end" ] || fail "no $what"; sleep 0.2; done
}
apt_ct() {  # LOG ARGS...: apt in the container, its lines (dpkg's end in CR) in LOG
  local log=$work/$1 && shift
  in_ct sh -c "apt $*" 2>&1 | tr -d '\r' >"$log" || fail "apt $*: $(tail -n 20 "$log")"
}
active() { for u; do [ "$(in_ct systemctl is-active "$u")" = active ] || fail "$u is not active"; done; }
boot() {
  systemd-nspawn --boot --register=no --keep-unit --private-network --console=read-only \
    -D "$root" -M "keydtest$$" >>"$work/console.log" 2>&1 &
  nspawn=$! ct=''
  local end=$((SECONDS + 30))
  until ct=$(pgrep -P "$nspawn" -x systemd); do
    kill -0 "$nspawn" 2>/dev/null && [ "$SECONDS" -lt "$end" ] ||
      { ct=''; $1 "systemd-nspawn did not boot: $(tail -n 5 "$work/console.log")"; }
    sleep 0.1
  done
  until state=$(timeout 120 nsenter -t "$ct" -a systemctl is-system-running --wait 2>/dev/null); do
    [ "${state:-offline}" = offline ] && [ "$SECONDS" -lt "$end" ] ||  # its bus is not there yet
      fail "the system is $state: $(in_ct systemctl --failed --no-legend)"
    sleep 0.1
  done
}
halt() {
  in_ct systemctl poweroff || true
  local end=$((SECONDS + 60))
  while kill -0 "$nspawn" 2>/dev/null; do [ "$SECONDS" -lt "$end" ] || fail "no power-off"; sleep 0.1; done
  wait "$nspawn" || true
  ct='' nspawn=''
}
trap '[ -z "$nspawn" ] || { kill "$nspawn"; wait "$nspawn"; } 2>/dev/null; umount "$root" 2>/dev/null || true' EXIT
# All files but the churn of the package manager, logs and users' backups.
files() { in_ct find / -xdev -regextype egrep -regex \
  '/var/(cache|log|tmp|lib/apt|lib/dpkg|lib/systemd/(catalog|deb-systemd-user-helper-enabled))(/.*)?|/etc/(passwd|group|shadow|gshadow)-' \
  -prune -o -print | sort; }

[ "$(id -u)" -eq 0 ] || skip "not root"
for t in systemd-nspawn mmdebstrap nsenter; do command -v "$t" >/dev/null || skip "no $t (scripts/setup.sh)"; done
grep -q '^cgroup' /proc/mounts || skip "no cgroup file system"
unshare -mpunif true 2>/dev/null || skip "cannot make namespaces here"
umount "$root" 2>/dev/null || true
rm -rf "$work" && mkdir -p "$work" "$cache"

# The root: systemd, mosquitto and every dependency of the packages.
sources=$(grep -lsE '^(deb|URIs:) .*/debian/?( |$)' /etc/apt/sources.list.d/*.sources \
  /etc/apt/sources.list.d/*.list /etc/apt/sources.list | head -n 1 || true)
[ -n "$sources" ] || fail "no Debian mirror in /etc/apt"
include=$(for d in "$debs"/*.deb; do dpkg-deb -f "$d" Depends; done | tr ',' '\n' |
  sed 's/|.*//; s/(.*//; s/ //g' | grep -v '^keyd-' | sort -u | tr '\n' ,)
include+=systemd-sysv,dbus,mosquitto,mosquitto-clients
base=$cache/debian12-$(cat "$sources" - <<<"$include" | sha256sum | cut -c1-16)
how=cached
if [ ! -d "$base" ]; then
  how=made && rm -rf "$cache"/debian12-* "$cache/part"
  mmdebstrap --variant=minbase --include="$include" bookworm "$cache/part" "$sources" \
    >"$work/mmdebstrap.log" 2>&1 || fail "mmdebstrap: $(tail -n 5 "$work/mmdebstrap.log")"
  mv "$cache/part" "$base"
fi
# The cached root stays as it is: the system writes to an overlay.
mkdir -p "$root" "$work/upper" "$work/overlay"
mount -t overlay overlay -o "lowerdir=$base,upperdir=$work/upper,workdir=$work/overlay" "$root" ||
  cp -a "$base/." "$root"
phase "root ($how)"

# The previous release: this tree with a lower version and other defaults.
key=$(cd "$src" && find debian etc scripts/package.sh -type f -print0 | sort -z | xargs -0 sha256sum |
  sha256sum | cut -c1-16)
how=cached
if [ ! -d "$cache/previous-$key" ]; then
  how=built && rm -rf "$cache"/previous-* && mkdir -p "$work/prev"
  tar -C "$src" --exclude-vcs --exclude=./build --exclude='./build-*' --exclude='./obj-*' \
    --exclude=./fuzz/work -cf - . | tar -C "$work/prev" -xf -
  sed -i '1s/(\([^)]*\))/(\1~prev)/' "$work/prev/debian/changelog"
  for f in keyd-translator nembad keyd-bridge; do echo "# The previous default." >>"$work/prev/etc/$f.conf"; done
  "$work/prev/scripts/package.sh" "$cache/previous.part" >/dev/null
  mv "$cache/previous.part" "$cache/previous-$key"
fi
mkdir -p "$root/root/debs/new"
cp "$cache/previous-$key"/keyd-translator_*.deb "$root/root/debs/"
cp "$debs"/keyd-{translator,bridge,console,tools}_*.deb "$root/root/debs/new/"
phase "previous release ($how)"

boot skip
in_ct sh -ec 'printf "listener 1883 127.0.0.1\nallow_anonymous false\npassword_file /etc/mosquitto/passwd\n" \
  >/etc/mosquitto/conf.d/fleet.conf
  mosquitto_passwd -c -b /etc/mosquitto/passwd site-1 bridge-secret
  mosquitto_passwd -b /etc/mosquitto/passwd console console-secret
  chown mosquitto: /etc/mosquitto/passwd && systemctl restart mosquitto'
files >"$work/before"
phase "boot"

# README: apt install ./FILE.deb. The previous release on a plain /etc/ram,
# a copy changed there; the upgrade keeps it (one line), refreshes the other.
apt_ct apt-previous.log install -y /root/debs/keyd-translator_*.deb
active nembad keyd-translator
in_ct sed -i 's/^pingTime=10$/pingTime=20/' /etc/ram/keyd-translator.conf
apt_ct apt-upgrade.log install -y /root/debs/new/*.deb
[ "$(grep '^keyd-.*: kept$' "$work/apt-upgrade.log")" = "keyd-translator: /etc/ram/keyd-translator.conf \
differs from the new default /etc/keyd-translator/keyd-translator.conf: kept" ] || fail "the upgrade's lines"
in_ct cmp /etc/ram/nembad.conf /etc/keyd-translator/nembad.conf || fail "nembad.conf not refreshed"
in_ct grep -qx 'pingTime=20' /etc/ram/keyd-translator.conf || fail "changed copy lost"
active nembad keyd-translator
[ "$(in_ct systemctl is-enabled keyd-bridge keyd-console etc-ram.mount | sort -u)" = disabled ] ||
  fail "the bridge, console or RAM disk enabled by the package"
phase "previous release, upgrade"

# The bridge, with its password readable by keyd-bridge alone; the console.
in_ct sh -ec 'printf "bridge-secret\n" >/etc/keyd-bridge/mqtt-password
  chgrp keyd-bridge /etc/keyd-bridge/mqtt-password && chmod 640 /etc/keyd-bridge/mqtt-password
  sed -i "s|^#* *site.id=.*|site.id=site-1|; s|^#* *mqtt.username=.*|mqtt.username=site-1|
    s|^#* *mqtt.password_file=.*|mqtt.password_file=/etc/keyd-bridge/mqtt-password|" /etc/keyd-translator/keyd-bridge.conf
  cp /etc/keyd-translator/keyd-bridge.conf /etc/ram/
  printf "console-secret\n" >/etc/keyd-console/mqtt-password
  chgrp keyd-console /etc/keyd-console/mqtt-password && chmod 640 /etc/keyd-console/mqtt-password
  sed -i "s|^#* *mqtt.username=.*|mqtt.username=console|
    s|^#* *mqtt.password_file=.*|mqtt.password_file=/etc/keyd-console/mqtt-password|" /etc/keyd-console/keyd-console.conf
  printf "alice-secret\nalice-secret\n" | keyd-console adduser alice
  systemctl enable --now keyd-bridge keyd-console' >"$work/fleet.log" 2>&1 || fail "$(cat "$work/fleet.log")"
! in_ct runuser -u keyd -- cat /etc/keyd-bridge/mqtt-password >/dev/null 2>&1 || fail "keyd reads the bridge's password"
active keyd-bridge keyd-console
[ "$(in_ct mosquitto_sub -h 127.0.0.1 -u console -P console-secret -t keyd/site-1/status -C 1 -W 30)" = online ] ||
  fail "the bridge is not online at the broker"
wait_for 30 "the console on the broker" sh -c 'journalctl -b -u keyd-console | grep -q "Connected to the broker"'
in_ct systemctl reload keyd-bridge keyd-console || fail "the bridge's or the console's reload"
in_ct python3 -c 'import urllib.request as u; assert u.urlopen("http://127.0.0.1:8080/").status == 200' ||
  fail "the console's page"
[ "$(in_ct systemctl show -P MemoryMax -P TasksMax keyd-bridge keyd-console | xargs)" = \
  "134217728 32 268435456 64" ] || fail "the bridge's or the console's limits"
echo "booted_test: resident, threads:" $(in_ct sh -c 'for u in keyd-bridge keyd-console; do
  echo $u; sed -n "s/^\(VmRSS\|Threads\):\s*//p" /proc/$(systemctl show -P MainPID $u)/status; done')
phase "bridge and console"

# /etc/ram absent at boot: made again, a folder; root's.
in_ct rm -rf /etc/ram
halt && boot fail
active nembad keyd-translator keyd-bridge keyd-console
[ "$(in_ct stat -f -c %T /etc/ram)" != tmpfs ] || fail "/etc/ram a RAM disk while etc-ram.mount is disabled"
in_ct systemctl status keyd-translator | grep -Eq "$status_re" || fail "no status line"
[ -z "$(in_ct find /bin/kill /usr/bin/kill 2>/dev/null)" ] || fail "the system is not minimal: it has kill"
! in_ct runuser -u keyd -- sh -c ': >>/etc/ram/nembad.conf' 2>/dev/null || fail "keyd may change nembad.conf"
phase "reboot, no /etc/ram"

# Reload: DEBUG into the translator's log file.
in_ct sh -ec 'f=/etc/ram/keyd-translator.conf
  sed -i "s/^log4cpp.rootCategory=INFO, syslog\$/log4cpp.rootCategory=DEBUG, file/" $f
  printf "log4cpp.appender.file%s\n" =FileAppender .fileName=/etc/ram/keyd-translator.log \
    .layout=PatternLayout ".layout.ConversionPattern=%d %p %c: %m%n" >>$f'
in_ct systemctl reload keyd-translator || fail "reload failed"
wait_for 20 "DEBUG in /etc/ram/keyd-translator.log" grep -q 'DEBUG .*No JSON received' /etc/ram/keyd-translator.log
phase "reload"

# The watchdog (30 s) restarts a translator that stopped answering.
pid=$(in_ct systemctl show -P MainPID keyd-translator)
in_ct systemctl kill --kill-who=main -s SIGSTOP keyd-translator
wait_for 90 "a restart by the watchdog" sh -c '[ "$(systemctl show -P NRestarts keyd-translator)" = 1 ] &&
  systemctl is-active -q keyd-translator && [ "$(systemctl show -P MainPID keyd-translator)" != '"$pid"' ]'
in_ct journalctl -b -u keyd-translator | grep -q 'Watchdog timeout' || fail "no watchdog timeout logged"
phase "watchdog"

# /etc/ram a RAM disk: the copies made again at boot, everything up.
in_ct systemctl enable etc-ram.mount 2>/dev/null
halt && boot fail
[ "$(in_ct stat -f -c %T /etc/ram)" = tmpfs ] || fail "/etc/ram is no RAM disk"
active nembad keyd-translator keyd-bridge keyd-console
in_ct cmp /etc/ram/keyd-translator.conf /etc/keyd-translator/keyd-translator.conf
phase "reboot, /etc/ram a RAM disk"

# Remove, purge: only the operator's files stay (the copies changed on the
# folder under the RAM disk, the passwords).
apt_ct apt-remove.log remove -y keyd-tools keyd-console keyd-bridge keyd-translator
[ -z "$(in_ct find /proc -maxdepth 1 \( -user keyd -o -user keyd-bridge -o -user keyd-console \))" ] ||
  fail "daemons left running"
in_ct umount /etc/ram
apt_ct apt-purge.log purge -y keyd-tools keyd-console keyd-bridge keyd-translator
grep -q '^keyd-translator: /etc/ram/keyd-translator.conf was changed here: kept$' "$work/apt-purge.log" ||
  fail "purge did not name the changed copy"
files >"$work/after"
diff <(comm -3 "$work/before" "$work/after") <(printf '\t%s\n' /etc/keyd-bridge{,/mqtt-password} \
  /etc/keyd-console{,/mqtt-password} /etc/ram{,/keyd-bridge.conf,/keyd-translator.conf}) ||
  fail "purge left (>) or took (<) files"
phase "remove and purge"
halt
phase "power-off"
echo "booted_test: passed in $((SECONDS - t0)) s"
