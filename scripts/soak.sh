#!/usr/bin/env bash
# soak.sh [COUNT [RATE]]: builds the optimised programs and runs, in a private
# sandbox (own loopback and /etc/ram), nembad, keyd-translator logging at
# INFO, a "site_info" subscriber and a sender of COUNT (default 1000000)
# configuration reports to 127.0.0.1:5555 at full speed, or RATE per second
# (at a rate the translator keeps up with, every report is handled). Prints
# what was sent, published and dropped (and where), checks that every report is
# accounted for and that the translator's memory stayed flat; exits 0 when
# all holds. Stops by itself: SOAK_DEADLINE seconds (default 900) at most.
# KEYD_BUILD_DIR chooses the build folder (default build/release);
# SOAK_KEEP=1 keeps the sandbox's /etc/ram folder with the translator's log
# and the output of the translator and nembad.
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-1000000}
rate=${2:-0}
deadline=${SOAK_DEADLINE:-900}
build=${KEYD_BUILD_DIR:-build/release}
case "$count$rate" in ''|*[!0-9]*) echo "usage: soak.sh [COUNT [RATE]]" >&2; exit 2 ;; esac

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYD_SANITIZE= >/dev/null
cmake --build "$build" -j 2 --target soak_driver keyd-translator nembad keyd-sandbox >/dev/null
bin=$(cd "$build/bin" && pwd)

ram=$(mktemp -d /tmp/keyd-soak.XXXXXX)
[ "${SOAK_KEEP:-0}" = 1 ] || trap 'rm -rf "$ram"' EXIT
# The translator's configuration: debug lines are filtered out by the
# category's INFO priority; warnings (the event pump's "Event queue full")
# and errors go to the file.
cat > "$ram/keyd-translator.conf" <<'CONF'
host=127.0.0.1
pingTime=10
log4cpp.rootCategory=INFO, file
log4cpp.appender.file=FileAppender
log4cpp.appender.file.fileName=/etc/ram/keyd-translator.log
log4cpp.appender.file.layout=PatternLayout
log4cpp.appender.file.layout.ConversionPattern=%d %c %p %m%n
CONF
# The bus ports at their defaults, as the soak driver's subscriber expects.
echo '# the bus ports at their defaults' > "$ram/nembad.conf"

echo "soak: $count reports, sandbox /etc/ram is $ram"
status=0
timeout --kill-after=10 $((deadline + 60)) \
  "$bin/keyd-sandbox" "$ram" "$bin/soak_driver" "$count" "$deadline" "$rate" || status=$?
[ "$status" = 0 ] && echo "soak: PASSED" || echo "soak: FAILED (status $status)"
exit "$status"
