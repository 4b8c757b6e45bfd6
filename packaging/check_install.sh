#!/usr/bin/env bash
# Checks an installation of quarn and its launchers.
#   check_install.sh install CMAKE BUILD PREFIX  installs BUILD into PREFIX (emptied
#                                                first) and checks what lands there
#   check_install.sh verify CMAKE BUILD PREFIX   has systemd-analyze verify the units
#                                                in PREFIX (exit 77: not available)
set -euo pipefail

mode=$1
cmake=$2
build=$3
prefix=$4
units="$prefix/lib/systemd/system"
plist="$prefix/share/quarn/launchd/com.kelvane.Orvanta.quarn.plist"

fail() {
  echo "check_install: $*" >&2
  exit 1
}

case $mode in
  install)
    rm -rf "$prefix"
    "$cmake" --install "$build" --prefix "$prefix"
    [[ -f $prefix/bin/quarn && -x $prefix/bin/quarn ]] ||
      fail "$prefix/bin/quarn is missing or not executable"
    for file in "$units/quarn.service" "$units/quarn.timer" "$plist"; do
      [[ -f $file ]] || fail "$file is missing"
    done
    grep -qxF "ExecStart=$prefix/bin/quarn" "$units/quarn.service" ||
      fail "quarn.service does not start $prefix/bin/quarn"
    grep -qxF "<string>$prefix/bin/quarn</string>" <(sed 's/^[[:space:]]*//' "$plist") ||
      fail "the launchd property list does not start $prefix/bin/quarn"
    if command -v plistutil >/dev/null; then
      plistutil -i "$plist" -o - -f bin >/dev/null || fail "$plist is not a property list"
    fi
    echo "check_install: $prefix holds quarn and its launchers"
    ;;
  verify)
    if ! command -v systemd-analyze >/dev/null; then
      echo "check_install: systemd-analyze is not installed; the units are not verified"
      exit 77
    fi
    # systemd-analyze ignores what it cannot parse with a warning and still
    # exits 0, so any message about these two files fails the check; messages
    # about other units of this machine are not ours.
    output=$(systemd-analyze verify "$units/quarn.service" "$units/quarn.timer" 2>&1) ||
      fail "systemd-analyze verify failed: $output"
    if grep -E 'quarn\.(service|timer)' <<<"$output"; then
      fail "systemd-analyze verify has the remarks above"
    fi
    echo "check_install: systemd-analyze accepts quarn.service and quarn.timer"
    ;;
  *)
    fail "unknown mode $mode"
    ;;
esac
