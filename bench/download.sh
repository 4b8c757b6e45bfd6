#!/usr/bin/env bash
# Package download benchmark: quarn's download-and-verify against what this
# machine allows, measured in the same run.
#
#   bench/download.sh [-b BENCH_BIN_DIR] [-r REPETITIONS] [-s "SIZE..."] [WORK_PARENT]
#
# Starts quarn_bench_package_server on 127.0.0.1 (generated packages, test CA),
# then for each package size times, REPETITIONS times each (interleaved):
#   quarn         quarn_bench_download URL FILE SHA256 CA  (as the update run downloads)
#   curl -o       curl -s --cacert CA -o FILE URL
#   openssl dgst  openssl dgst -sha256 -r FILE            (the file curl just wrote)
# and prints the median wall time and the median peak memory (max RSS, from
# GNU time) of each, with the ratio to the budget: the median of "curl -o"
# plus the median of "openssl dgst", the time this machine needs to fetch the
# same bytes and to hash them.
#
# The verdict: quarn's median time is within the budget at the largest size
# (at small sizes the time is mostly the start of the processes), and its
# memory is flat (its median peak at every size at most 2 MiB above the one at
# the smallest size). Exit status 1 when either is missed.
#
# The downloads go to a fresh folder under WORK_PARENT (default /tmp), removed
# at the end; the server removes its certificate when it stops. The file is
# removed before every download and `sync` runs (untimed) before every timed
# command, so no run pays for the previous one's write-back. Every run's result
# is checked: quarn must exit 0, the file must have the package's size, and the
# digest openssl prints must be the server's.
#
# BENCH_BIN_DIR defaults to build/release/bench of this work tree; build it with
# an optimised build type (the release preset is RelWithDebInfo). Sizes default
# to 1 MiB, 256 MiB and 1 GiB; REPETITIONS to 5.
set -euo pipefail
shopt -s inherit_errexit

repo=$(cd "$(dirname "$0")/.." && pwd)
bin_dir="$repo/build/release/bench"
repetitions=5
sizes="1048576 268435456 1073741824"
while getopts "b:r:s:h" option; do
  case "$option" in
    b) bin_dir=$OPTARG ;;
    r) repetitions=$OPTARG ;;
    s) sizes=$OPTARG ;;
    *) sed -n '2,30p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
work_parent=${1:-/tmp}
sizes=$(tr ' ' '\n' <<<"$sizes" | grep . | sort -n | paste -s -d ' ')

driver="$bin_dir/quarn_bench_download"
server="$bin_dir/quarn_bench_package_server"
for program in "$driver" "$server" /usr/bin/time curl openssl; do
  if ! command -v "$program" >/dev/null; then
    echo "download.sh: $program not found" >&2
    exit 2
  fi
done

work=$(mktemp -d "$work_parent/quarn-download-bench.XXXXXX")
server_pid=""
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  if [[ -n "$server_pid" ]]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# shellcheck disable=SC2086  # $sizes is a list
"$server" $sizes >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
# The server prints "ready" once every digest is known (a few seconds for 1 GiB).
for _ in $(seq 600); do
  grep -qx ready "$work/server.out" && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.err" >&2; exit 1; }
  sleep 0.1
done
grep -qx ready "$work/server.out" || { echo "download.sh: the server did not start" >&2; exit 1; }
port=$(awk '$1 == "port" { print $2 }' "$work/server.out")
ca=$(awk '$1 == "ca" { print $2 }' "$work/server.out")

file="$work/ForwarderInstallerPackage.pkg"
timing="$work/time.out"
tools=("quarn" "curl -o" "openssl dgst")

# timed TOOL URL SHA256: one run of TOOL on $file under GNU time, which writes
# the peak memory (KiB) to $timing.
timed() {
  local tool=$1 url=$2 sha=$3
  case "$tool" in
    quarn) /usr/bin/time -f '%M' -o "$timing" "$driver" "$url" "$file" "$sha" "$ca" ;;
    "curl -o") /usr/bin/time -f '%M' -o "$timing" curl -s --cacert "$ca" -o "$file" "$url" ;;
    "openssl dgst")
      /usr/bin/time -f '%M' -o "$timing" openssl dgst -sha256 -r -out "$file.sum" "$file" ;;
    *) return 2 ;;
  esac
}

# run_once TOOL URL SHA256: runs TOOL once ($size bytes expected in $file) and
# prints "<wall milliseconds> <max RSS KiB>". The downloads start without the
# file; openssl hashes the file the last download left. Fails when the run or
# its check fails.
run_once() {
  local tool=$1 url=$2 sha=$3 start end
  [[ "$tool" == "openssl dgst" ]] || rm -f "$file"
  sync
  start=$(date +%s%N)
  if ! timed "$tool" "$url" "$sha"; then
    echo "download.sh: $tool failed on the $size-byte package" >&2
    return 1
  fi
  end=$(date +%s%N)
  if [[ "$tool" == "openssl dgst" ]]; then
    local received
    received=$(cut -d' ' -f1 "$file.sum")
    rm -f "$file.sum"
    if [[ "$received" != "$sha" ]]; then
      echo "download.sh: openssl gave $received, the server announced $sha" >&2
      return 1
    fi
  fi
  if [[ ! -f "$file" || $(stat -c %s "$file") -ne $size ]]; then
    echo "download.sh: $tool did not leave $size bytes in $file" >&2
    return 1
  fi
  echo "$(( (end - start) / 1000000 )) $(tail -n 1 "$timing")"
}

# median: of the numbers on stdin, one per line.
median() {
  sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

human_size() {
  awk -v b="$1" 'BEGIN {
    if (b >= 1073741824 && b % 1073741824 == 0) printf "%d GiB", b / 1073741824
    else if (b >= 1048576 && b % 1048576 == 0) printf "%d MiB", b / 1048576
    else printf "%d B", b }'
}

echo "# quarn package download benchmark: $(date -u +%Y-%m-%dT%H:%M:%SZ), $(nproc) cores," \
     "load $(cut -d' ' -f1-3 /proc/loadavg), $repetitions repetitions, server on" \
     "127.0.0.1:$port, files in $work"
printf '%-8s  %-12s  %12s  %16s  %13s  %10s\n' \
  size tool "median s" "min..max s" "max RSS MiB" "x budget"
results="$work/results"
: >"$results"
# of TOOL COLUMN: the median of that column (3: ms, 4: KiB) of the runs of TOOL
# at $size.
of() {
  awk -F'|' -v s="$size" -v t="$1" -v c="$2" '$1 == s && $2 == t { print $c }' "$results" | median
}
verdict=0
smallest_kib=""
largest=${sizes##* }
for size in $sizes; do
  url="https://127.0.0.1:$port/package-$size"
  sha=$(awk -v s="$size" '$1 == "package" && $2 == s { print $4 }' "$work/server.out")
  # One untimed download first: it warms the server, the page cache and curl.
  run_once "curl -o" "$url" "$sha" >/dev/null
  for ((rep = 1; rep <= repetitions; rep++)); do
    for tool in "${tools[@]}"; do
      measured=$(run_once "$tool" "$url" "$sha")
      echo "$size|$tool|${measured% *}|${measured#* }" >>"$results"
    done
  done
  rm -f "$file"
  budget_ms=$(awk -v c="$(of "curl -o" 3)" -v d="$(of "openssl dgst" 3)" 'BEGIN { print c + d }')
  for tool in "${tools[@]}"; do
    times=$(awk -F'|' -v s="$size" -v t="$tool" '$1 == s && $2 == t { print $3 }' "$results" | sort -n)
    printf '%-8s  %-12s  %12.3f  %16s  %13.1f  %10.2f\n' "$(human_size "$size")" "$tool" \
      "$(awk -v m="$(of "$tool" 3)" 'BEGIN { print m / 1000 }')" \
      "$(awk -v a="$(head -n 1 <<<"$times")" -v b="$(tail -n 1 <<<"$times")" \
        'BEGIN { printf "%.3f..%.3f", a / 1000, b / 1000 }')" \
      "$(awk -v k="$(of "$tool" 4)" 'BEGIN { print k / 1024 }')" \
      "$(awk -v m="$(of "$tool" 3)" -v b="$budget_ms" 'BEGIN { print m / b }')"
  done
  printf '%-8s  %-12s  %12.3f  %16s  %13s  %10.2f\n' "$(human_size "$size")" budget \
    "$(awk -v b="$budget_ms" 'BEGIN { print b / 1000 }')" "curl -o + dgst" - 1
  quarn_ms=$(of quarn 3)
  if [[ $size == "$largest" ]] &&
    awk -v q="$quarn_ms" -v b="$budget_ms" 'BEGIN { exit !(q > b) }'; then
    echo "time missed at $(human_size "$size"): quarn ${quarn_ms} ms," \
         "curl -o + openssl dgst ${budget_ms} ms"
    verdict=1
  fi
  quarn_kib=$(of quarn 4)
  smallest_kib=${smallest_kib:-$quarn_kib}
  if awk -v k="$quarn_kib" -v f="$smallest_kib" 'BEGIN { exit !(k > f + 2048) }'; then
    awk -v s="$(human_size "$size")" -v k="$quarn_kib" -v f="$smallest_kib" 'BEGIN {
      printf "memory not flat at %s: quarn peaks at %.1f MiB, %.1f MiB at the smallest size\n",
        s, k / 1024, f / 1024 }'
    verdict=1
  fi
done

[[ $verdict -eq 0 ]] &&
  echo "met: quarn within curl -o + openssl dgst at $(human_size "$largest"), its memory flat"
exit "$verdict"
