#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite in three builds: optimised,
# AddressSanitizer + UndefinedBehaviorSanitizer, and ThreadSanitizer.
# KEYD_TEST_CONFIGS="release" (for instance) runs a subset. A test that fails
# fails the run: nothing is run twice.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

# Any sanitizer report fails the test that caused it.
export ASAN_OPTIONS="abort_on_error=0:detect_leaks=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

failed=()
skipped=0
# clang's thread-safety analysis of every lock: a build, nothing to run.
echo "=== locks: build (clang -Wthread-safety)"
scripts/build.sh locks || failed+=("locks")
for config in ${KEYD_TEST_CONFIGS:-release asan tsan}; do
  echo "=== $config: build"
  scripts/build.sh "$config"
  echo "=== $config: test"
  log="build/$config/ctest.log"
  if ! ctest --test-dir "build/$config" -j "$(nproc)" --output-on-failure --timeout 300 |
      tee "$log"; then
    failed+=("$config")
  fi
  # Tests that need user namespaces are skipped (not failed) where the
  # machine has none; CTest lists them as "Skipped".
  n=$(grep -c ' (Skipped)$' "$log" || true)
  skipped=$((skipped + n))
done

if [ "$skipped" -gt 0 ]; then
  echo "test.sh: $skipped tests skipped (see the \"Skipped\" lines above: user namespaces unavailable?)"
fi
scripts/loc.sh
if [ "${#failed[@]}" -gt 0 ]; then
  echo "test.sh: FAILED in: ${failed[*]}"
  exit 1
fi
echo "test.sh: all configurations passed"
