#!/usr/bin/env bash
# run-fuzz.sh TARGET SECONDS   |   run-fuzz.sh --build
#
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) in a CMake
# build of their own (-DKEYD_FUZZ=ON) and runs fuzz/TARGET_fuzz.cpp for
# SECONDS seconds on a fresh copy of fuzz/corpus/TARGET, with
# fuzz/TARGET.dict when there is one; the seed corpus is never written. The
# broker targets run inside keyd-sandbox (private /etc/ram and loopback).
# --build only builds every target. At the end it prints the executions and
# the coverage libFuzzer reached.
#
# Targets: kmsg_parse, broker_datagram, broker_json, config_load.
# Findings (crash-, leak-, timeout-, oom- files) stay in BUILD/findings/TARGET;
# the work corpus, the full log and a result line in BUILD/work/TARGET.
# Environment: KEYD_FUZZ_BUILD_DIR (default <source>/build/fuzz),
# KEYD_FUZZ_CC, KEYD_FUZZ_CXX (default /usr/bin/clang, /usr/bin/clang++),
# KEYD_FUZZ_QUIET=1: the fuzzer's output goes to the log only (its tail is
# shown on a finding).
# Exit status: 0 nothing found, 77 skipped (no clang, no libFuzzer or no
# sandbox), 1 a finding, 2 usage, build or set-up failure.
set -euo pipefail

all="kmsg_parse broker_datagram broker_json config_load"
usage() {
  echo "usage: $0 TARGET SECONDS | $0 --build   (TARGET: $all)" >&2
  exit 2
}
root=$(cd "$(dirname "$0")/.." && pwd)
cc=${KEYD_FUZZ_CC:-/usr/bin/clang}
cxx=${KEYD_FUZZ_CXX:-/usr/bin/clang++}
build=${KEYD_FUZZ_BUILD_DIR:-$root/build/fuzz}

target=
if [ $# -eq 1 ] && [ "$1" = --build ]; then
  targets=$all
elif [ $# -eq 2 ]; then
  target=$1 seconds=$2 targets=$1
  case " $all " in *" $target "*) ;; *) usage ;; esac
  case $seconds in '' | *[!0-9]* | 0) usage ;; esac  # 0 would mean "no limit"
else
  usage
fi

if [ ! -x "$cxx" ] || [ ! -x "$cc" ]; then
  echo "SKIPPED: $cxx or $cc not found; fuzzing needs clang with libFuzzer"
  exit 77
fi
mkdir -p "$build"
probe=$build/probe_fuzz.cpp
printf '#include <cstddef>\n#include <cstdint>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n' >"$probe"
if ! "$cxx" -fsanitize=fuzzer,address,undefined "$probe" -o "$build/probe_fuzz" >/dev/null 2>&1; then
  echo "SKIPPED: $cxx cannot link -fsanitize=fuzzer (libFuzzer missing)"
  exit 77
fi

echo "run-fuzz: building $targets in $build"
buildArgs=(--target keyd-sandbox)
for t in $targets; do buildArgs+=(--target "${t}_fuzz"); done
# Configured once; the build itself re-runs CMake when a CMakeLists.txt changes.
configure() {
  grep -qs '^KEYD_FUZZ:BOOL=ON' "$build/CMakeCache.txt" ||
    cmake -S "$root" -B "$build" -DKEYD_FUZZ=ON -DKEYD_BUILD_TESTS=OFF -DKEYD_BUILD_BENCH=OFF \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx"
}
if ! { configure && cmake --build "$build" -j2 "${buildArgs[@]}"; } >"$build/build.log" 2>&1; then
  tail -n 40 "$build/build.log" >&2
  echo "run-fuzz: build failed (whole log: $build/build.log)" >&2
  exit 2
fi
[ -n "$target" ] || exit 0

work=$build/work/$target
findings=$build/findings/$target
rm -rf "$work"
mkdir -p "$work/corpus" "$findings"
cp "$root/fuzz/corpus/$target"/* "$work/corpus/"
case $target in
  broker_json | config_load) maxLen=4096 ;;
  *) maxLen=2048 ;;  # the translator reads datagrams of 2048 bytes at most
esac
# A finding must never exit 77, libFuzzer's own default: that means skipped.
args=(-max_total_time="$seconds" -max_len="$maxLen" -timeout=10 -error_exitcode=1
      -timeout_exitcode=1 -artifact_prefix="$findings/" -print_final_stats=1)
if [ -f "$root/fuzz/$target.dict" ]; then args+=(-dict="$root/fuzz/$target.dict"); fi
cmd=("$build/bin/${target}_fuzz")
case $target in
  broker_*)
    # Nothing listens on the bus ports or on 5555 in the sandbox: the bus
    # clients queue up to their bound, datagrams are refused. Debug lines,
    # when an input turns them on, are formatted and written to /dev/null.
    mkdir -p "$work/ram"
    echo '# the bus ports at their defaults' >"$work/ram/nembad.conf"
    printf '%s\n' host=127.0.0.1 pingTime=1 'log4cpp.rootCategory=DEBUG, sink' \
      log4cpp.appender.sink=FileAppender log4cpp.appender.sink.fileName=/dev/null \
      log4cpp.appender.sink.layout=PatternLayout \
      'log4cpp.appender.sink.layout.ConversionPattern=%c %p %m%n' >"$work/ram/keyd-translator.conf"
    cmd=("$build/bin/keyd-sandbox" "$work/ram" "${cmd[@]}")
    # The bus clients keep queued publications and the broker's threads
    # allocate and free on their own, so nearly every input looks like a
    # leak to the per-input check, whose heap scans then take most of the
    # time. Leaks are still looked for once, when the run ends.
    args+=(-detect_leaks=0)
    ;;
esac

echo "run-fuzz: running $target for $seconds s on a copy of fuzz/corpus/$target"
log=$work/fuzz.log
set +e
if [ "${KEYD_FUZZ_QUIET:-0}" = 1 ]; then
  "${cmd[@]}" "${args[@]}" "$work/corpus" >"$log" 2>&1
  status=$?
else
  "${cmd[@]}" "${args[@]}" "$work/corpus" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
fi
set -e

finalStat() { sed -n "s/^stat::$1: *//p" "$log" | tail -n 1; }
last=$(grep -E ' cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 || true)
cov=$(sed -E 's/.* cov: ([0-9]+).*/\1/' <<<"$last")
ft=$(sed -E 's/.* ft: ([0-9]+).*/\1/' <<<"$last")
units=$(sed -n 's/.*Test unit written to //p' "$log")
count=$(grep -c . <<<"$units" || true)
execs=$(finalStat number_of_executed_units) eps=$(finalStat average_exec_per_sec)
printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$target" "$seconds" "${execs:--}" "${eps:--}" \
  "${cov:--}" "${ft:--}" "$count" >"$work/result"
echo "run-fuzz: $target: $seconds s, ${execs:-?} executions (${eps:-?}/s), cov ${cov:-?}, ft ${ft:-?}, $count findings"

if [ "$status" -eq 0 ] && [ "$count" -eq 0 ]; then exit 0; fi
if [ "${KEYD_FUZZ_QUIET:-0}" = 1 ]; then tail -n 60 "$log"; fi
if [ "$status" -eq 77 ]; then
  echo "SKIPPED: the sandbox is not available here"
  exit 77
fi
# Leaks seen only when the run ends belong to no single input (libFuzzer
# still writes the last one as a crash- file).
if grep -q 'ERROR: LeakSanitizer' "$log" && ! grep -q 'Test unit written to .*/leak-' "$log"; then
  echo "run-fuzz: FINDING memory leaked during the run, found at its end; log: $log"
  exit 1
fi
if [ "$count" -eq 0 ]; then
  echo "run-fuzz: $target failed (status $status) without a test unit; log: $log" >&2
  exit 2
fi
while read -r unit; do echo "run-fuzz: FINDING $unit"; done <<<"$units"
echo "run-fuzz: reproduce with: ${cmd[*]} UNIT   (log: $log)"
exit 1
