#!/usr/bin/env bash
# Package download benchmark: quarn's download-and-verify against curl.
#
#   bench/download.sh [-b BENCH_BIN_DIR] [-r REPETITIONS] [-s "SIZE..."] [WORK_PARENT]
#
# Starts quarn_bench_package_server on 127.0.0.1 (generated packages, test CA),
# then for each package size times, REPETITIONS times each (interleaved):
#   quarn        quarn_bench_download URL FILE SHA256 CA   (ApiService::downloadFile)
#   curl -o      curl -s --cacert CA -o FILE URL
#   curl+sha256  curl -s --cacert CA -o FILE URL && sha256sum FILE
#   curl+sync    curl -s --cacert CA -o FILE URL && sync FILE
# (curl+sync is for reference only: what flushing the file to disk costs.)
# and prints the median wall time and the median peak memory (max RSS of the
# largest process, from GNU time) of each, with the ratio to "curl -o".
#
# The downloads go to a fresh folder under WORK_PARENT (default /tmp), removed
# at the end; the server removes its certificate when it stops. The file is
# removed and `sync` run (untimed) before every run, so no run pays for the
# previous one's write-back. Every run's result is checked: quarn must exit 0,
# and the digest printed by sha256sum must be the server's.
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
    *) sed -n '2,25p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
work_parent=${1:-/tmp}

driver="$bin_dir/quarn_bench_download"
server="$bin_dir/quarn_bench_package_server"
for program in "$driver" "$server" /usr/bin/time curl sha256sum; do
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
tools=("quarn" "curl -o" "curl+sha256" "curl+sync")

# timed_download TOOL URL SHA256: one download of TOOL into $file under GNU
# time, which writes the peak memory (KiB) to $timing.
timed_download() {
  local tool=$1 url=$2 sha=$3
  case "$tool" in
    quarn)
      /usr/bin/time -f '%M' -o "$timing" "$driver" "$url" "$file" "$sha" "$ca" ;;
    "curl -o")
      /usr/bin/time -f '%M' -o "$timing" curl -s --cacert "$ca" -o "$file" "$url" ;;
    curl+sha256)
      # shellcheck disable=SC2016  # expanded by the inner shell
      /usr/bin/time -f '%M' -o "$timing" \
        sh -c 'curl -s --cacert "$1" -o "$2" "$3" && sha256sum "$2" >"$2.sum"' \
        sh "$ca" "$file" "$url" ;;
    curl+sync)
      # shellcheck disable=SC2016  # expanded by the inner shell
      /usr/bin/time -f '%M' -o "$timing" \
        sh -c 'curl -s --cacert "$1" -o "$2" "$3" && sync "$2"' sh "$ca" "$file" "$url" ;;
    *) return 2 ;;
  esac
}

# run_once TOOL URL SHA256: runs one download of TOOL into $file ($size bytes
# expected) and prints "<wall milliseconds> <max RSS KiB>". Fails when the
# download or its check fails.
run_once() {
  local tool=$1 url=$2 sha=$3 start end
  rm -f "$file"
  sync
  start=$(date +%s%N)
  if ! timed_download "$tool" "$url" "$sha"; then
    echo "download.sh: $tool failed on the $size-byte package" >&2
    return 1
  fi
  end=$(date +%s%N)
  if [[ "$tool" == curl+sha256 ]]; then
    local received
    received=$(cut -d' ' -f1 "$file.sum")
    rm -f "$file.sum"
    if [[ "$received" != "$sha" ]]; then
      echo "download.sh: sha256sum gave $received, the server announced $sha" >&2
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
     "$repetitions repetitions, server on 127.0.0.1:$port, files in $work"
printf '%-8s  %-12s  %12s  %16s  %13s  %10s\n' \
  size tool "median s" "min..max s" "max RSS MiB" "x curl -o"
declare -A median_ms=()
results="$work/results"
: >"$results"
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
  for tool in "${tools[@]}"; do
    median_ms[$tool]=$(awk -F'|' -v s="$size" -v t="$tool" '$1 == s && $2 == t { print $3 }' \
      "$results" | median)
  done
  for tool in "${tools[@]}"; do
    rows=$(awk -F'|' -v s="$size" -v t="$tool" '$1 == s && $2 == t' "$results")
    min_ms=$(cut -d'|' -f3 <<<"$rows" | sort -n | head -n 1)
    max_ms=$(cut -d'|' -f3 <<<"$rows" | sort -n | tail -n 1)
    kib=$(cut -d'|' -f4 <<<"$rows" | median)
    printf '%-8s  %-12s  %12.3f  %16s  %13.1f  %10.2f\n' "$(human_size "$size")" "$tool" \
      "$(awk -v m="${median_ms[$tool]}" 'BEGIN { print m / 1000 }')" \
      "$(awk -v a="$min_ms" -v b="$max_ms" 'BEGIN { printf "%.3f..%.3f", a / 1000, b / 1000 }')" \
      "$(awk -v k="$kib" 'BEGIN { print k / 1024 }')" \
      "$(awk -v m="${median_ms[$tool]}" -v c="${median_ms["curl -o"]}" 'BEGIN { print m / c }')"
  done
done

# The targets: quarn within 1.15x "curl -o" at 1 GiB, under 32 MiB at every size.
verdict=0
largest=$(tr ' ' '\n' <<<"$sizes" | sort -n | tail -n 1)
for size in $sizes; do
  quarn_kib=$(awk -F'|' -v s="$size" '$1 == s && $2 == "quarn" { print $4 }' "$results" | median)
  if awk -v k="$quarn_kib" 'BEGIN { exit !(k >= 32 * 1024) }'; then
    echo "target missed: quarn's peak memory at $(human_size "$size") is $(awk -v k="$quarn_kib" 'BEGIN { printf "%.1f", k / 1024 }') MiB (limit 32 MiB)"
    verdict=1
  fi
done
quarn_ms=$(awk -F'|' -v s="$largest" '$1 == s && $2 == "quarn" { print $3 }' "$results" | median)
curl_ms=$(awk -F'|' -v s="$largest" '$1 == s && $2 == "curl -o" { print $3 }' "$results" | median)
ratio=$(awk -v q="$quarn_ms" -v c="$curl_ms" 'BEGIN { printf "%.2f", q / c }')
if awk -v r="$ratio" 'BEGIN { exit !(r > 1.15) }'; then
  echo "target missed: quarn takes ${ratio}x the time of curl -o at $(human_size "$largest") (limit 1.15x)"
  verdict=1
else
  echo "time target met at $(human_size "$largest"): quarn ${ratio}x curl -o (limit 1.15x)"
fi
[[ $verdict -eq 0 ]] && echo "memory target met: quarn under 32 MiB at every size"
exit "$verdict"
