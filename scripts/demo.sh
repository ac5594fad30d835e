#!/usr/bin/env bash
# Sets up, builds and runs a local demonstration of keyd-translator: the bus
# daemon, the translator and a simulated key cabinet started together in a
# private sandbox (own network namespace and /etc/ram), with the bus traffic
# and the key messages shown live.
# Runs until Ctrl-C, or for DEMO_SECONDS seconds when that is set.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh release keyd-translator nembad nlite-cli keyd-sim keyd-sandbox
ram=$(mktemp -d /tmp/keyd-demo.XXXXXX)
echo "demo: /etc/ram of the sandbox is $ram (the translator's log is kept there)"
exec build/release/bin/keyd-sandbox "$ram" bash scripts/demo-inside.sh "$PWD/build/release/bin"
