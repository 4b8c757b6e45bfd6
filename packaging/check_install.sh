#!/usr/bin/env bash
# Checks an installation of quarn and its launchers.
#   check_install.sh install CMAKE BUILD PREFIX VERSION
#                                                installs BUILD into PREFIX (emptied
#                                                first) and checks what lands there
#   check_install.sh verify CMAKE BUILD PREFIX   has systemd-analyze verify the units
#                                                in PREFIX (exit 77: not available)
#   check_install.sh plist-rejects CMAKE BUILD PREFIX
#                                                shows that the property list check
#                                                refuses broken copies of the one in PREFIX
#   check_install.sh plist FILE PROGRAM          checks that FILE is the launchd
#                                                property list that starts PROGRAM
set -euo pipefail

mode=$1

fail() {
  echo "check_install: $*" >&2
  exit 1
}

# Reads the property list as launchd would (python3's plistlib refuses a file
# that is not one) and checks the job: its label, the program it starts, at
# load and every hour, leaving the updater's process group alone. Prints why
# it refuses a file.
plist_starts() {
  python3 - "$1" "$2" <<'PYTHON'
import plistlib
import sys

path, program = sys.argv[1:]
try:
    with open(path, "rb") as file:
        job = plistlib.load(file)
except Exception as error:
    sys.exit(f"{path} is not a property list: {error!r}")
expected = {
    "Label": "com.kelvane.Orvanta.quarn",
    "Program": program,
    "RunAtLoad": True,
    "StartInterval": 3600,
    "AbandonProcessGroup": True,
}
if not isinstance(job, dict):
    sys.exit(f"{path} holds a {type(job).__name__}, not a dictionary")
for key, value in expected.items():
    if key not in job or job[key] != value or type(job[key]) is not type(value):
        sys.exit(f"{path}: {key} is {job.get(key)!r}, not {value!r}")
PYTHON
}

if [[ $mode == plist ]]; then
  plist_starts "$2" "$3" || fail "$2 is not the launchd job of $3"
  echo "check_install: $2 is the launchd job of $3"
  exit 0
fi

cmake=$2
build=$3
prefix=$4
units="$prefix/lib/systemd/system"
plist="$prefix/share/quarn/launchd/com.kelvane.Orvanta.quarn.plist"

case $mode in
  install)
    version=$5
    rm -rf "$prefix"
    "$cmake" --install "$build" --prefix "$prefix"
    [[ -f $prefix/bin/quarn && -x $prefix/bin/quarn ]] ||
      fail "$prefix/bin/quarn is missing or not executable"
    for file in "$units/quarn.service" "$units/quarn.timer" "$plist"; do
      [[ -f $file ]] || fail "$file is missing"
    done
    grep -qxF "ExecStart=$prefix/bin/quarn" "$units/quarn.service" ||
      fail "quarn.service does not start $prefix/bin/quarn"
    plist_starts "$plist" "$prefix/bin/quarn" ||
      fail "the launchd property list does not start $prefix/bin/quarn"
    [[ $("$prefix/bin/quarn" --version) == "quarn $version" ]] ||
      fail "$prefix/bin/quarn --version does not print quarn $version"
    echo "check_install: $prefix holds quarn $version and its launchers"
    ;;
  plist-rejects)
    # Each copy breaks the installed property list in one way; the check must
    # refuse every one of them, and still accept the original.
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    program="$prefix/bin/quarn"
    plist_starts "$plist" "$program" || fail "the installed property list is refused"
    head -c 300 "$plist" >"$work/truncated"
    : >"$work/empty"
    sed 's|</dict>||' "$plist" >"$work/unclosed"
    sed 's|<string>\(/[^<]*\)</string>|<strin>\1</strin>|' "$plist" >"$work/misspelt-tag"
    sed "s|$program|/usr/bin/other|" "$plist" >"$work/other-program"
    sed 's|<integer>3600</integer>|<string>3600</string>|' "$plist" >"$work/interval-as-text"
    sed 's|<key>RunAtLoad</key>|<key>RunAtBoot</key>|' "$plist" >"$work/no-run-at-load"
    printf '<?xml version="1.0"?><plist version="1.0"><array/></plist>' >"$work/not-a-dictionary"
    for broken in "$work"/*; do
      cmp -s "$broken" "$plist" && fail "${broken##*/} does not differ from the installed file"
      if reason=$(plist_starts "$broken" "$program" 2>&1); then
        fail "the property list check accepts a broken file (${broken##*/})"
      fi
      echo "check_install: refused ${broken##*/}: ${reason//"$work/"/}"
    done
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
