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
status=0
"$build/tests/e2e/e2e_test" --gtest_filter="${filter%:}" || status=$?
for scenario in "$@"; do
  work=$build/tests/e2e/work/$scenario
  echo "==== $scenario"
  echo "---- the agent's log records (the updater's output left out)"
  grep -aE '^[0-9]{4}-[0-9]{2}-' "$work/out/agent.stderr" || true
  echo "---- the service received"
  cat "$work/out/requests"
  echo "---- the programs started"
  cat "$work/record/programs" 2>/dev/null || true
  echo "---- the store"
  sqlite3 "$work/machine/var/lib/orvanta-forwarder/shared-items.sqlite" \
    'SELECT account, CAST(value AS TEXT), trusted_applications FROM generic_passwords ORDER BY account'
  echo "---- kept in $work"
done
exit "$status"
