#!/bin/sh
# run-fuzz.sh TARGET SECONDS
#
# Builds fuzz/TARGET_fuzz.cpp with clang's libFuzzer, ASan and UBSan,
# together with the sources of the library its name starts with
# (kmsg_parse -> lib/kmsg), and runs it for SECONDS seconds on a fresh copy
# of fuzz/corpus/TARGET. The seed corpus itself is never written.
#
# Environment: KEYD_FUZZ_BUILD_DIR (default <source>/build-fuzz),
# KEYD_FUZZ_CXX (default /usr/bin/clang++).
# Exit status: 0 when the run found nothing, 77 when clang++ or libFuzzer is
# missing (skipped), anything else on a build failure or a finding.
set -eu

if [ $# -ne 2 ]; then
  echo "usage: $0 TARGET SECONDS" >&2
  exit 2
fi
target=$1
duration=$2
root=$(cd "$(dirname "$0")/.." && pwd)
cxx=${KEYD_FUZZ_CXX:-/usr/bin/clang++}
build=${KEYD_FUZZ_BUILD_DIR:-$root/build-fuzz}
lib=${target%%_*}
source=$root/fuzz/${target}_fuzz.cpp
corpus=$root/fuzz/corpus/$target

for path in "$source" "$root/lib/$lib/include" "$corpus"; do
  if [ ! -e "$path" ]; then
    echo "run-fuzz: $path does not exist" >&2
    exit 2
  fi
done
if [ ! -x "$cxx" ]; then
  echo "SKIPPED: $cxx not found; fuzzing needs clang with libFuzzer"
  exit 77
fi

mkdir -p "$build"
probe=$build/probe_fuzz.cpp
printf '#include <cstddef>\n#include <cstdint>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n' >"$probe"
if ! "$cxx" -fsanitize=fuzzer,address,undefined "$probe" -o "$build/probe_fuzz" >/dev/null 2>&1; then
  echo "SKIPPED: $cxx cannot link -fsanitize=fuzzer (libFuzzer missing)"
  exit 77
fi

binary=$build/${target}_fuzz
echo "run-fuzz: building $binary"
"$cxx" -std=c++17 -g -O1 -Wall -Wextra -Werror \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/lib/$lib/include" "$source" "$root/lib/$lib"/src/*.cpp -o "$binary"

work=$build/corpus-$target
rm -rf "$work"
mkdir -p "$work"
cp "$corpus"/* "$work"/
echo "run-fuzz: running $target for $duration s on a copy of $corpus"
# Crash and leak inputs land in the build directory, never in the tree.
exec "$binary" -max_total_time="$duration" -max_len=2048 -timeout=10 \
  -artifact_prefix="$build/" -print_final_stats=1 "$work"
