#!/usr/bin/env bash
# build.sh [--dir DIR] CONFIG [TARGET...]: configures and builds one
# configuration into build/CONFIG (or DIR, relative to the project folder).
# CONFIG is release, asan (AddressSanitizer + UBSan) or tsan.
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
case "$config" in
  release) sanitize="" ;;
  asan) sanitize=address ;;
  tsan) sanitize=thread ;;
  *) echo "build.sh: unknown configuration $config" >&2; exit 2 ;;
esac
dir=${dir:-build/$config}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYD_SANITIZE="$sanitize" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
