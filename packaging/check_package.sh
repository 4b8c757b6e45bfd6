#!/usr/bin/env bash
# Checks the Debian package that scripts/package built into DIR:
#   1. lintian finds no error in the packages (agent and debug symbols);
#   2. hardening-check passes for the shipped binary, and the source file
#      names it holds (the journal's CODE_FILE) are relative to the tree;
#   3. in a throw-away root the package installs, is installed again (the
#      upgrade path), removed and purged, with the state checked after each
#      step; --help and --version of the installed binary change nothing, and
#      the purge leaves nothing behind.
# The throw-away root is an overlay over this machine's root file system, in
# mount, PID and network namespaces of its own: the package's dependencies are
# there already, maintainer scripts have a shell, and every write lands in a
# tmpfs that disappears with the namespaces. /run is empty, so the scripts
# see no running systemd and start nothing; units are enabled by symlink.
# Usage: check_package.sh DIR        (as root)
set -euo pipefail

fail() {
  echo "check_package: $*" >&2
  exit 1
}

here=$(dirname "$(realpath "$0")")

if [[ ${1:-} != --in-namespace ]]; then
  dir=$(realpath "$1")
  arch=$(dpkg --print-architecture)
  shopt -s nullglob
  debs=("$dir"/quarn_*_"$arch".deb)
  changes=("$dir"/quarn_*_"$arch".changes)
  ((${#debs[@]} == 1 && ${#changes[@]} == 1)) ||
    fail "$dir holds no single quarn_*_$arch.deb and .changes: run scripts/package"
  deb=${debs[0]}
  version=$(dpkg-deb --field "$deb" Version)

  echo "=== lintian $(basename "${changes[0]}")"
  lintian --fail-on error "${changes[0]}" || fail "lintian reports errors"

  contents=$(mktemp -d)
  trap 'rm -rf "$contents"' EXIT
  dpkg-deb --extract "$deb" "$contents"
  echo "=== hardening-check /usr/bin/quarn"
  # Control-flow protection cannot be marked on Debian 12, whose C runtime
  # start files lack the mark; every other feature is required.
  hardening-check --nocfprotection "$contents/usr/bin/quarn" ||
    fail "hardening-check refuses /usr/bin/quarn"

  # The journal's CODE_FILE names a source file relative to the source tree
  # (journalctl -t quarn CODE_FILE=update/package_updater.cc), never as
  # "./update/..." (a build flag's map of the tree to ".") nor with the path
  # the package was built from.
  echo "=== source file names in /usr/bin/quarn"
  names=$(strings -a "$contents/usr/bin/quarn" |
    grep -E '(app|api|platform|storage|sysext|update)/[a-z0-9_]+\.(cc|h)$' || true)
  grep -qE '(^|[^./])update/package_updater\.cc$' <<<"$names" ||
    fail "/usr/bin/quarn names no update/package_updater.cc: $names"
  if grep -E '[./](app|api|platform|storage|sysext|update)/[a-z0-9_]+\.(cc|h)$' <<<"$names"; then
    fail "/usr/bin/quarn names source files with a prefix (above), not relative to the tree"
  fi

  echo "=== install, upgrade, remove and purge in a throw-away root"
  unshare --mount --pid --net --fork --kill-child --mount-proc --propagation private \
    bash "$0" --in-namespace "$deb" "$version" "$contents"
  echo "check_package: quarn $version passes lintian and hardening-check, installs and purges cleanly"
  exit 0
fi

# --- inside the namespaces --------------------------------------------------
deb=$2
version=$3
work=$4/throw-away
mkdir "$work"
mount -t tmpfs -o mode=0755 quarn-package "$work"
mkdir "$work/upper" "$work/overlay" "$work/root"
root=$work/root
mount -t overlay quarn-package-root \
  -o "lowerdir=/,upperdir=$work/upper,workdir=$work/overlay" "$root"
mount -t tmpfs -o mode=1777 quarn-package-tmp "$root/tmp"
mount -t tmpfs -o mode=0755 quarn-package-run "$root/run"
mount -t proc proc "$root/proc"
mount -t tmpfs -o mode=0755 quarn-package-dev "$root/dev"
for device in null zero full random urandom; do
  : >"$root/dev/$device"
  mount --bind "/dev/$device" "$root/dev/$device"
done
cp "$deb" "$root/tmp/quarn.deb"
# man-db's trigger would rebuild the manual index on every step; Debian's
# switch for that is this file.
rm -f "$root/var/lib/man-db/auto-update"

in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
# Every entry the throw-away root holds beyond this machine's root, with type
# and mode.
changes() { (cd "$work/upper" && find . -printf '%p %y %m\n' | LC_ALL=C sort); }
status() { in_root dpkg-query --show --showformat='${Status} ${Version}' quarn 2>/dev/null || true; }
expect_status() {
  [[ $(status) == "$1" ]] || fail "after $2 dpkg reports '$(status)', not '$1'"
}
wants=/etc/systemd/system/timers.target.wants/quarn.timer
store=/var/lib/orvanta-forwarder

# The root starts without quarn, even on a machine that has it installed.
if [[ -n $(status) ]]; then
  in_root dpkg --purge quarn >/dev/null
fi
before_install=$(changes)

in_root dpkg --install /tmp/quarn.deb
expect_status "install ok installed $version" "installation"
for file in /usr/bin/quarn /lib/systemd/system/quarn.service /lib/systemd/system/quarn.timer \
  /usr/share/quarn/launchd/com.kelvane.Orvanta.quarn.plist; do
  [[ -f $root$file ]] || fail "$file is not installed"
done
grep -qxF "ExecStart=/usr/bin/quarn" "$root/lib/systemd/system/quarn.service" ||
  fail "quarn.service does not start /usr/bin/quarn"
bash "$here/check_install.sh" plist "$root/usr/share/quarn/launchd/com.kelvane.Orvanta.quarn.plist" \
  /usr/bin/quarn
[[ $(readlink "$root$wants") == /lib/systemd/system/quarn.timer ]] ||
  fail "quarn.timer is not enabled ($wants)"
if find "$root/etc/systemd/system" -name quarn.service | grep -q .; then
  fail "quarn.service is enabled: only the timer starts it"
fi

# The installed binary explains itself and touches nothing doing so: no log
# (stderr), no store, no file anywhere.
before_run=$(changes)
output=$(in_root /usr/bin/quarn --version 2>"$work/stderr") || fail "quarn --version fails"
[[ $output == "quarn $version" && ! -s $work/stderr ]] ||
  fail "quarn --version prints '$output' and '$(cat "$work/stderr")'"
output=$(in_root /usr/bin/quarn --help 2>"$work/stderr") || fail "quarn --help fails"
[[ $output == "Usage: quarn "* && ! -s $work/stderr ]] ||
  fail "quarn --help prints '$output' and '$(cat "$work/stderr")'"
code=0
output=$(in_root /usr/bin/quarn --check-now 2>"$work/stderr") || code=$?
[[ $code == 64 && -z $output ]] && grep -q '^Usage: quarn ' "$work/stderr" ||
  fail "quarn --check-now exits $code and prints '$output' and '$(cat "$work/stderr")'"
[[ ! -e $root$store && $(changes) == "$before_run" ]] ||
  fail "quarn --help, --version or a wrong argument changed files"

# The same version again takes the upgrade path of every maintainer script.
in_root dpkg --install /tmp/quarn.deb
expect_status "install ok installed $version" "reinstallation"

# A run leaves the shared items store behind; removal keeps it, purge drops it.
mkdir -m 0700 "$root$store"
echo data >"$root$store/shared-items.sqlite"

in_root dpkg --remove quarn
expect_status "deinstall ok config-files $version" "removal"
for file in /usr/bin/quarn /lib/systemd/system/quarn.service /lib/systemd/system/quarn.timer; do
  [[ ! -e $root$file ]] || fail "$file is left after removal"
done
[[ -f $root$store/shared-items.sqlite ]] || fail "removal deleted $store"

in_root dpkg --purge quarn
[[ -z $(status) ]] || fail "after the purge dpkg still reports '$(status)'"
[[ ! -e $root$store && ! -L $root$wants ]] || fail "the purge leaves $store or $wants"

# What is left may only be dpkg's own records and log, and folders of this
# machine that the overlay copied up on the way (they hold nothing new).
leftovers=$(comm -13 <(echo "$before_install") <(changes) |
  while read -r path type _; do
    case $path in
      ./var/lib/dpkg/info/quarn.*) echo "$path" ;;
      ./var/lib/dpkg/* | ./var/log/dpkg.log) ;;
      *) [[ $type == d && -d /${path#./} && ! -L /${path#./} ]] || echo "$path" ;;
    esac
  done)
[[ -z $leftovers ]] || fail "the purge leaves behind: $leftovers"
echo "check_package: installed, reinstalled, removed and purged quarn $version; nothing is left"
