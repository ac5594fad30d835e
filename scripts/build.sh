#!/usr/bin/env bash
# build.sh CONFIG [TARGET...]: configures and builds one configuration into
# build/CONFIG. CONFIG is release, asan (AddressSanitizer + UBSan) or tsan.
set -euo pipefail
cd "$(dirname "$0")/.."
config=${1:-release}
shift || true
case "$config" in
  release) sanitize="" ;;
  asan) sanitize=address ;;
  tsan) sanitize=thread ;;
  *) echo "build.sh: unknown configuration $config" >&2; exit 2 ;;
esac
cmake -S . -B "build/$config" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEYD_SANITIZE="$sanitize" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "build/$config" -j "$(nproc)" "${targets[@]}"
