#!/usr/bin/env bash
# build.sh [--dir DIR] CONFIG [TARGET...]: configures and builds one
# configuration into build/CONFIG (or DIR, relative to the project folder).
# CONFIG is release, asan (AddressSanitizer + UBSan), tsan, or locks (clang
# with -Wthread-safety: the programs and libraries only, no tests; a lock
# the annotations do not allow fails the build).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=
if [ "${1:-}" = --dir ]; then
  [ $# -ge 2 ] || { echo "build.sh: --dir needs a folder" >&2; exit 2; }
  dir=$2
  shift 2
fi
config=${1:-release}
shift || true
extra=()
case "$config" in
  release) sanitize="" ;;
  asan) sanitize=address ;;
  tsan) sanitize=thread ;;
  locks)
    sanitize=""
    export CC=clang CXX=clang++
    extra=(-DKEYD_THREAD_SAFETY=ON -DKEYD_BUILD_TESTS=OFF -DKEYD_BUILD_BENCH=OFF) ;;
  *) echo "build.sh: unknown configuration $config" >&2; exit 2 ;;
esac
dir=${dir:-build/$config}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYD_SANITIZE="$sanitize" "${extra[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
