#!/usr/bin/env bash
# bench/run.sh: builds the benchmarks (scripts/build.sh release), runs them
# in one private sandbox (own network namespace and /etc/ram: all traffic on
# its own loopback) and prints one table. It stops by itself, after about
# three minutes on a built tree; docs/performance.md explains every row.
#
# It also writes the site-size plot (gnuplot, PNG): CPU per report against
# the number of locks, to BENCH_PLOT (default docs/site-size.png).
#
# Settings (environment):
#   BENCH_IDLE_SECONDS     idle CPU window of the translator (60)
#   BENCH_STEP_SECONDS     length of one throughput step (2)
#   BENCH_LATENCY_SECONDS  length of the latency runs at 1,000 reports/s, per target (20)
#   BENCH_MIN_TIME         Google Benchmark minimum time per benchmark (0.5)
#   BENCH_KEEP=1           keep the work folder (logs, raw results)
#   KEYD_BENCH_BIN=DIR     use the programs in DIR instead of building
#   BENCH_PLOT=FILE        where the site-size plot goes (docs/site-size.png)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")

idle=${BENCH_IDLE_SECONDS:-60}
step=${BENCH_STEP_SECONDS:-2}
latency=${BENCH_LATENCY_SECONDS:-20}
min_time=${BENCH_MIN_TIME:-0.5}

# The translator's configuration: log4cpp at LEVEL into a file in /etc/ram.
source "$here/conf.sh"  # write_conf LEVEL PINGTIME

# Inside the sandbox: bus daemon, micro benchmarks (INFO, then DEBUG to a
# file), then the end-to-end driver, which starts the translator and the
# relay itself.
inside() {
  local work=$1 bin=$2
  # Every program here uses the default bus ports; the file only spares the
  # translator and nembad the line about a missing file.
  echo '# the bus ports at their defaults' > /etc/ram/nembad.conf
  "$bin/nembad" > "$work/nembad.out" 2>&1 &
  bus=$!
  trap 'kill $bus 2>/dev/null || true; wait $bus 2>/dev/null || true' EXIT
  for _ in $(seq 50); do
    grep -q "nembad: channeler" "$work/nembad.out" && break
    sleep 0.1
  done

  echo "bench: micro benchmarks, log level INFO" >&2
  # An hour between pings: an unchanged report is only compared.
  write_conf INFO 3600
  timeout 120 "$bin/micro_bench" --broker --benchmark_min_time="$min_time" \
    --benchmark_format=csv > "$work/micro-info.csv" 2> "$work/micro-info.err"
  echo "bench: micro benchmarks, log level DEBUG to a file" >&2
  write_conf DEBUG 3600
  rm -f /etc/ram/keyd-translator.log
  timeout 120 "$bin/micro_bench" --broker --benchmark_filter='^broker/(set|unlock)' \
    --benchmark_min_time="$min_time" --benchmark_format=csv \
    > "$work/micro-debug.csv" 2> "$work/micro-debug.err"
  stat -c %s /etc/ram/keyd-translator.log > "$work/debug-log-bytes" 2>/dev/null || echo 0 > "$work/debug-log-bytes"
  rm -f /etc/ram/keyd-translator.log

  echo "bench: end to end (idle ${idle} s, then throughput and latency)" >&2
  write_conf INFO 10
  timeout 420 "$bin/e2e_bench" --translator "$bin/keyd-translator" --relay "$bin/bare_relay" \
    --bus-pid $bus \
    --log-dir "$work" --idle-seconds "$idle" --step-seconds "$step" \
    --latency-rate 1000 --latency-seconds "$latency" \
    > "$work/e2e.txt" 2> "$work/e2e.log"

  # DEBUG to a file: the translator alone, up to 4,000 reports/s in steps of
  # 1 s (a 10-lock report is about 470 lines, 60 KB), then stopped with
  # SIGTERM and its log counted.
  echo "bench: end to end, log level DEBUG to a file" >&2
  write_conf DEBUG 10
  rm -f /etc/ram/keyd-translator.log
  timeout 300 "$bin/e2e_bench" --translator "$bin/keyd-translator" --translator-only 1 \
    --bus-pid $bus --log-dir "$work" --idle-seconds 0 --step-seconds 1 \
    --start-rate 1000 --max-rate 4000 --bisections 2 --latency-seconds 0 \
    --log-file /etc/ram/keyd-translator.log \
    > "$work/e2e-debug.txt" 2> "$work/e2e-debug.log"
  rm -f /etc/ram/keyd-translator.log
}

if [[ ${1:-} == --inside ]]; then
  inside "$2" "$3"
  exit 0
fi

# ---------------------------------------------------------------- outside
if [[ -n ${KEYD_BENCH_BIN:-} ]]; then
  bin=$KEYD_BENCH_BIN
else
  echo "bench: building (scripts/build.sh release)" >&2
  "$root/scripts/build.sh" release keyd-translator nembad keyd-sandbox \
    micro_bench e2e_bench bare_relay >&2
  bin=$root/build/release/bin
fi
bin=$(cd "$bin" && pwd)

work=$(mktemp -d /tmp/keyd-bench.XXXXXX)
mkdir -p "$work/ram"
if [[ ${BENCH_KEEP:-0} != 1 ]]; then
  trap 'rm -rf "$work"' EXIT
else
  echo "bench: raw results in $work" >&2
fi

start=$(date +%s)
if ! "$bin/keyd-sandbox" "$work/ram" bash "$here/run.sh" --inside "$work" "$bin"; then
  echo "bench: the run failed; its logs:" >&2
  tail -n 20 "$work"/*.err "$work"/e2e.log >&2 || true
  exit 1
fi
elapsed=$(( $(date +%s) - start ))

# ---------------------------------------------------------------- the table
# value KEY [FILE]: a number from the end-to-end results ("key value" lines).
value() { awk -v k="$1" '$1 == k { print $2 }' "${2:-$work/e2e.txt}"; }
dvalue() { value "$1" "$work/e2e-debug.txt"; }
# micro FILE NAME: "wall / CPU" in µs per operation of one benchmark.
micro() {
  awk -F, -v n="\"$2\"" '$1 == n {
      f = ($5 == "ns") ? 1e-3 : ($5 == "us") ? 1 : ($5 == "ms") ? 1e3 : 1e6
      printf "%.2f µs (CPU %.2f µs)", $3 * f, $4 * f }' "$1"
}
calc() { awk "BEGIN { printf \"$1\", $2 }"; }
verdict() { awk "BEGIN { print (($1) ? \"yes\" : \"**no**\") }"; }

tr_rate=$(value translator_lossless_reports_per_s)
re_rate=$(value relay_lossless_reports_per_s)
tr_p50=$(value translator_latency_p50_us)
re_p50=$(value relay_latency_p50_us)
tr_p99=$(value translator_latency_p99_us)
re_p99=$(value relay_latency_p99_us)
idle_pct=$(value translator_idle_cpu_percent)
idle_ns_pct=$(value translator_idle_cpu_percent_schedstat)
idle_ticks=$(value translator_idle_cpu_ticks)
rss0=$(value translator_rss_start_kib)
rss1=$(value translator_rss_after_kib)
reports=$(value translator_reports_total)
level=INFO

printf '\n'
printf '| Measurement | Translator | Bare relay | Translator/relay | Target | Met |\n'
printf '|---|---|---|---|---|---|\n'
printf '| micro: serialise SET report, key + 10 locks (`getMsg`) | %s | | | | |\n' \
  "$(micro "$work/micro-info.csv" codec/serialise_set_report)"
printf '| micro: parse SET report (`parseMsg`) | %s | | | | |\n' \
  "$(micro "$work/micro-info.csv" codec/parse_set_report)"
for lv in INFO DEBUG; do
  f=$work/micro-$(echo $lv | tr A-Z a-z).csv
  [[ $lv == DEBUG ]] && note=" to a file" || note=", DEBUG filtered"
  printf '| micro: `onMessage` SET, unchanged configuration, log %s%s | %s | | | | |\n' \
    $lv "$note" "$(micro "$f" broker/set_unchanged/log:$lv)"
  printf '| micro: `onMessage` SET, changed configuration (publishes), log %s%s | %s | | | | |\n' \
    $lv "$note" "$(micro "$f" broker/set_changed/log:$lv)"
  printf '| micro: `handleJSON_message` "UNLOCK" of a known lock, log %s%s | %s | | | | |\n' \
    $lv "$note" "$(micro "$f" broker/unlock_known/log:$lv)"
done
printf '| e2e: reports/s at log DEBUG to a file, every one published (highest lossless rate, at most 4,000 tried) | %.0f | | | ≥ 2,000 | %s |\n' \
  "$(dvalue translator_lossless_reports_per_s)" "$(verdict "$(dvalue translator_lossless_reports_per_s) >= 2000")"
printf '| e2e: log DEBUG, its lines after SIGTERM (exit status %s): "CFG Message Sent" lines / publications; lines per report | %.0f / %.0f; %.1f | | | every line | %s |\n' \
  "$(dvalue translator_stop_status)" "$(dvalue translator_log_cfg_sent_lines)" \
  "$(dvalue translator_publications)" \
  "$(calc '%.1f' "$(dvalue translator_log_lines) / $(dvalue translator_log_handled_lines)")" \
  "$(verdict "$(dvalue translator_log_cfg_sent_lines) == $(dvalue translator_publications) && $(dvalue translator_stop_status) == 0")"
printf '| e2e: reports/s, every one published (highest lossless rate) | %.0f | %.0f | %s | ≥ 50%% | %s |\n' \
  "$tr_rate" "$re_rate" "$(calc '%.0f%%' "100 * $tr_rate / $re_rate")" \
  "$(verdict "$tr_rate >= 0.5 * $re_rate")"
printf '| e2e: CPU per report at that rate (process / bus daemon / driver) | %.1f / %.1f / %.1f µs | %.1f / %.1f / %.1f µs | %s | | |\n' \
  "$(value translator_cpu_us_per_report)" "$(value translator_bus_cpu_us_per_report)" \
  "$(value translator_driver_cpu_us_per_report)" "$(value relay_cpu_us_per_report)" \
  "$(value relay_bus_cpu_us_per_report)" "$(value relay_driver_cpu_us_per_report)" \
  "$(calc '%.1f' "$(value translator_cpu_us_per_report) / $(value relay_cpu_us_per_report)")"
printf '| e2e: CPU per report at 1,000 reports/s (process / bus daemon / driver) | %.1f / %.1f / %.1f µs | %.1f / %.1f / %.1f µs | %s | | |\n' \
  "$(value translator_latency_cpu_us_per_report)" "$(value translator_latency_bus_cpu_us_per_report)" \
  "$(value translator_latency_driver_cpu_us_per_report)" "$(value relay_latency_cpu_us_per_report)" \
  "$(value relay_latency_bus_cpu_us_per_report)" "$(value relay_latency_driver_cpu_us_per_report)" \
  "$(calc '%.1f' "$(value translator_latency_cpu_us_per_report) / $(value relay_latency_cpu_us_per_report)")"
printf '| e2e: latency p50 at 1,000 reports/s | %.0f µs | %.0f µs | %s | | |\n' \
  "$tr_p50" "$re_p50" "$(calc '%.2f' "$tr_p50 / $re_p50")"
printf '| e2e: latency p99 at 1,000 reports/s | %.0f µs | %.0f µs | %s | ≤ 1.2 | %s |\n' \
  "$tr_p99" "$re_p99" "$(calc '%.2f' "$tr_p99 / $re_p99")" "$(verdict "$tr_p99 <= 1.2 * $re_p99")"
printf '| idle CPU over %.0f s (utime+stime; scheduler ns of live threads) | %.4f%% (%d ticks); %.4f%% | | | ≤ 0.1%% of a core | %s |\n' \
  "$(value translator_idle_seconds)" "$idle_pct" "$idle_ticks" "$idle_ns_pct" \
  "$(verdict "$idle_pct <= 0.1")"
printf '| VmRSS after start-up | %.1f MiB | | | < 16 MiB | %s |\n' \
  "$(calc '%.3f' "$rss0 / 1024")" "$(verdict "$rss0 < 16384")"
printf '| VmRSS after %.0f reports | %.1f MiB | | | < 16 MiB | %s |\n' \
  "$reports" "$(calc '%.3f' "$rss1 / 1024")" "$(verdict "$rss1 < 16384")"
printf '\n'
printf 'Logging for the e2e rows: %s (DEBUG filtered) to a file. Latency runs lost %s (translator) and %s (relay) of %s reports.\n' \
  "$level" "$(value translator_latency_lost)" "$(value relay_latency_lost)" \
  "$(value translator_latency_reports)"
printf 'DEBUG micro run wrote %s bytes of log. Whole run: %d s. Machine: %s cores, %s, kernel %s, load average before the table: %s.\n' \
  "$(cat "$work/debug-log-bytes")" "$elapsed" "$(nproc)" \
  "$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')" "$(uname -r)" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"

# ---------------------------------------------------------------- site size
# CPU per report (the process's, the bus client's I/O thread included) by the
# number of locks, at INFO: a table and the plot.
sizes=$work/site-size.dat
awk -F, '$1 ~ /^"broker\/site_(un)?changed\/locks:/ {
    split($1, p, "/"); sub(/locks:/, "", p[3]); kind = p[2]
    f = ($5 == "ns") ? 1e-3 : ($5 == "us") ? 1 : ($5 == "ms") ? 1e3 : 1e6
    cpu[p[3] + 0, kind] = $4 * f; locks[p[3] + 0] = 1 }
  END { for (n in locks) printf "%d %.3f %.3f\n", n, cpu[n, "site_unchanged"], cpu[n, "site_changed"] }' \
  "$work/micro-info.csv" | sort -n > "$sizes"
printf '\n| Locks of the site | CPU per report, unchanged (µs) | per lock | CPU per report, changed, publishes (µs) | per lock |\n'
printf '|---|---|---|---|---|\n'
awk '{ printf "| %d | %.2f | %.3f | %.2f | %.3f |\n", $1, $2, $2 / $1, $3, $3 / $1 }' "$sizes"
plot=${BENCH_PLOT:-$root/docs/site-size.png}
if command -v gnuplot > /dev/null; then
  gnuplot <<EOF
set terminal pngcairo size 800,500 noenhanced
set output '$plot'
set title 'CPU per configuration report by the size of the site (log INFO)'
set xlabel 'locks of the site'
set ylabel 'CPU per report (µs)'
set key top left
set grid
plot '$sizes' using 1:3 with linespoints title 'changed (publishes "site_info")', \
     '$sizes' using 1:2 with linespoints title 'unchanged (compared, dropped)'
EOF
  printf '\nSite-size plot: %s\n' "$plot"
else
  printf '\nNo gnuplot: no site-size plot (scripts/setup.sh installs it).\n'
fi
