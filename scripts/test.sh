#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite in three builds: optimised,
# AddressSanitizer + UndefinedBehaviorSanitizer, and ThreadSanitizer.
# KEYD_TEST_CONFIGS="release" (for instance) runs a subset.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

# Any sanitizer report fails the test that caused it.
export ASAN_OPTIONS="abort_on_error=0:detect_leaks=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

failed=()
for config in ${KEYD_TEST_CONFIGS:-release asan tsan}; do
  echo "=== $config: build"
  scripts/build.sh "$config"
  echo "=== $config: test"
  # A test that fails is run once more: end-to-end tests share two cores with
  # sanitizer builds of floods; a failure that repeats still fails the run.
  if ! ctest --test-dir "build/$config" -j "$(nproc)" --output-on-failure --timeout 300 \
      --repeat until-pass:2; then
    failed+=("$config")
  fi
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "test.sh: FAILED in: ${failed[*]}"
  exit 1
fi
echo "test.sh: all configurations passed"
