#!/usr/bin/env bash
# Shows end-to-end scenarios to a person: installs the build's quarn into
# BUILD/tests/e2e/prefix, runs each named scenario in the sandbox and prints
# the agent's log, what the simulated service received, the programs started
# and the store.
#   tests/e2e/demo.sh BUILD [SCENARIO...]     (default: update_installed)
# BUILD must hold the targets quarn, e2e_test, e2e_service_simulator and
# e2e_getrandom_preload. Runs as root.
set -euo pipefail

build=$(realpath "$1")
shift
if (($# == 0)); then
  set -- update_installed
fi

cmake --install "$build" --prefix "$build/tests/e2e/prefix" >/dev/null
filter=$(printf 'EndToEnd.Start/%s:' "$@")
exec "$build/tests/e2e/e2e_test" --gtest_filter="${filter%:}"
