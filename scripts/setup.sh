#!/usr/bin/env bash
# Installs everything keyd-translator needs to build, test and run, on a
# fresh Debian 12 machine. Idempotent: when all is present it only checks.
set -euo pipefail

packages=(
  build-essential cmake pkg-config             # toolchain
  liblog4cpp5-dev libjansson-dev uuid-dev       # the translator's libraries
  libsystemd-dev                                # readiness and watchdog (sd_notify)
  libzmq3-dev cppzmq-dev                        # the bus engine
  libgtest-dev libgmock-dev libbenchmark-dev    # tests and benchmarks
  debhelper dpkg-dev lintian                   # the Debian package (scripts/package.sh)
  systemd man-db groff-base                     # its test: systemd-analyze, -sysusers, -tmpfiles; man
  mmdebstrap systemd-container                  # the packages on a booted Debian 12 (tests/package/booted_test.sh)
  clang libclang-rt-14-dev                      # fuzzing (libFuzzer)
  util-linux                                    # unshare, for the sandboxes
  tshark                                        # the dissector's test (tools/wireshark)
  libmosquitto-dev                              # the bridge's MQTT client
  libssl-dev                                    # the bridge's signed commands (libcrypto's HMAC)
  mosquitto mosquitto-clients openssl           # the bridge's tests: a broker, its clients, a test CA
  python3-paho-mqtt                             # the fleet demonstration's control room
  python3-aiohttp python3-bcrypt                # the web console (console/)
  nginx                                         # its tests: a TLS-terminating reverse proxy in front of it
  python3-psycopg2                              # the console's history shared in PostgreSQL (history.url)
  postgresql                                    # its test and benchmark run a PostgreSQL cluster of their own
  chromium chromium-driver python3-selenium     # the console's browser test
  gnuplot-nox                                   # bench/run.sh's site-size plot
  valgrind                                      # bench/callgrind.sh
  ejabberd                                      # scripts/fleet-scale.sh, tests/fleet: a clustered MQTT 5 broker
  procps                                        # fleet-scale.sh: pgrep, for its nodes' processes
)

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  # tshark's package asks whether non-root users may capture: no.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo debconf-set-selections
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  # The fleet's runs start their own ejabberd nodes in a sandbox: the
  # package's own service, just installed and started by it, is not wanted.
  if [[ " ${missing[*]} " == *" ejabberd "* ]] && [ -d /run/systemd/system ]; then
    $sudo systemctl disable --now ejabberd >/dev/null 2>&1 || true
  fi
fi

# The translator's configuration lives in /etc/ram; the sandboxes mount a
# private directory there, which needs the mount point.
[ -d /etc/ram ] || $sudo mkdir -p /etc/ram
echo "setup: all dependencies present"
