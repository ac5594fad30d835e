#!/usr/bin/env bash
# run-fuzz.sh TARGET SECONDS | --build: builds the fuzz targets with clang in a
# build of their own, runs one for SECONDS on a copy of its seed corpus (the
# broker targets inside keyd-sandbox) and prints executions and coverage.
# Exit: 0 nothing found, 1 a finding, 2 usage, build or set-up failure, 77
# skipped (no clang, libFuzzer or sandbox). See fuzz/README.md.
set -euo pipefail
all="kmsg_parse broker_datagram broker_json config_load"
root=$(cd "$(dirname "$0")/.." && pwd)
cc=${KEYD_FUZZ_CC:-/usr/bin/clang} cxx=${KEYD_FUZZ_CXX:-/usr/bin/clang++}
build=${KEYD_FUZZ_BUILD_DIR:-$root/build/fuzz}
target=${1:-} seconds=${2:-} targets=$all
if [ "$*" != --build ]; then
  [[ $# = 2 && " $all " = *" $target "* && $seconds =~ ^[1-9][0-9]*$ ]] ||
    { echo "usage: $0 TARGET SECONDS | $0 --build   (TARGET: $all)" >&2; exit 2; }
  targets=$target
fi
mkdir -p "$build"
echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' >"$build/probe.cpp"
if [ ! -x "$cc" ] || ! "$cxx" -fsanitize=fuzzer,address,undefined "$build/probe.cpp" \
     -o "$build/probe" >/dev/null 2>&1; then
  echo "SKIPPED: no clang with libFuzzer ($cc, $cxx)"; exit 77
fi
echo "run-fuzz: building $targets in $build"
if ! { grep -qs '^KEYD_FUZZ:BOOL=ON' "$build/CMakeCache.txt" ||
       cmake -S "$root" -B "$build" -DKEYD_FUZZ=ON -DKEYD_BUILD_TESTS=OFF -DKEYD_BUILD_BENCH=OFF \
         -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx"
     cmake --build "$build" -j2 --target keyd-sandbox $(printf -- '--target %s_fuzz ' $targets)
   } >"$build/build.log" 2>&1; then
  tail -n 40 "$build/build.log" >&2; echo "run-fuzz: build failed ($build/build.log)" >&2; exit 2
fi
[ -n "$seconds" ] || exit 0

work=$build/work/$target findings=$build/findings/$target
rm -rf "$work" && mkdir -p "$work/corpus" "$work/ram" "$findings"
cp "$root/fuzz/corpus/$target"/* "$work/corpus/"
# Datagrams are read up to 2048 bytes. A finding must never exit 77 (libFuzzer's default).
args=(-max_total_time="$seconds" -timeout=10 -error_exitcode=1 -timeout_exitcode=1
      -artifact_prefix="$findings/" -print_final_stats=1 -dict="$root/fuzz/$target.dict"
      -max_len=$([[ $target = *_json || $target = config_* ]] && echo 4096 || echo 2048))
cmd=("$build/bin/${target}_fuzz")
if [[ $target = broker_* ]]; then  # nothing listens in the sandbox; debug lines go to /dev/null
  echo '# the bus ports at their defaults' >"$work/ram/nembad.conf"
  printf '%s\n' host=127.0.0.1 pingTime=1 'log4cpp.rootCategory=DEBUG, sink' \
    log4cpp.appender.sink=FileAppender log4cpp.appender.sink.fileName=/dev/null \
    log4cpp.appender.sink.layout=PatternLayout \
    'log4cpp.appender.sink.layout.ConversionPattern=%c %p %m%n' >"$work/ram/keyd-translator.conf"
  cmd=("$build/bin/keyd-sandbox" "$work/ram" "${cmd[@]}")
  args+=(-detect_leaks=0)  # the bus clients keep publications: leaks are looked for at the end
fi
echo "run-fuzz: running $target for $seconds s on a copy of fuzz/corpus/$target"
log=$work/fuzz.log status=0
if [ "${KEYD_FUZZ_QUIET:-0}" = 1 ]; then "${cmd[@]}" "${args[@]}" "$work/corpus" >"$log" 2>&1 || status=$?
else "${cmd[@]}" "${args[@]}" "$work/corpus" 2>&1 | tee "$log" || status=${PIPESTATUS[0]}; fi
final() { sed -n "s/^stat::$1: *//p" "$log" | tail -n 1 | grep . || echo -; }
execs=$(final number_of_executed_units) eps=$(final average_exec_per_sec)
read -r cov ft < <(grep -oE ' cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 | tr -dc '0-9 ' | grep . || echo - -)
units=$(sed -n 's/.*Test unit written to //p' "$log")
count=$(grep -c . <<<"$units" || true)
echo "$target $seconds $execs $eps $cov $ft $count" >"$work/result"
echo "run-fuzz: $target: $seconds s, $execs executions ($eps/s), cov $cov, ft $ft, $count findings"
[ "$status" = 0 ] && [ "$count" = 0 ] && exit 0
[ "${KEYD_FUZZ_QUIET:-0}" = 1 ] && tail -n 60 "$log"
[ "$status" = 77 ] && { echo "SKIPPED: the sandbox is not available here"; exit 77; }
grep -q 'ERROR: LeakSanitizer' "$log" && [ "$count" = 0 ] && { echo "run-fuzz: FINDING a leak at the end of the run; log: $log"; exit 1; }
[ "$count" = 0 ] && { echo "run-fuzz: $target failed (status $status) without a test unit; log: $log" >&2; exit 2; }
sed 's/^/run-fuzz: FINDING /' <<<"$units"
echo "run-fuzz: reproduce with: ${cmd[*]} UNIT   (log: $log)"
exit 1
