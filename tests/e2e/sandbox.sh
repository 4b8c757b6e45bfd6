#!/usr/bin/env bash
# Runs the installed agent once in a private root, as PID 1 of new mount,
# network and PID namespaces, so that nothing on the host is touched and every
# process of the run ends with it:
#
#   unshare --mount --net --pid --fork --kill-child --mount-proc --propagation private \
#     bash sandbox.sh WORK AGENT PRELOAD SIMULATOR [kill-while-downloading]
#
# WORK is one scenario's work folder, laid out by the runner:
#   machine/etc, machine/tmp, machine/var/lib, machine/Library,
#   machine/Applications   become /etc, /tmp, /var/lib, /Library, /Applications
#   machine/usr            is laid over the host's /usr (the package tool)
#   record/                becomes /e2e-record: the stand-ins write what they saw
#   service/               the simulator's script (script.json)
# The simulator writes the machine's trust store
# (machine/etc/ssl/certs/ca-certificates.crt): its own certificate, made for
# the run.
# AGENT (the quarn executable), PRELOAD (the getrandom() preload library) and
# SIMULATOR (the service simulator) are paths on the host. With
# kill-while-downloading the agent is killed once it holds a non-empty file
# under /tmp, while the simulator holds back the rest of the package.
# The agent is killed after 30 s in any case. The results go to WORK/out:
#   agent.stderr, agent.stdout  the agent's output
#   agent.status                its wait status as the shell reports it
#                               (128 + N after signal N)
#   agent.stopped               present when it was killed while downloading
#   requests                    every request the simulator received
#   simulator.stderr
set -euo pipefail

work=$(realpath "$1")
machine="$work/machine"
out="$work/out"
root="$work/root"
agent_exe=$2
preload=$3
simulator=$4
kill_while_downloading=${5:-}
timeout=30

mkdir -p "$out" "$root" "$work/layers"

# A FIFO that nobody writes to: `read -t` on it waits without a child process.
mkfifo "$out/.tick"
exec {tick}<>"$out/.tick"
pause() { IFS= read -r -t "$1" -u "$tick" _ || true; }

# Whether process $1 exists and has not ended (a zombie has).
running() {
  local stat state
  IFS= read -r stat <"/proc/$1/stat" 2>/dev/null || return 1
  state=${stat##*) }
  state=${state%% *}
  [[ $state != Z && $state != X ]]
}

ip link set lo up

# --- the private root --------------------------------------------------------
mount -t tmpfs -o mode=0755 e2e-root "$root"
mount -t tmpfs -o mode=0755 e2e-layers "$work/layers"
mkdir "$work/layers/usr-upper" "$work/layers/usr-work"
cp -a "$machine/usr/." "$work/layers/usr-upper/"
mkdir "$root/usr"
mount -t overlay e2e-usr \
  -o "lowerdir=/usr,upperdir=$work/layers/usr-upper,workdir=$work/layers/usr-work" "$root/usr"

for entry in bin sbin lib lib32 lib64 libx32; do
  if [[ -L /$entry ]]; then
    ln -s "$(readlink "/$entry")" "$root/$entry"
  elif [[ -d /$entry ]]; then
    mkdir "$root/$entry"
    mount --rbind "/$entry" "$root/$entry"
  fi
done

bind_dir() {
  mkdir -p "$root$2"
  mount --bind "$1" "$root$2"
}
bind_file() {
  local target="$root$2"
  mkdir -p "${target%/*}"
  : >"$target"
  mount --bind "$1" "$target"
}
bind_dir "$machine/etc" /etc
bind_dir "$machine/tmp" /tmp
bind_dir "$machine/var/lib" /var/lib
bind_dir "$machine/Library" /Library
bind_dir "$machine/Applications" /Applications
bind_dir "$work/record" /e2e-record
bind_file "$agent_exe" /opt/quarn/quarn
bind_file "$preload" /opt/e2e/getrandom_preload.so

# /run stays empty: without the journal's socket the agent logs to stderr.
mkdir "$root/run"
mount -t tmpfs -o mode=0755 e2e-run "$root/run"

# /proc of this PID namespace (mounted by unshare --mount-proc).
mkdir "$root/proc"
mount --rbind /proc "$root/proc"

# A /dev of its own holding only the harmless devices.
mkdir "$root/dev"
mount -t tmpfs -o mode=0755 e2e-dev "$root/dev"
for device in null zero full random urandom; do
  bind_file "/dev/$device" "/dev/$device"
done
ln -s /proc/self/fd "$root/dev/fd"
ln -s /proc/self/fd/0 "$root/dev/stdin"
ln -s /proc/self/fd/1 "$root/dev/stdout"
ln -s /proc/self/fd/2 "$root/dev/stderr"

# --- the service -------------------------------------------------------------
coproc SIMULATOR {
  exec "$simulator" "$work/service/script.json" "$machine/etc/ssl/certs/ca-certificates.crt" \
    "$out/requests" 2>"$out/simulator.stderr"
}
# shellcheck disable=SC2153 # set by coproc
simulator_pid=$SIMULATOR_PID
ready=""
IFS= read -r -t 30 -u "${SIMULATOR[0]}" ready || true
if [[ $ready != ready ]]; then
  echo "sandbox: the service simulator did not start:" >&2
  cat "$out/simulator.stderr" >&2 || true
  exit 1
fi

# --- the agent ---------------------------------------------------------------
agent_env=(
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
  LD_PRELOAD=/opt/e2e/getrandom_preload.so
  # A sanitizer build's runtime must not insist on coming before the preload.
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
)
for variable in UBSAN_OPTIONS TSAN_OPTIONS LSAN_OPTIONS; do
  if [[ -n ${!variable:-} ]]; then agent_env+=("$variable=${!variable}"); fi
done

run_agent() {
  exec chroot "$root" /usr/bin/env -i "${agent_env[@]}" /opt/quarn/quarn
}

run_agent </dev/null >"$out/agent.stdout" 2>"$out/agent.stderr" &
agent_pid=$!

(
  if ! IFS= read -r -t "$timeout" -u "$tick" _; then
    kill -KILL "$agent_pid" 2>/dev/null || true
  fi
) &
watchdog_pid=$!

# The kill comes while the agent is writing the body: it holds a file under
# /tmp, named or not, with bytes in it (the simulator holds back the rest of
# the body). Without that, the agent is left to run (and the scenario sees
# that it was never stopped).
kill_during_download() {
  local fd deadline=$((SECONDS + timeout))
  while ((SECONDS < deadline)) && running "$agent_pid"; do
    for fd in "/proc/$agent_pid/fd/"*; do
      if [[ -f $fd && -s $fd && $(readlink "$fd" 2>/dev/null) == "$root/tmp/"* ]]; then
        kill -KILL "$agent_pid" 2>/dev/null || true
        : >"$out/agent.stopped"
        return 0
      fi
    done
    pause 0.01
  done
}
if [[ -n $kill_while_downloading ]]; then
  kill_during_download
fi

status=0
wait "$agent_pid" || status=$?
echo "$status" >"$out/agent.status"
kill "$watchdog_pid" 2>/dev/null || true
wait "$watchdog_pid" 2>/dev/null || true

# --- what the agent left running (the updater) finishes ----------------------
others_running() {
  local entry pid
  for entry in /proc/[0-9]*; do
    pid=${entry#/proc/}
    [[ $pid == "$$" || $pid == "$simulator_pid" ]] && continue
    running "$pid" && return 0
  done
  return 1
}
deadline=$((SECONDS + 10))
while others_running && ((SECONDS < deadline)); do
  pause 0.05
done

kill "$simulator_pid" 2>/dev/null || true
wait "$simulator_pid" 2>/dev/null || true
